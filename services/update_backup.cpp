#include "update_backup.h"

#include "atomic_replacement.h"
#include "backup_file_copy.h"
#include "directory_sync.h"
#include "file_sync.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>

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

// False when the file or one of its directories below the installation root is now a symbolic
// link, as a failed update may leave one: a save file writes through links, so the copy would
// change a file outside the installation instead of putting the saved one back.
bool reachesOnlyIntoInstallation(const QDir &installation, const QString &relativePath)
{
    qsizetype slash = -1;
    do {
        slash = relativePath.indexOf(QLatin1Char('/'), slash + 1);
        if (QFileInfo(installation.filePath(relativePath.left(slash))).isSymLink())
            return false;
    } while (slash >= 0);
    return true;
}

// The path with its directory resolved but not the file name itself, so that a link planted in
// the place of a file compares equal to that place, not to what it points at.
QString placeOf(const QFileInfo &file)
{
    const QString directory = QFileInfo(file.absolutePath()).canonicalFilePath();
    return directory.isEmpty() ? QString() : directory + QLatin1Char('/') + file.fileName();
}

// True when the regular file at `part` holds the first bytes of the one at `whole`, or all of them.
bool holdsTheStartOf(const QString &part, const QString &whole)
{
    const QFileInfo partInfo(part);
    if (partInfo.isSymLink() || !partInfo.isFile() || partInfo.size() > QFileInfo(whole).size())
        return false;
    QFile partFile(part);
    QFile wholeFile(whole);
    if (!partFile.open(QIODevice::ReadOnly) || !wholeFile.open(QIODevice::ReadOnly))
        return false;
    while (!partFile.atEnd()) {
        const QByteArray bytes = partFile.read(1048576);
        if (bytes.isEmpty() || wholeFile.read(bytes.size()) != bytes)
            return false;
    }
    return true;
}

// The directory of root and each one on the way to a file, relative to root ("" for root).
QStringList directoriesOf(const QStringList &files)
{
    QStringList directories = {QString()};
    for (const QString &relativePath : files) {
        for (qsizetype slash = relativePath.indexOf(QLatin1Char('/')); slash > 0;
             slash = relativePath.indexOf(QLatin1Char('/'), slash + 1))
            directories.append(relativePath.left(slash));
    }
    directories.removeDuplicates();
    return directories;
}

bool syncDirectories(const QDir &root, const QStringList &files, QString &failedPath)
{
    for (const QString &directory : directoriesOf(files)) {
        if (!DirectorySync::sync(root.filePath(directory))) {
            failedPath = directory.isEmpty() ? QStringLiteral(".") : directory;
            return false;
        }
    }
    return true;
}

// Flushes the files below root, trying those that fail again for a short while (a virus
// scanner's hold on Windows passes), then syncs the directories on the paths of `files`: their
// entries (files created, replaced or removed) last.
bool makeDurable(const QDir &root, const QStringList &changed, const QStringList &files,
                 QString &failedPath)
{
    QStringList pending = changed;
    QDeadlineTimer retryDeadline;
    for (;;) {
        QStringList failed;
        for (const QString &relativePath : std::as_const(pending)) {
            if (!FileSync::flush(root.filePath(relativePath)))
                failed.append(relativePath);
        }
        if (failed.isEmpty())
            break;
        if (retryDeadline.isForever())
            retryDeadline.setRemainingTime(AtomicReplacement::RetryTimeLimit);
        if (retryDeadline.hasExpired()) {
            failedPath = failed.constFirst();
            return false;
        }
        QThread::msleep(AtomicReplacement::RetryInterval);
        pending = failed;
    }
    return syncDirectories(root, files, failedPath);
}

} // namespace

UpdateBackup::UpdateBackup() = default;

UpdateBackup::~UpdateBackup()
{
    if (!backupDirectory.isEmpty() && !keepBackup)
        QDir(backupDirectory).removeRecursively();
}

QString UpdateBackup::backupPath() const
{
    return backupDirectory;
}

void UpdateBackup::adopt(const QString &installationDirectory, const QString &backupDirectory,
                         const QStringList &files)
{
    this->installationDirectory = installationDirectory;
    this->backupDirectory = backupDirectory;
    this->files = files;
    keepBackup = false;
    created = true;
}

bool UpdateBackup::syncToDisk() const
{
    QString failedPath;
    return syncDirectories(QDir(backupDirectory), files, failedPath);
}

bool UpdateBackup::syncInstallation(QString &unflushedPath) const
{
    QStringList installed;
    forEachInstallationFile([&installed](const QString &relativePath, const QFileInfo &info) {
        if (!info.isSymLink() && info.isFile())
            installed.append(relativePath);
        return true;
    });
    return makeDurable(QDir(installationDirectory), changedSinceCreate(installed), installed,
                       unflushedPath);
}

QStringList UpdateBackup::changedSinceCreate(const QStringList &relativePaths) const
{
    // An fsync costs a flush of the disk's write cache even for a file with nothing to write
    // (some 0.2 ms each on the bench machine: 2,000 of them took nine times what is left).
    QStringList changed;
    const QDir installation(installationDirectory);
    for (const QString &relativePath : relativePaths) {
        const QByteArray stamp = savedStamps.value(relativePath);
        if (stamp.isEmpty() || stamp != FileSync::changeStamp(installation.filePath(relativePath)))
            changed.append(relativePath);
    }
    return changed;
}

bool UpdateBackup::forEachInstallationFile(
        const std::function<bool(const QString &, const QFileInfo &)> &visit) const
{
    QStringList ownNames;
    QStringList ownPlaces;
    for (const QString &path : std::as_const(ownFiles)) {
        const QFileInfo own(path);
        ownNames.append(own.fileName());
        ownPlaces.append(placeOf(own));
    }

    const QDir installation(installationDirectory);
    QDirIterator it(installationDirectory, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString relativePath = installation.relativeFilePath(it.next());
        if (isSkippedTopLevelArea(relativePath))
            continue;
        if (ownNames.contains(it.fileName()) && ownPlaces.contains(placeOf(it.fileInfo())))
            continue;
        if (!visit(relativePath, it.fileInfo()))
            return false;
    }
    return true;
}

bool UpdateBackup::create(const QString &installationDirectory, QString &error)
{
    this->installationDirectory = installationDirectory;

    // Qt gives an empty path when TMPDIR names a missing directory, and an empty QDir is the
    // working directory: the copy of the installation would land wherever the program was started.
    const QString temporaryPath = QDir::tempPath();
    if (temporaryPath.isEmpty()) {
        error = QStringLiteral("Не удалось создать каталог резервной копии.");
        return false;
    }
    QDir parent(temporaryPath);
    const QString installationKey
            = QFileInfo(installationDirectory).canonicalFilePath().toCaseFolded();
    while (liesInside(parent.canonicalPath().toCaseFolded(), installationKey)) {
        if (!parent.cdUp()) {
            error = QStringLiteral("Не удалось выбрать каталог резервной копии вне установки.");
            return false;
        }
    }

    QTemporaryDir made(parent.filePath(QStringLiteral("Kestrova-update-backup-XXXXXX")));
    if (!made.isValid()) {
        error = QStringLiteral("Не удалось создать каталог резервной копии.");
        return false;
    }
    made.setAutoRemove(false);
    backupDirectory = made.path();
    const QDir backup(backupDirectory);
    const QDir installation(installationDirectory);
    const bool copied = forEachInstallationFile([&](const QString &relativePath,
                                                    const QFileInfo &info) {
        // Links are refused rather than followed. On Unix the walk also yields FIFOs, sockets
        // and device files; they are refused the same way and never opened, since opening a
        // FIFO for reading would block until someone writes to it.
        if (info.isSymLink() || !info.isFile()
            || !copyFile(installation.filePath(relativePath), backup.filePath(relativePath))) {
            error = QStringLiteral("Не удалось сохранить резервную копию: %1").arg(relativePath);
            return false;
        }
        files.append(relativePath);
        savedStamps.insert(relativePath,
                           FileSync::changeStamp(installation.filePath(relativePath)));
        return true;
    });
    if (!copied)
        return false;

    created = true;
    return true;
}

bool UpdateBackup::restore(QString &error)
{
    if (!created)
        return true;

    // A file that already equals its saved copy is left alone. Nothing unchanged is rewritten,
    // which keeps a restore after a small update short, and a file that cannot be replaced now
    // but did not change (on Windows, the running helper's own executable inside the
    // installation) does not fail the rollback. Any doubt in the comparison means a copy.
    const QDir installation(installationDirectory);
    const QDir backup(backupDirectory);
    const auto fail = [this, &error](const QString &relativePath) {
        keepBackup = true;
        error = QStringLiteral("Не удалось восстановить %1. Резервная копия сохранена: %2")
                        .arg(relativePath, backupDirectory);
        return false;
    };
    QStringList leftAlone;
    for (const QString &relativePath : std::as_const(files)) {
        const QString saved = backup.filePath(relativePath);
        const QString target = installation.filePath(relativePath);
        const bool reaches = reachesOnlyIntoInstallation(installation, relativePath);
        if (reaches && BackupFileCopy::sameFile(saved, target))
            leftAlone.append(relativePath);
        else if (!reaches || !copyFile(saved, target))
            return fail(relativePath);
    }
    // A copy was synced before its move, which is durable only with its directory; a file left
    // alone may hold the same bytes written back by the tool, unsynced.
    QString unflushedPath;
    if (!makeDurable(installation, changedSinceCreate(leftAlone), files, unflushedPath))
        return fail(unflushedPath);

    created = false;
    return true;
}

QStringList UpdateBackup::removeUnfinishedCopies() const
{
    // QSaveFile names its temporary file after the target: "asset.bin" gets "asset.bin.qedHrj".
    static const QRegularExpression saveFileName(QStringLiteral("^(.+)\\.[A-Za-z0-9]{6}$"));
    const QSet<QString> saved(files.cbegin(), files.cend());
    QSet<QString> directories;
    for (const QString &relativePath : std::as_const(files))
        directories.insert(QFileInfo(relativePath).path());

    QStringList removed;
    const QDir installation(installationDirectory);
    const QDir backup(backupDirectory);
    for (const QString &directory : std::as_const(directories)) {
        const QStringList names = QDir(installation.filePath(directory))
                                          .entryList(QDir::Files | QDir::Hidden | QDir::System);
        const QString prefix
                = directory == QLatin1String(".") ? QString() : directory + QLatin1Char('/');
        for (const QString &name : names) {
            const QRegularExpressionMatch match = saveFileName.match(name);
            if (!match.hasMatch())
                continue;
            const QString relativePath = prefix + name;
            const QString target = prefix + match.captured(1);
            const QString path = installation.filePath(relativePath);
            if (saved.contains(relativePath) || !saved.contains(target)
                || !holdsTheStartOf(path, backup.filePath(target)))
                continue;
            // Killed after its last write (permissions come last), it may be read-only on Windows.
            QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::WriteOwner);
            if (QFile::remove(path))
                removed.append(path);
        }
    }
    return removed;
}

bool UpdateBackup::copyFile(const QString &source, const QString &target)
{
    QFile input(source);
    if (!input.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;

    if (!QDir().mkpath(QFileInfo(target).absolutePath()))
        return false;
    // A read-only file cannot be replaced on Windows (nor by a user other than root elsewhere);
    // the saved copy brings its own permissions back.
    const QFileInfo existing(target);
    if (existing.isFile() && !existing.isWritable()
        && !QFile::setPermissions(target, existing.permissions() | QFileDevice::WriteOwner))
        return false;

    // Every attempt (one is tried again after a failed move) starts at the source's first byte.
    return AtomicReplacement::replace(
            target, QIODevice::WriteOnly | QIODevice::Unbuffered, [&input](QSaveFile &output) {
                return input.seek(0) && BackupFileCopy::copyContents(input, output);
            });
}
