#include "shared_file_read.h"

#include <QFile>

namespace SharedFileRead {

bool read(const QString &path, qint64 maxSize, QByteArray &content)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray bytes = file.read(maxSize);
    if (file.error() != QFileDevice::NoError)
        return false;
    content = bytes;
    return true;
}

} // namespace SharedFileRead
