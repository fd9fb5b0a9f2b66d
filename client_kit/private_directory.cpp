#include "private_directory.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace PrivateDirectory {

QString defaultPath()
{
    const QString dataLocation
            = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    return dataLocation.isEmpty() ? QString()
                                  : QDir(dataLocation).filePath(QStringLiteral("update"));
}

bool make(const QString &path)
{
    const QFileInfo info(path);
    if (info.isDir())
        return true;
    if (info.exists() || info.isSymLink())
        return false;
    QDir parent = info.dir();
    if (!parent.mkpath(QStringLiteral(".")))
        return false;
    // Created with its permissions in one step; a concurrent creator is as good as ours.
    return parent.mkdir(info.fileName(),
                        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner)
            || QFileInfo(path).isDir();
}

} // namespace PrivateDirectory
