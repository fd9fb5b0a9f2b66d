#pragma once

#include <QFileInfo>
#include <QHash>
#include <QString>
#include <QStringList>

#include <functional>

// A copy of an installation's files in a directory of its own outside the installation, taken
// before the maintenance tool changes anything and copied back when the update fails.
class UpdateBackup
{
public:
    UpdateBackup();
    ~UpdateBackup();

    UpdateBackup(const UpdateBackup &) = delete;
    UpdateBackup &operator=(const UpdateBackup &) = delete;

    // Files of the program's own (the update log, the installation lock) that lie inside the
    // installation when the system temporary directory does. create() leaves them out, so that a
    // rollback never puts an old copy over a file that is in use. Set before create().
    void setOwnFiles(const QStringList &paths) { ownFiles = paths; }

    // Saves every file of installationDirectory except the top-level areas "downloads", "log"
    // and "kestro-web-cache" and the own files. On failure returns false with a user-facing text
    // in error.
    bool create(const QString &installationDirectory, QString &error);

    // Copies every saved file back, leaving alone each file that already equals its saved copy
    // (bytes and, where the platform has them, permission bits), then makes every saved file and
    // its directories durable (as syncInstallation does), so that the record may go. True when
    // there was nothing to restore or everything came back; on failure keeps the backup directory
    // for good and says where it is in error.
    bool restore(QString &error);

    // Takes over a whole backup that an earlier, interrupted run left behind (the list of its
    // files comes from that run's record), as if create() had made it: restore() puts it back,
    // and the directory goes with the object unless a restore fails.
    void adopt(const QString &installationDirectory, const QString &backupDirectory,
               const QStringList &files);

    // Removes what a restore killed in the middle of a copy leaves beside the file it was putting
    // back where files cannot be written unnamed (Windows, Linux file systems without O_TMPFILE):
    // the save file, named after its target with a dot and six letters or digits, holding the
    // first bytes of the target's saved copy. A file under such a name that holds anything else,
    // or that is saved itself, belongs to the installation and stays. Returns the paths removed.
    QStringList removeUnfinishedCopies() const;

    // Keeps the backup directory on disk for good, as a failed restore does.
    void keepDirectory() { keepBackup = true; }

    // Makes the backup durable: syncs every directory of it, so that the moves of its files
    // survive a power cut (each file was synced when it was written). False when a sync failed.
    bool syncToDisk() const;

    // Makes the installation as it is now durable: flushes every file that create() saves (all
    // but the skipped areas and the own files), then, on Linux, every directory on their paths.
    // A file that create() saved and that has not changed since (FileSync::changeStamp) is left
    // out: it holds what it held before the update.
    // A file that cannot be flushed is tried again every RetryInterval ms for up to
    // RetryTimeLimit ms (AtomicReplacement's). False when one stayed unflushed, with its path
    // relative to the installation in unflushedPath. Call after create().
    bool syncInstallation(QString &unflushedPath) const;

    // For the workflow's callers and the tests: what the object holds now.
    QString backupPath() const;
    QStringList savedFiles() const { return files; }
    bool isCreated() const { return created; }

private:
    static bool copyFile(const QString &source, const QString &target);
    // Those of the files (relative paths) that may have changed since create() copied them.
    QStringList changedSinceCreate(const QStringList &relativePaths) const;
    // Walks the files create() saves, in the installation; `visit` gets each one's path relative
    // to it and what the walk saw. False, at once, when `visit` returns false.
    bool forEachInstallationFile(
            const std::function<bool(const QString &, const QFileInfo &)> &visit) const;

    QString installationDirectory;
    // Removed with the object unless keepBackup is set: made by create() or taken over by adopt().
    QString backupDirectory;
    bool keepBackup = false;
    QStringList files;
    // FileSync::changeStamp of each saved file's original, as create() copied it.
    QHash<QString, QByteArray> savedStamps;
    bool created = false;
    QStringList ownFiles;
};
