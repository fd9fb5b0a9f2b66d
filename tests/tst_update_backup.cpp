#include "update_backup.h"

#include "test_files.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTest>
#include <QThread>

#include <memory>

using namespace Qt::StringLiterals;

class tst_UpdateBackup : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void backupGoesToTheNearestParentOutsideTheInstallation_data();
    void backupGoesToTheNearestParentOutsideTheInstallation();
    void topLevelDownloadLogAndCacheAreasAreLeftOut_data();
    void topLevelDownloadLogAndCacheAreasAreLeftOut();
    void ownFilesAndLinkedDirectoriesAreLeftOut();
    void entriesThatAreNotRegularFilesStopTheBackup_data();
    void entriesThatAreNotRegularFilesStopTheBackup();
    void restoreBringsBackContentsAndPermissionBits_data();
    void restoreBringsBackContentsAndPermissionBits();
    void restoreKeepsTheBackupWhenAFileCannotBeReplaced_data();
    void restoreKeepsTheBackupWhenAFileCannotBeReplaced();
    void restoreRewritesOnlyFilesThatDifferFromTheirCopy_data();
    void restoreRewritesOnlyFilesThatDifferFromTheirCopy();

private:
    // A path in the test's directory; one that starts with "/" is taken as it is.
    QString at(const QString &path) const
    {
        return path.startsWith(u'/') ? path : QDir::cleanPath(dir->filePath(path));
    }
    QString installed(const QString &relativePath) const { return at(u"App/"_s + relativePath); }

    std::unique_ptr<TestDirectory> dir;
    TestMounts mounts;
};

namespace {

const QString untouched = u"(untouched)"_s;

QByteArray patterned(qsizetype size)
{
    QByteArray content(size, '\0');
    for (qsizetype i = 0; i < size; ++i)
        content[i] = char(i * 7919 % 251);
    return content;
}

} // namespace

void tst_UpdateBackup::init()
{
    dir.reset();
    dir = std::make_unique<TestDirectory>();
    QVERIFY2(dir->isValid(), qPrintable(dir->errorString()));
    QVERIFY(QDir().mkpath(at(u"App"_s)));
}

void tst_UpdateBackup::cleanup()
{
    mounts.releaseAll();
}

void tst_UpdateBackup::backupGoesToTheNearestParentOutsideTheInstallation_data()
{
    // Paths in the test's directory; a link is made as "name>target". The temporary directory
    // "Missing" is not made, "File" is a file. The backup goes to parent, or create() fails
    // with error.
    QTest::addColumn<QString>("installation");
    QTest::addColumn<QString>("temporary");
    QTest::addColumn<QString>("link");
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QString>("error");

    const QString none;
    const QString noDirectory = u"Не удалось создать каталог резервной копии."_s;
    QTest::newRow("temporary directory outside")
            << u"App"_s << u"Temp"_s << none << u"Temp"_s << none;
    QTest::newRow("installation below it") << u"App"_s << u""_s << none << u""_s << none;
    QTest::newRow("below the installation, named with a slash")
            << u"App/"_s << u"App/Temp"_s << none << u""_s << none;
    QTest::newRow("sibling sharing a name prefix")
            << u"App"_s << u"AppData/Temp"_s << none << u"AppData/Temp"_s << none;
    QTest::newRow("installation in other letter case")
            << u"App"_s << u"APP/Temp"_s << none << u""_s << none;
    QTest::newRow("a link into the installation")
            << u"App"_s << u"TempLink"_s << u"TempLink>App/Temp"_s << u""_s << none;
    QTest::newRow("installation reached through a link")
            << u"AppLink"_s << u"App/Temp"_s << u"AppLink>App"_s << u""_s << none;
    QTest::newRow("installation at the root")
            << u"/"_s << u"Temp"_s << none << none
            << u"Не удалось выбрать каталог резервной копии вне установки."_s;
    QTest::newRow("temporary directory missing")
            << u"App"_s << u"Missing"_s << none << none << noDirectory;
    QTest::newRow("temporary directory is a file")
            << u"App"_s << u"File"_s << none << none << noDirectory;
}

void tst_UpdateBackup::backupGoesToTheNearestParentOutsideTheInstallation()
{
    QFETCH(QString, installation);
    QFETCH(QString, temporary);
    QFETCH(QString, link);
    QFETCH(QString, parent);
    QFETCH(QString, error);

    QVERIFY(writeFile(installed(u"bin/Corvane.exe"_s), "client"));
    if (!link.isEmpty()) {
        const QString target = at(link.section(u'>', 1));
        QVERIFY(QDir().mkpath(target) && QFile::link(target, at(link.section(u'>', 0, 0))));
    }
    if (temporary == QLatin1String("File"))
        QVERIFY(writeFile(at(temporary), "not a directory"));
    else if (temporary != QLatin1String("Missing"))
        QVERIFY(QDir().mkpath(at(temporary)));
    qputenv("TMPDIR", QFile::encodeName(at(temporary)));

    auto backup = std::make_unique<UpdateBackup>();
    QString message = untouched;
    QCOMPARE(backup->create(at(installation), message), error.isNull());
    if (!error.isNull()) {
        QCOMPARE(message, error);
        QVERIFY(!backup->isCreated());
        QVERIFY(writeFile(installed(u"bin/Corvane.exe"_s), "changed"));
        QVERIFY(backup->restore(message));
        QCOMPARE(readFile(installed(u"bin/Corvane.exe"_s)), QByteArray("changed"));
        return;
    }
    QCOMPARE(message, untouched);
    const QFileInfo backupDirectory(backup->backupPath());
    QCOMPARE(QFileInfo(backupDirectory.absolutePath()).canonicalFilePath(),
             QFileInfo(at(parent)).canonicalFilePath());
    QVERIFY2(QRegularExpression(u"^Kestrova-update-backup-\\w{6}$"_s)
                             .match(backupDirectory.fileName())
                             .hasMatch()
                     && !backupDirectory.fileName().endsWith(u"XXXXXX"_s),
             qPrintable(backupDirectory.fileName()));
    QCOMPARE(filesBelow(backupDirectory.filePath()), QStringList {u"bin/Corvane.exe"_s});
    backup.reset();
    QVERIFY2(!backupDirectory.exists(), qPrintable(backupDirectory.filePath()));
}

void tst_UpdateBackup::topLevelDownloadLogAndCacheAreasAreLeftOut_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("saved");

    QTest::newRow("plain file") << u"readme.txt"_s << true;
    QTest::newRow("hidden file in a hidden directory") << u".config/.app.ini"_s << true;
    QTest::newRow("downloads area") << u"Downloads/setup.bin"_s << false;
    QTest::newRow("log area") << u"log/today.txt"_s << false;
    QTest::newRow("log area in capitals") << u"LOG/today.txt"_s << false;
    QTest::newRow("web cache area in mixed case") << u"Kestro-Web-Cache/data/blob"_s << false;
    QTest::newRow("root file named log") << u"log"_s << false;
    QTest::newRow("log below bin") << u"bin/log/trace.txt"_s << true;
    QTest::newRow("downloads below a directory") << u"data/downloads/file"_s << true;
    QTest::newRow("logs area") << u"logs/old.txt"_s << true;
    QTest::newRow("root file log.txt") << u"log.txt"_s << true;
}

void tst_UpdateBackup::topLevelDownloadLogAndCacheAreasAreLeftOut()
{
    QFETCH(QString, path);
    QFETCH(bool, saved);
    QVERIFY(writeFile(installed(path), "original"));

    UpdateBackup backup;
    QString error = untouched;
    QVERIFY2(backup.create(at(u"App"_s), error), qPrintable(error));
    QCOMPARE(backup.savedFiles(), saved ? QStringList {path} : QStringList());
    QCOMPARE(filesBelow(backup.backupPath()), backup.savedFiles());

    QVERIFY(writeFile(installed(path), "written by the update"));
    QVERIFY2(backup.restore(error), qPrintable(error));
    QCOMPARE(readFile(installed(path)), saved ? "original" : "written by the update");
}

void tst_UpdateBackup::ownFilesAndLinkedDirectoriesAreLeftOut()
{
    // The program's log and lock lie in the installation when its temporary directory does; they
    // are named once through a link to that directory. Only those two places are left out, not
    // other files of the same name; a linked directory is not followed.
    QVERIFY(writeFile(installed(u"tmp/Corvane-update.log"_s), "log"));
    QVERIFY(writeFile(installed(u"tmp/installation.lock"_s), "lock"));
    QVERIFY(writeFile(installed(u"bin/Corvane-update.log"_s), "shipped"));
    QVERIFY(writeFile(at(u"Shared/lib.so"_s), "shared"));
    QVERIFY(QFile::link(installed(u"tmp"_s), at(u"tmp-link"_s)));
    QVERIFY(QFile::link(at(u"Shared"_s), installed(u"lib"_s)));

    UpdateBackup backup;
    backup.setOwnFiles(
            {at(u"tmp-link/Corvane-update.log"_s), installed(u"tmp/installation.lock"_s)});
    QString error = untouched;
    QVERIFY2(backup.create(at(u"App"_s), error), qPrintable(error));
    QCOMPARE(backup.savedFiles(), QStringList {u"bin/Corvane-update.log"_s});
}

void tst_UpdateBackup::entriesThatAreNotRegularFilesStopTheBackup_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("link to a file") << u"link"_s;
    QTest::newRow("dangling link") << u"dangling"_s;
    QTest::newRow("FIFO") << u"fifo"_s;
    QTest::newRow("socket") << u"socket"_s;
}

void tst_UpdateBackup::entriesThatAreNotRegularFilesStopTheBackup()
{
    QFETCH(QString, kind);
    const QStringList files {u"a.txt"_s, u"sub/b.txt"_s, u"sub/deeper/c.txt"_s, u"z.txt"_s};
    for (const QString &file : files)
        QVERIFY(writeFile(installed(file), "before"));
    const QString entry = installed(u"sub/entry"_s);
    if (kind == QLatin1String("link"))
        QVERIFY(QFile::link(u"b.txt"_s, entry));
    else if (kind == QLatin1String("dangling"))
        QVERIFY(QFile::link(u"missing"_s, entry));
    else
        QVERIFY(kind == QLatin1String("fifo") ? makeFifo(entry) : makeSocket(entry));

    auto backup = std::make_unique<UpdateBackup>();
    QString error = untouched;
    QVERIFY(!backup->create(at(u"App"_s), error));
    QCOMPARE(error, u"Не удалось сохранить резервную копию: sub/entry"_s);
    QVERIFY(!backup->isCreated());

    // The partial copy is never put back, and goes with the object.
    for (const QString &file : files)
        QVERIFY(writeFile(installed(file), "after"));
    QVERIFY(backup->restore(error));
    for (const QString &file : files)
        QCOMPARE(readFile(installed(file)), QByteArray("after"));
    const QString backupPath = backup->backupPath();
    backup.reset();
    QVERIFY2(!QFileInfo::exists(backupPath), qPrintable(backupPath));
}

void tst_UpdateBackup::restoreBringsBackContentsAndPermissionBits_data()
{
    // The copy streams in chunks of 1 MiB, and on Linux in steps of 8 MiB.
    QTest::addColumn<qsizetype>("size");
    QTest::addColumn<unsigned>("mode");
    QTest::newRow("empty, private") << qsizetype(0) << 0600u;
    QTest::newRow("one byte, read-only") << qsizetype(1) << 0444u;
    QTest::newRow("a byte short of a chunk, executable") << qsizetype(1048575) << 0755u;
    QTest::newRow("one chunk") << qsizetype(1048576) << 0644u;
    QTest::newRow("a byte over a chunk") << qsizetype(1048577) << 0640u;
    QTest::newRow("two steps and a byte, executable") << qsizetype(16 * 1048576 + 1) << 0755u;
}

void tst_UpdateBackup::restoreBringsBackContentsAndPermissionBits()
{
    QFETCH(qsizetype, size);
    QFETCH(unsigned, mode);
    const QByteArray content = patterned(size);
    for (const QString &file : {u"bin/changed"_s, u"sub/deeper/deleted"_s}) {
        QVERIFY(writeFile(installed(file), content));
        QVERIFY(setFileMode(installed(file), mode));
    }

    auto backup = std::make_unique<UpdateBackup>();
    QString error = untouched;
    QVERIFY2(backup->create(at(u"App"_s), error), qPrintable(error));
    QCOMPARE(filesBelow(backup->backupPath()),
             QStringList({u"bin/changed"_s, u"sub/deeper/deleted"_s}));

    // What an update does: replaces a file, removes a folder, adds files.
    QVERIFY(QFile::remove(installed(u"bin/changed"_s)));
    QVERIFY(writeFile(installed(u"bin/changed"_s), "replaced by the update"));
    QVERIFY(QDir(installed(u"sub"_s)).removeRecursively());
    QVERIFY(writeFile(installed(u"plugins/added.dll"_s), "new"));

    QVERIFY2(backup->restore(error), qPrintable(error));
    QCOMPARE(error, untouched);
    QCOMPARE(filesBelow(at(u"App"_s)),
             QStringList({u"bin/changed"_s, u"plugins/added.dll"_s, u"sub/deeper/deleted"_s}));
    for (const QString &file : {u"bin/changed"_s, u"sub/deeper/deleted"_s}) {
        QVERIFY2(readFile(installed(file)) == content, qPrintable(file));
        QCOMPARE(fileMode(installed(file)), mode);
    }
    const QString backupPath = backup->backupPath();
    backup.reset();
    QVERIFY2(!QFileInfo::exists(backupPath), qPrintable(backupPath));
}

void tst_UpdateBackup::restoreKeepsTheBackupWhenAFileCannotBeReplaced_data()
{
    // What the failed update left at "sub/victim.txt" or at its directory "sub"; or a changed
    // file that a bind mount holds (see TestMounts::bind) while the restore tries and tries again.
    QTest::addColumn<QString>("obstacle");
    QTest::newRow("directory where the file was") << u"directory"_s;
    QTest::newRow("file where its directory was") << u"file"_s;
    QTest::newRow("link where the file was") << u"file link"_s;
    QTest::newRow("link where its directory was") << u"directory link"_s;
    QTest::newRow("changed file held for good") << u"held"_s;
}

void tst_UpdateBackup::restoreKeepsTheBackupWhenAFileCannotBeReplaced()
{
    QFETCH(QString, obstacle);
    const QString victim = installed(u"sub/victim.txt"_s);
    QVERIFY(writeFile(victim, "before"));
    QVERIFY(writeFile(installed(u"other.txt"_s), "before"));
    QVERIFY(writeFile(at(u"Outside/victim.txt"_s), "outside"));
    auto backup = std::make_unique<UpdateBackup>();
    QString error = untouched;
    QVERIFY2(backup->create(at(u"App"_s), error), qPrintable(error));

    QVERIFY(QDir(installed(u"sub"_s)).removeRecursively());
    if (obstacle == QLatin1String("directory"))
        QVERIFY(writeFile(installed(u"sub/victim.txt/inside.txt"_s), "in the way"));
    else if (obstacle == QLatin1String("file"))
        QVERIFY(writeFile(installed(u"sub"_s), "in the way"));
    else if (obstacle == QLatin1String("file link"))
        QVERIFY(QDir().mkpath(installed(u"sub"_s))
                && QFile::link(at(u"Outside/victim.txt"_s), installed(u"sub/victim.txt"_s)));
    else if (obstacle == QLatin1String("directory link"))
        QVERIFY(QFile::link(at(u"Outside"_s), installed(u"sub"_s)));
    else if (!writeFile(victim, "changed") || !mounts.bind(victim, victim))
        QSKIP("mount --bind was refused: holding a file this way needs root");

    QVERIFY(!backup->restore(error));
    const QString backupPath = backup->backupPath();
    QCOMPARE(error,
             u"Не удалось восстановить sub/victim.txt. Резервная копия сохранена: "_s + backupPath);
    // Nothing outside the installation was written through whatever stood in the way.
    QCOMPARE(filesBelow(at(u"Outside"_s)), QStringList {u"victim.txt"_s});
    QCOMPARE(readFile(at(u"Outside/victim.txt"_s)), QByteArray("outside"));

    backup.reset();
    QCOMPARE(filesBelow(backupPath), QStringList({u"other.txt"_s, u"sub/victim.txt"_s}));
    QCOMPARE(readFile(backupPath + u"/sub/victim.txt"_s), QByteArray("before"));
}

void tst_UpdateBackup::restoreRewritesOnlyFilesThatDifferFromTheirCopy_data()
{
    // What the update leaves at "bin/changed", saved as 1.5 MiB and a byte with mode 0755: more
    // than one step of the comparison, which holds half a MiB of each file at a time. "lib/same"
    // is left as it was, and held throughout by a bind mount (see TestMounts::bind), as on
    // Windows the running helper's own executable inside the installation: the restore must
    // leave it alone. A changed file held for a moment is put back once it is let go.
    QTest::addColumn<QByteArray>("changed");
    QTest::addColumn<unsigned>("mode");
    QTest::addColumn<bool>("heldForAMoment");
    const QByteArray saved = patterned(3 * 1048576 / 2 + 1);
    QByteArray lastByte = saved;
    lastByte.back() = char(lastByte.back() + 1);
    QTest::newRow("last byte differs") << lastByte << 0755u << false;
    QTest::newRow("one byte longer") << saved + 'x' << 0755u << false;
    QTest::newRow("one byte shorter") << saved.chopped(1) << 0755u << false;
    QTest::newRow("permission bits only") << saved << 0644u << false;
    QTest::newRow("one byte longer, held for a moment") << saved + 'x' << 0755u << true;
}

void tst_UpdateBackup::restoreRewritesOnlyFilesThatDifferFromTheirCopy()
{
    QFETCH(QByteArray, changed);
    QFETCH(unsigned, mode);
    QFETCH(bool, heldForAMoment);
    const QByteArray saved = patterned(3 * 1048576 / 2 + 1);
    const QString changedPath = installed(u"bin/changed"_s);
    const QString samePath = installed(u"lib/same"_s);
    for (const QString &file : {changedPath, samePath})
        QVERIFY(writeFile(file, saved) && setFileMode(file, 0755));
    UpdateBackup backup;
    QString error = untouched;
    QVERIFY2(backup.create(at(u"App"_s), error), qPrintable(error));
    const quint64 sameInode = fileInode(samePath);
    QVERIFY(writeFile(changedPath, changed) && setFileMode(changedPath, mode));
    if (!mounts.bind(samePath, samePath)
        || (heldForAMoment && !mounts.bind(changedPath, changedPath)))
        QSKIP("mount --bind was refused: holding a file this way needs root");
    const std::unique_ptr<QThread> release(QThread::create([this, changedPath] {
        QThread::msleep(500);
        mounts.release(changedPath);
    }));
    if (heldForAMoment)
        release->start();

    const bool restored = backup.restore(error);
    release->wait();
    QVERIFY2(restored, qPrintable(error));
    for (const QString &file : {changedPath, samePath}) {
        QVERIFY2(readFile(file) == saved, qPrintable(file));
        QCOMPARE(fileMode(file), 0755u);
    }
    QCOMPARE(fileInode(samePath), sameInode);
}

QTEST_GUILESS_MAIN(tst_UpdateBackup)
#include "tst_update_backup.moc"
