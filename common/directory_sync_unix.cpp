#include "directory_sync.h"

#include <QFile>
#include <QString>

#include <fcntl.h>
#include <unistd.h>

namespace DirectorySync {

bool sync(const QString &directoryPath)
{
    const int fd = ::open(QFile::encodeName(directoryPath).constData(),
                          O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

} // namespace DirectorySync
