#include "private_directory.h"

#include <QCryptographicHash>
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

QString installationKey(const QString &applicationPath)
{
    QString key = QFileInfo(applicationPath).canonicalFilePath();
    if (key.isEmpty())
        key = QFileInfo(applicationPath).absoluteFilePath();
    const QByteArray digest
            = QCryptographicHash::hash(key.toCaseFolded().toUtf8(), QCryptographicHash::Sha256);
    return QString::fromLatin1(digest.toHex().left(16));
}

} // namespace PrivateDirectory
