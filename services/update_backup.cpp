#include "update_backup.h"

#include "backup_file_copy.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTemporaryDir>

namespace {

bool isSkippedTopLevelArea(const QString &relativePath)
{
    const QString topLevelName = relativePath.section(QLatin1Char('/'), 0, 0).toCaseFolded();
    return topLevelName == QLatin1String("downloads") || topLevelName == QLatin1String("log")
            || topLevelName == QLatin1String("kestro-web-cache");
}

bool liesInside(const QString &candidateKey, const QString &installationKey)
{
    if (candidateKey == installationKey)
        return true;
    const QString prefix = installationKey.endsWith(QLatin1Char('/'))
            ? installationKey
            : installationKey + QLatin1Char('/');
    return candidateKey.startsWith(prefix);
}

} // namespace

UpdateBackup::UpdateBackup() = default;

UpdateBackup::~UpdateBackup() = default;

QString UpdateBackup::backupPath() const
{
    return backupDirectory ? backupDirectory->path() : QString();
}

bool UpdateBackup::create(const QString &installationDirectory, QString &error)
{
    this->installationDirectory = installationDirectory;

    QDir parent(QDir::tempPath());
    const QString installationKey
            = QFileInfo(installationDirectory).canonicalFilePath().toCaseFolded();
    while (liesInside(parent.canonicalPath().toCaseFolded(), installationKey)) {
        if (!parent.cdUp()) {
            error = QStringLiteral("Не удалось выбрать каталог резервной копии вне установки.");
            return false;
        }
    }

    backupDirectory = std::make_unique<QTemporaryDir>(
            parent.filePath(QStringLiteral("Kestrova-update-backup-XXXXXX")));
    if (!backupDirectory->isValid()) {
        error = QStringLiteral("Не удалось создать каталог резервной копии.");
        return false;
    }

    const QDir installation(installationDirectory);
    QDirIterator it(installationDirectory, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString filePath = it.next();
        const QString relativePath = installation.relativeFilePath(filePath);
        if (isSkippedTopLevelArea(relativePath))
            continue;

        // Links are refused rather than followed. On Unix the walk also yields FIFOs, sockets
        // and device files; they are refused the same way and never opened, since opening a
        // FIFO for reading would block until someone writes to it.
        const QFileInfo info = it.fileInfo();
        if (info.isSymLink() || !info.isFile()
            || !copyFile(filePath, backupDirectory->filePath(relativePath))) {
            error = QStringLiteral("Не удалось сохранить резервную копию: %1").arg(relativePath);
            return false;
        }
        files.append(relativePath);
    }

    created = true;
    return true;
}

bool UpdateBackup::restore(QString &error)
{
    if (!created)
        return true;

    const QDir installation(installationDirectory);
    for (const QString &relativePath : std::as_const(files)) {
        if (!copyFile(backupDirectory->filePath(relativePath),
                      installation.filePath(relativePath))) {
            backupDirectory->setAutoRemove(false);
            error = QStringLiteral("Не удалось восстановить %1. Резервная копия сохранена: %2")
                            .arg(relativePath, backupDirectory->path());
            return false;
        }
    }

    created = false;
    return true;
}

bool UpdateBackup::copyFile(const QString &source, const QString &target)
{
    QFile input(source);
    if (!input.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;

    if (!QDir().mkpath(QFileInfo(target).absolutePath()))
        return false;

    QSaveFile output(target);
    if (!output.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return false;

    return BackupFileCopy::copyContents(input, output) && output.commit();
}
