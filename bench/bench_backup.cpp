// Times one UpdateBackup::create or UpdateBackup::restore of an installation, for bench/run.
//
//   bench_backup create INSTALLATION [--cold] [--graveyard DIR]
//   bench_backup restore INSTALLATION [--cold] [--graveyard DIR]
//   bench_backup restore-changed INSTALLATION COUNT [--cold] [--graveyard DIR]
//   bench_backup journal INSTALLATION [--graveyard DIR]
//   bench_backup sync INSTALLATION COUNT [--graveyard DIR]
//
// The backup directory goes where the helper puts it, below QDir::tempPath(): bench/run points
// TMPDIR at a directory on the same file system as the installation. "restore" first takes a
// backup (not timed), moves the installation aside so that every file is written anew, as with
// "cp -r" into a fresh directory, times the restore, checks it and moves the original back.
// --cold leaves the source out of the page cache (settle() says more). --graveyard moves the
// copies into DIR instead of deleting them: ext4 without a journal skips inodes freed in the last
// 30 s when it allocates new ones, so a run that follows thousands of deletions pays for them in
// every file it creates. "restore-changed" is the rollback of an update that touched a few files:
// it takes a backup (not timed), changes COUNT files spread over the installation (every other
// one keeps its size and differs only in its last byte, so that only reading it to the end tells
// it apart; the others grow by a byte), times the restore over the installation in place and
// checks that every changed file holds its saved bytes again. "journal" is what the helper adds
// to a backup so that an interrupted update can be recovered: it takes a backup (not timed),
// then times, as the helper does them, the syncs of every directory of the backup and the
// writing of the record (the size of every saved copy read back, the file written and synced,
// its directory synced); "syncSeconds" and "recordSeconds" split the time. "sync" is the core of
// an update with the flush that makes it durable: it times a backup (warm), COUNT files spread
// over the installation rewritten in place without a sync, as a maintenance tool writes them
// ("toolSeconds"), and UpdateBackup::syncInstallation ("syncSeconds"), then puts the saved files
// back (not timed). Prints one line of JSON.

#include "update_backup.h"
#include "update_journal.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>

#include <unistd.h>

namespace {

struct TreeSize
{
    qint64 files = 0;
    qint64 bytes = 0;
};

TreeSize measureTree(const QString &directory)
{
    TreeSize size;
    QDirIterator it(directory, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        ++size.files;
        size.bytes += it.fileInfo().size();
    }
    return size;
}

void readTree(const QString &directory)
{
    QByteArray buffer(8 * 1048576, Qt::Uninitialized);
    QDirIterator it(directory, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        if (file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
            while (file.read(buffer.data(), buffer.size()) > 0) { }
        }
    }
}

// Starts the timed part from the same state for every method (bench/run does the same for the
// others): nothing left to write back, the page cache emptied, and for a warm run the source read
// back in. Emptying it matters for a warm run too on a virtual machine whose host takes free
// pages back (virtio balloon free page reporting): there, the first touch of such a page costs
// microseconds, so whoever fills the page cache with fresh pages would pay for the host.
bool settle(bool cold, const QString &source)
{
    ::sync();
    QFile dropCaches(QStringLiteral("/proc/sys/vm/drop_caches"));
    const bool dropped = dropCaches.open(QIODevice::WriteOnly) && dropCaches.write("3\n") == 2;
    if (cold)
        return dropped;
    readTree(source);
    return true;
}

// Makes the file differ from its saved copy: the last byte inverted (same size), or one byte more.
bool change(const QString &path, bool keepSize)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        return false;
    if (!keepSize || file.size() == 0)
        return file.seek(file.size()) && file.write("+", 1) == 1;
    char last = 0;
    if (!file.seek(file.size() - 1) || file.read(&last, 1) != 1)
        return false;
    last = char(~last);
    return file.seek(file.size() - 1) && file.write(&last, 1) == 1;
}

bool sameBytes(const QString &first, const QString &second)
{
    QFile a(first);
    QFile b(second);
    if (!a.open(QIODevice::ReadOnly) || !b.open(QIODevice::ReadOnly) || a.size() != b.size())
        return false;
    while (!a.atEnd()) {
        if (a.read(1048576) != b.read(1048576))
            return false;
    }
    return true;
}

// Out of the way, for the caller to delete later; the backup's own clean-up then finds nothing.
bool bury(const QString &path, const QString &graveyard)
{
    if (graveyard.isEmpty())
        return QDir(path).removeRecursively();
    QTemporaryDir grave(QDir(graveyard).filePath(QStringLiteral("grave-XXXXXX")));
    grave.setAutoRemove(false);
    return grave.isValid() && QDir().rename(path, grave.filePath(QStringLiteral("copy")));
}

int fail(const QString &message)
{
    std::fprintf(stderr, "bench_backup: %s\n", qPrintable(message));
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    const bool changedCase = arguments.value(1) == QLatin1String("restore-changed");
    const bool syncCase = arguments.value(1) == QLatin1String("sync");
    const bool journalCase = arguments.value(1) == QLatin1String("journal");
    const bool counted = changedCase || syncCase;
    bool countOk = !counted;
    const qsizetype changeCount = counted ? arguments.value(3).toLongLong(&countOk) : 0;
    if (arguments.size() < 3 || !countOk || changeCount < 0
        || (arguments.at(1) != QLatin1String("create")
            && arguments.at(1) != QLatin1String("restore") && !counted && !journalCase))
        return fail(QStringLiteral(
                "usage: bench_backup create|restore INSTALLATION [--cold] [--graveyard DIR]\n"
                "       bench_backup restore-changed INSTALLATION COUNT [--cold] [--graveyard "
                "DIR]\n"
                "       bench_backup journal INSTALLATION [--graveyard DIR]\n"
                "       bench_backup sync INSTALLATION COUNT [--graveyard DIR]"));
    const QString operation = arguments.at(1);
    const QString installation = QDir(arguments.at(2)).absolutePath();
    const bool cold = arguments.contains(QLatin1String("--cold"));
    const qsizetype graveyardIndex = arguments.indexOf(QLatin1String("--graveyard"));
    const QString graveyard = graveyardIndex > 0
            ? arguments.value(graveyardIndex + 1, QStringLiteral("."))
            : QString();

    const TreeSize expected = measureTree(installation);
    if (expected.files == 0)
        return fail(QStringLiteral("no files in %1").arg(installation));

    UpdateBackup backup;
    QString error;
    QElapsedTimer timer;
    qint64 elapsedNs = 0;
    qint64 syncNs = 0;
    qint64 toolNs = 0;
    if (syncCase) {
        if (!settle(false, installation))
            return fail(QStringLiteral("cannot drop the page cache"));
        timer.start();
        if (!backup.create(installation, error))
            return fail(error);
        const qint64 createNs = timer.nsecsElapsed();
        const QStringList saved = backup.savedFiles();
        for (qsizetype i = 0; i < qMin(changeCount, saved.size()); ++i) {
            QFile file(QDir(installation).filePath(saved.at(i * saved.size() / changeCount)));
            if (!file.open(QIODevice::ReadWrite))
                return fail(file.fileName());
            QByteArray bytes = file.readAll();
            for (qsizetype at = 0; at < bytes.size(); at += 4096)
                bytes[at] = char(~bytes.at(at));
            if (!file.seek(0) || file.write(bytes) != bytes.size())
                return fail(file.fileName());
        }
        toolNs = timer.nsecsElapsed() - createNs;
        QString unflushed;
        const bool synced = backup.syncInstallation(unflushed);
        syncNs = timer.nsecsElapsed() - createNs - toolNs;
        elapsedNs = createNs;
        if (!synced)
            return fail(QStringLiteral("%1 could not be flushed").arg(unflushed));
        if (!backup.restore(error))
            return fail(error);
    } else if (journalCase) {
        if (!backup.create(installation, error))
            return fail(error);
        // Timed straight after create(), as the helper does it: the saved files are on disk (each
        // was synced), the directory entries that name them may not be yet.
        const QString journal = QDir(QDir::tempPath()).filePath(QStringLiteral("bench.journal"));
        timer.start();
        const bool synced = backup.syncToDisk();
        syncNs = timer.nsecsElapsed();
        UpdateJournal::Record record;
        record.installationDirectory = installation;
        record.backupDirectory = backup.backupPath();
        const QDir saved(record.backupDirectory);
        for (const QString &file : backup.savedFiles())
            record.files.append({file, QFileInfo(saved.filePath(file)).size()});
        const bool written = UpdateJournal::write(journal, record);
        elapsedNs = timer.nsecsElapsed();
        UpdateJournal::Record readBack;
        const bool whole = UpdateJournal::read(journal, readBack) == UpdateJournal::ReadResult::Read
                && readBack.files.size() == expected.files
                && UpdateJournal::backupIsWhole(readBack);
        QFile::remove(journal);
        if (!synced || !written || !whole)
            return fail(QStringLiteral("the record of the backup was not made whole"));
    } else if (operation == QLatin1String("create")) {
        if (!settle(cold, installation))
            return fail(QStringLiteral("cannot drop the page cache"));
        timer.start();
        const bool created = backup.create(installation, error);
        elapsedNs = timer.nsecsElapsed();
        if (!created)
            return fail(error);
        const TreeSize copied = measureTree(backup.backupPath());
        if (copied.files != expected.files || copied.bytes != expected.bytes)
            return fail(QStringLiteral("the backup holds %1 files and %2 bytes, not %3 and %4")
                                .arg(copied.files)
                                .arg(copied.bytes)
                                .arg(expected.files)
                                .arg(expected.bytes));
    } else if (changedCase) {
        if (!backup.create(installation, error))
            return fail(error);
        const QStringList saved = backup.savedFiles();
        QStringList changed;
        for (qsizetype i = 0; i < qMin(changeCount, saved.size()); ++i) {
            const QString relativePath = saved.at(i * saved.size() / changeCount);
            if (!change(QDir(installation).filePath(relativePath), i % 2 == 0))
                return fail(QStringLiteral("cannot change %1").arg(relativePath));
            changed.append(relativePath);
        }
        // A warm run finds both sides of the comparison in the page cache.
        if (!settle(cold, backup.backupPath()))
            return fail(QStringLiteral("cannot drop the page cache"));
        if (!cold)
            readTree(installation);
        timer.start();
        const bool restored = backup.restore(error);
        elapsedNs = timer.nsecsElapsed();
        if (!restored)
            return fail(error);
        for (const QString &relativePath : std::as_const(changed)) {
            if (!sameBytes(QDir(installation).filePath(relativePath),
                           QDir(backup.backupPath()).filePath(relativePath)))
                return fail(QStringLiteral("%1 was not restored").arg(relativePath));
        }
        const TreeSize restoredSize = measureTree(installation);
        if (restoredSize.files != expected.files || restoredSize.bytes != expected.bytes)
            return fail(
                    QStringLiteral("the installation holds %1 files and %2 bytes, not %3 and %4")
                            .arg(restoredSize.files)
                            .arg(restoredSize.bytes)
                            .arg(expected.files)
                            .arg(expected.bytes));
    } else {
        if (!backup.create(installation, error))
            return fail(error);
        const QString away = installation + QStringLiteral(".away");
        if (QFileInfo::exists(away) || !QDir().rename(installation, away))
            return fail(QStringLiteral("cannot move %1 aside").arg(installation));
        if (!settle(cold, backup.backupPath())) {
            QDir().rename(away, installation);
            return fail(QStringLiteral("cannot drop the page cache"));
        }
        timer.start();
        const bool restored = backup.restore(error);
        elapsedNs = timer.nsecsElapsed();
        const TreeSize copied = measureTree(installation);
        const bool moved = bury(installation, graveyard) && QDir().rename(away, installation);
        if (!restored)
            return fail(error);
        if (!moved)
            return fail(QStringLiteral("cannot move %1 back from %2").arg(installation, away));
        if (copied.files != expected.files || copied.bytes != expected.bytes)
            return fail(QStringLiteral("the restore wrote %1 files and %2 bytes, not %3 and %4")
                                .arg(copied.files)
                                .arg(copied.bytes)
                                .arg(expected.files)
                                .arg(expected.bytes));
    }

    if (!graveyard.isEmpty() && !bury(backup.backupPath(), graveyard))
        return fail(QStringLiteral("cannot move %1 into %2").arg(backup.backupPath(), graveyard));

    if (syncCase)
        std::printf("{\"operation\": \"sync\", \"createSeconds\": %.6f, \"toolSeconds\": %.6f, "
                    "\"syncSeconds\": %.6f, \"changed\": %lld, \"files\": %lld, \"bytes\": %lld}\n",
                    double(elapsedNs) / 1e9, double(toolNs) / 1e9, double(syncNs) / 1e9,
                    qint64(changeCount), expected.files, expected.bytes);
    else if (journalCase)
        std::printf("{\"operation\": \"journal\", \"seconds\": %.6f, \"syncSeconds\": %.6f, "
                    "\"recordSeconds\": %.6f, \"files\": %lld, \"bytes\": %lld}\n",
                    double(elapsedNs) / 1e9, double(syncNs) / 1e9, double(elapsedNs - syncNs) / 1e9,
                    expected.files, expected.bytes);
    else
        std::printf("{\"operation\": \"%s\", \"seconds\": %.6f, \"files\": %lld, \"bytes\": "
                    "%lld}\n",
                    qPrintable(operation), double(elapsedNs) / 1e9, expected.files, expected.bytes);
    return 0;
}
