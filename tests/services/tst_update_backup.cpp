#include "update_backup.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

class tst_UpdateBackup : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void backupGoesToTheNearestParentOutsideTheInstallation_data();
    void backupGoesToTheNearestParentOutsideTheInstallation();
    void createFailsWhenEveryParentLiesInsideTheInstallation_data();
    void createFailsWhenEveryParentLiesInsideTheInstallation();
    void createFailsWhenTheBackupDirectoryCannotBeMade_data();
    void createFailsWhenTheBackupDirectoryCannotBeMade();
    void topLevelDownloadLogAndCacheAreasAreLeftAlone_data();
    void topLevelDownloadLogAndCacheAreasAreLeftAlone();
    void installationWithoutSavableFilesGivesAnEmptyBackup_data();
    void installationWithoutSavableFilesGivesAnEmptyBackup();
    void linkedDirectoriesAreNotFollowed();
    void ownFilesAreLeftOutWhereverTheyLie();
    void entriesThatAreNotRegularFilesStopTheBackup_data();
    void entriesThatAreNotRegularFilesStopTheBackup();
    void contentsSurviveBackupAndRestoreByteForByte_data();
    void contentsSurviveBackupAndRestoreByteForByte();
    void permissionBitsSurviveBackupAndRestore_data();
    void permissionBitsSurviveBackupAndRestore();
    void restoreBringsBackChangedAndDeletedFilesAndKeepsAddedOnes();
    void restoreKeepsBackupWhenAFileCannotBeReplaced_data();
    void restoreKeepsBackupWhenAFileCannotBeReplaced();

private:
    QString inSandbox(const QString &relativePath) const;

    QByteArray originalTemporaryDirectory;
    std::unique_ptr<QTemporaryDir> sandbox;
    QString installation;
};

namespace {

const QString untouched = u"(untouched)"_s;

bool writeFile(const QString &path, const QByteArray &content)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// A text no test writes, so that a missing file never passes for empty content.
QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(cannot be read)");
}

// Every file below directory, relative to it, sorted.
QStringList filesBelow(const QString &directory)
{
    QStringList files;
    const QDir root(directory);
    QDirIterator it(directory, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(root.relativeFilePath(it.next()));
    files.sort();
    return files;
}

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

unsigned modeOf(const QString &path)
{
    struct stat status;
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? status.st_mode & 07777 : ~0u;
}

bool makeSocket(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    sockaddr_un address {};
    if (name.size() >= qsizetype(sizeof(address.sun_path)))
        return false;
    address.sun_family = AF_UNIX;
    qstrcpy(address.sun_path, name.constData());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    const bool bound
            = ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) == 0;
    ::close(fd);
    return bound;
}

QByteArray randomBytes(qsizetype size)
{
    QList<quint32> words((size + 3) / 4);
    QRandomGenerator::global()->fillRange(words.data(), words.size());
    return QByteArray(reinterpret_cast<const char *>(words.constData()), size);
}

const QString backupFailure = u"Не удалось сохранить резервную копию: %1"_s;
const QString restoreFailure = u"Не удалось восстановить %1. Резервная копия сохранена: %2"_s;

} // namespace

void tst_UpdateBackup::initTestCase()
{
    originalTemporaryDirectory = qgetenv("TMPDIR");
}

void tst_UpdateBackup::init()
{
    sandbox = std::make_unique<QTemporaryDir>();
    QVERIFY2(sandbox->isValid(), qPrintable(sandbox->errorString()));
    qputenv("TMPDIR", QFile::encodeName(sandbox->path()));
    installation = sandbox->filePath(u"App"_s);
    QVERIFY(QDir().mkpath(installation));
}

void tst_UpdateBackup::cleanup()
{
    sandbox.reset();
    qputenv("TMPDIR", originalTemporaryDirectory);
}

QString tst_UpdateBackup::inSandbox(const QString &relativePath) const
{
    return relativePath.isEmpty() ? sandbox->path() : sandbox->filePath(relativePath);
}

void tst_UpdateBackup::backupGoesToTheNearestParentOutsideTheInstallation_data()
{
    // Paths are relative to the test's own directory; the installation always has "App" in it.
    QTest::addColumn<QString>("installationPath");
    QTest::addColumn<QString>("temporaryPath");
    QTest::addColumn<QString>("linkName");
    QTest::addColumn<QString>("linkTarget");
    QTest::addColumn<QString>("parent");

    QTest::newRow("temporary directory outside")
            << u"App"_s << u"Temp"_s << u""_s << u""_s << u"Temp"_s;
    QTest::newRow("installation below the temporary directory")
            << u"App"_s << u""_s << u""_s << u""_s << u""_s;
    QTest::newRow("temporary directory is the installation")
            << u"App"_s << u"App"_s << u""_s << u""_s << u""_s;
    QTest::newRow("temporary directory below the installation")
            << u"App"_s << u"App/Temp/Deeper"_s << u""_s << u""_s << u""_s;
    QTest::newRow("sibling sharing a name prefix")
            << u"App"_s << u"AppData"_s << u""_s << u""_s << u"AppData"_s;
    QTest::newRow("below a sibling sharing a name prefix")
            << u"App"_s << u"AppData/Temp"_s << u""_s << u""_s << u"AppData/Temp"_s;
    QTest::newRow("differs from the installation in letter case")
            << u"App"_s << u"APP/Temp"_s << u""_s << u""_s << u""_s;
    QTest::newRow("installation named with a trailing slash")
            << u"App/"_s << u"App/Temp"_s << u""_s << u""_s << u""_s;
    QTest::newRow("temporary directory is a link into the installation")
            << u"App"_s << u"TempLink"_s << u"TempLink"_s << u"App/Temp"_s << u""_s;
    QTest::newRow("installation reached through a link")
            << u"AppLink"_s << u"App/Temp"_s << u"AppLink"_s << u"App"_s << u""_s;
}

void tst_UpdateBackup::backupGoesToTheNearestParentOutsideTheInstallation()
{
    QFETCH(QString, installationPath);
    QFETCH(QString, temporaryPath);
    QFETCH(QString, linkName);
    QFETCH(QString, linkTarget);
    QFETCH(QString, parent);

    QVERIFY(writeFile(installation + u"/bin/Corvane.exe"_s, "client"));
    if (!linkName.isEmpty()) {
        QVERIFY(QDir().mkpath(inSandbox(linkTarget)));
        QVERIFY(QFile::link(inSandbox(linkTarget), inSandbox(linkName)));
    }
    QVERIFY(QDir().mkpath(inSandbox(temporaryPath)));
    qputenv("TMPDIR", QFile::encodeName(inSandbox(temporaryPath)));

    auto backup = std::make_unique<UpdateBackup>();
    QString error = untouched;
    QVERIFY2(backup->create(inSandbox(installationPath), error), qPrintable(error));
    QCOMPARE(error, untouched);
    QVERIFY(backup->isCreated());

    const QFileInfo backupDirectory(backup->backupPath());
    QVERIFY2(backupDirectory.isDir(), qPrintable(backup->backupPath()));
    QCOMPARE(QFileInfo(backupDirectory.absolutePath()).canonicalFilePath(),
             QFileInfo(inSandbox(parent)).canonicalFilePath());
    QVERIFY2(QRegularExpression(u"^Kestrova-update-backup-[A-Za-z0-9]{6}$"_s)
                     .match(backupDirectory.fileName())
                     .hasMatch(),
             qPrintable(backupDirectory.fileName()));
    QVERIFY(!backupDirectory.fileName().endsWith(QLatin1String("XXXXXX")));
    QCOMPARE(backup->savedFiles(), QStringList {u"bin/Corvane.exe"_s});
    QCOMPARE(readFile(backupDirectory.filePath() + u"/bin/Corvane.exe"_s), QByteArray("client"));

    backup.reset();
    QVERIFY2(!QFileInfo::exists(backupDirectory.filePath()),
             qPrintable(backupDirectory.filePath()));
}

void tst_UpdateBackup::createFailsWhenEveryParentLiesInsideTheInstallation_data()
{
    QTest::addColumn<bool>("throughLink");
    QTest::newRow("installation at the root") << false;
    QTest::newRow("installation is a link to the root") << true;
}

void tst_UpdateBackup::createFailsWhenEveryParentLiesInsideTheInstallation()
{
    QFETCH(bool, throughLink);
    QString root = u"/"_s;
    if (throughLink) {
        root = inSandbox(u"RootLink"_s);
        QVERIFY(QFile::link(u"/"_s, root));
    }

    UpdateBackup backup;
    QString error = untouched;
    QVERIFY(!backup.create(root, error));
    QCOMPARE(error, u"Не удалось выбрать каталог резервной копии вне установки."_s);
    QVERIFY(!backup.isCreated());
    QCOMPARE(backup.savedFiles(), QStringList());
    QCOMPARE(backup.backupPath(), QString());
    QCOMPARE(QDir(sandbox->path()).entryList({u"Kestrova-update-backup-*"_s}), QStringList());

    error = untouched;
    QVERIFY(backup.restore(error));
    QCOMPARE(error, untouched);
}

void tst_UpdateBackup::createFailsWhenTheBackupDirectoryCannotBeMade_data()
{
    QTest::addColumn<QString>("temporaryPath");
    QTest::addColumn<bool>("isFile");
    QTest::newRow("temporary directory missing") << u"Missing"_s << false;
    QTest::newRow("temporary directory is a file") << u"NotADirectory"_s << true;
}

void tst_UpdateBackup::createFailsWhenTheBackupDirectoryCannotBeMade()
{
    QFETCH(QString, temporaryPath);
    QFETCH(bool, isFile);
    QVERIFY(writeFile(installation + u"/a.txt"_s, "a"));
    if (isFile)
        QVERIFY(writeFile(inSandbox(temporaryPath), "not a directory"));
    qputenv("TMPDIR", QFile::encodeName(inSandbox(temporaryPath)));

    UpdateBackup backup;
    QString error = untouched;
    QVERIFY(!backup.create(installation, error));
    QCOMPARE(error, u"Не удалось создать каталог резервной копии."_s);
    QVERIFY(!backup.isCreated());
    QCOMPARE(backup.savedFiles(), QStringList());

    QVERIFY(writeFile(installation + u"/a.txt"_s, "changed"));
    error = untouched;
    QVERIFY(backup.restore(error));
    QCOMPARE(error, untouched);
    QCOMPARE(readFile(installation + u"/a.txt"_s), QByteArray("changed"));
}

void tst_UpdateBackup::topLevelDownloadLogAndCacheAreasAreLeftAlone_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("saved");

    const QByteArray text("original");
    QTest::newRow("plain file") << u"readme.txt"_s << text << true;
    QTest::newRow("empty file") << u"empty.dat"_s << QByteArray("") << true;
    QTest::newRow("hidden file") << u".settings"_s << text << true;
    QTest::newRow("file in a hidden directory") << u".config/app.ini"_s << text << true;
    QTest::newRow("downloads area") << u"Downloads/setup.bin"_s << text << false;
    QTest::newRow("log area") << u"log/today.txt"_s << text << false;
    QTest::newRow("log area in capitals") << u"LOG/today.txt"_s << text << false;
    QTest::newRow("web cache area") << u"kestro-web-cache/index"_s << text << false;
    QTest::newRow("web cache area in mixed case")
            << u"Kestro-Web-Cache/data/blob"_s << text << false;
    QTest::newRow("root file named log") << u"log"_s << text << false;
    QTest::newRow("root file named DOWNLOADS") << u"DOWNLOADS"_s << text << false;
    QTest::newRow("log below bin") << u"bin/log/trace.txt"_s << text << true;
    QTest::newRow("downloads below a directory") << u"data/Downloads/file"_s << text << true;
    QTest::newRow("logs area") << u"logs/old.txt"_s << text << true;
    QTest::newRow("root file log.txt") << u"log.txt"_s << text << true;
    QTest::newRow("name starting with downloads") << u"downloads-old/file"_s << text << true;
}

void tst_UpdateBackup::topLevelDownloadLogAndCacheAreasAreLeftAlone()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, content);
    QFETCH(bool, saved);
    const QString file = installation + QLatin1Char('/') + path;
    QVERIFY(writeFile(file, content));

    UpdateBackup backup;
    QString error = untouched;
    QVERIFY2(backup.create(installation, error), qPrintable(error));
    QCOMPARE(backup.savedFiles(), saved ? QStringList {path} : QStringList());
    QCOMPARE(filesBelow(backup.backupPath()), backup.savedFiles());
    if (saved)
        QCOMPARE(readFile(backup.backupPath() + QLatin1Char('/') + path), content);

    QVERIFY(writeFile(file, "written by the update"));
    QVERIFY2(backup.restore(error), qPrintable(error));
    QCOMPARE(error, untouched);
    QCOMPARE(readFile(file), saved ? content : QByteArray("written by the update"));
}

void tst_UpdateBackup::installationWithoutSavableFilesGivesAnEmptyBackup_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("directories");
    QTest::newRow("empty installation") << QStringList() << QStringList();
    QTest::newRow("only empty directories") << QStringList() << QStringList {u"bin"_s, u"a/b/c"_s};
    QTest::newRow("only skipped areas")
            << QStringList {u"Downloads/x.bin"_s, u"log/a.txt"_s, u"LOG"_s, u"kestro-web-cache/c"_s}
            << QStringList();
}

void tst_UpdateBackup::installationWithoutSavableFilesGivesAnEmptyBackup()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, directories);
    for (const QString &file : files)
        QVERIFY(writeFile(installation + QLatin1Char('/') + file, "x"));
    for (const QString &directory : directories)
        QVERIFY(QDir(installation).mkpath(directory));

    UpdateBackup backup;
    QString error = untouched;
    QVERIFY2(backup.create(installation, error), qPrintable(error));
    QVERIFY(backup.isCreated());
    QCOMPARE(backup.savedFiles(), QStringList());
    QVERIFY(QFileInfo(backup.backupPath()).isDir());
    QCOMPARE(filesBelow(backup.backupPath()), QStringList());

    QVERIFY2(backup.restore(error), qPrintable(error));
    QCOMPARE(error, untouched);
    QVERIFY(!backup.isCreated());
}

void tst_UpdateBackup::ownFilesAreLeftOutWhereverTheyLie()
{
    // The program's log and lock inside the installation (its temporary directory lies there),
    // named once through a link to that directory: only those two places are left out, not other
    // files of the same name.
    QVERIFY(writeFile(installation + u"/tmp/Corvane-update.log"_s, "log"));
    QVERIFY(writeFile(installation + u"/tmp/installation.lock"_s, "lock"));
    QVERIFY(writeFile(installation + u"/bin/Corvane-update.log"_s, "shipped"));
    QVERIFY(writeFile(installation + u"/a.txt"_s, "a"));
    QVERIFY(QFile::link(installation + u"/tmp"_s, inSandbox(u"tmp-link"_s)));

    UpdateBackup backup;
    backup.setOwnFiles({inSandbox(u"tmp-link/Corvane-update.log"_s),
                        installation + u"/tmp/installation.lock"_s});
    QString error = untouched;
    QVERIFY2(backup.create(installation, error), qPrintable(error));
    QStringList saved = backup.savedFiles();
    saved.sort();
    QCOMPARE(saved, (QStringList {u"a.txt"_s, u"bin/Corvane-update.log"_s}));
}

void tst_UpdateBackup::linkedDirectoriesAreNotFollowed()
{
    QVERIFY(writeFile(installation + u"/a.txt"_s, "a"));
    QVERIFY(writeFile(inSandbox(u"Shared/lib.so"_s), "shared"));
    QVERIFY(QFile::link(inSandbox(u"Shared"_s), installation + u"/lib"_s));

    UpdateBackup backup;
    QString error = untouched;
    QVERIFY2(backup.create(installation, error), qPrintable(error));
    QCOMPARE(backup.savedFiles(), QStringList {u"a.txt"_s});
}

void tst_UpdateBackup::entriesThatAreNotRegularFilesStopTheBackup_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("path");
    QTest::newRow("link to a file") << u"link"_s << u"sub/link.txt"_s;
    QTest::newRow("dangling link") << u"dangling"_s << u"sub/dangling"_s;
    QTest::newRow("FIFO") << u"fifo"_s << u"pipe"_s;
    QTest::newRow("socket") << u"socket"_s << u"run/socket"_s;
}

void tst_UpdateBackup::entriesThatAreNotRegularFilesStopTheBackup()
{
    QFETCH(QString, kind);
    QFETCH(QString, path);
    const QStringList regularFiles {u"a.txt"_s, u"sub/b.txt"_s, u"c.txt"_s, u"d/e.txt"_s};
    for (const QString &file : regularFiles)
        QVERIFY(writeFile(installation + QLatin1Char('/') + file, "before"));

    const QString entry = installation + QLatin1Char('/') + path;
    QVERIFY(QDir().mkpath(QFileInfo(entry).absolutePath()));
    if (kind == QLatin1String("link"))
        QVERIFY(QFile::link(u"b.txt"_s, entry));
    else if (kind == QLatin1String("dangling"))
        QVERIFY(QFile::link(u"missing"_s, entry));
    else if (kind == QLatin1String("fifo"))
        QCOMPARE(::mkfifo(QFile::encodeName(entry).constData(), 0644), 0);
    else
        QVERIFY(makeSocket(entry));

    // The same walk over an unchanged directory yields the same order: the files before the
    // entry are saved, none after it.
    QStringList walk;
    QDirIterator it(installation, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        walk.append(QDir(installation).relativeFilePath(it.next()));
    QVERIFY(walk.contains(path));
    const QStringList savedBefore = walk.mid(0, walk.indexOf(path));

    auto backup = std::make_unique<UpdateBackup>();
    QString error = untouched;
    QVERIFY(!backup->create(installation, error));
    QCOMPARE(error, backupFailure.arg(path));
    QVERIFY(!backup->isCreated());
    QCOMPARE(backup->savedFiles(), savedBefore);
    QCOMPARE(filesBelow(backup->backupPath()), sorted(savedBefore));

    // The partial copy must never be restored over the installation.
    for (const QString &file : regularFiles)
        QVERIFY(writeFile(installation + QLatin1Char('/') + file, "after"));
    error = untouched;
    QVERIFY(backup->restore(error));
    QCOMPARE(error, untouched);
    for (const QString &file : regularFiles)
        QCOMPARE(readFile(installation + QLatin1Char('/') + file), QByteArray("after"));

    const QString backupPath = backup->backupPath();
    QVERIFY(QFileInfo(backupPath).isDir());
    backup.reset();
    QVERIFY2(!QFileInfo::exists(backupPath), qPrintable(backupPath));
}

void tst_UpdateBackup::contentsSurviveBackupAndRestoreByteForByte_data()
{
    // The copy streams in chunks of 1 MiB; sizes around the chunk's edges.
    QTest::addColumn<qsizetype>("size");
    QTest::newRow("empty") << qsizetype(0);
    QTest::newRow("one byte") << qsizetype(1);
    QTest::newRow("one byte short of a chunk") << qsizetype(1048575);
    QTest::newRow("one chunk") << qsizetype(1048576);
    QTest::newRow("one byte over a chunk") << qsizetype(1048577);
    QTest::newRow("three chunks and 17 bytes") << qsizetype(3 * 1048576 + 17);
    // The Linux copy moves large files in steps of 8 MiB.
    QTest::newRow("two copy steps and a byte") << qsizetype(2 * 8 * 1048576 + 1);
}

void tst_UpdateBackup::contentsSurviveBackupAndRestoreByteForByte()
{
    QFETCH(qsizetype, size);
    const QByteArray content = randomBytes(size);
    const QString changed = installation + u"/data/changed.bin"_s;
    const QString deleted = installation + u"/data/deleted.bin"_s;
    QVERIFY(writeFile(changed, content));
    QVERIFY(writeFile(deleted, content));

    UpdateBackup backup;
    QString error = untouched;
    QVERIFY2(backup.create(installation, error), qPrintable(error));
    QCOMPARE(readFile(backup.backupPath() + u"/data/changed.bin"_s), content);

    QVERIFY(writeFile(changed, "written by the update"));
    QVERIFY(QFile::remove(deleted));
    QVERIFY2(backup.restore(error), qPrintable(error));
    QVERIFY(readFile(changed) == content);
    QVERIFY(readFile(deleted) == content);
}

void tst_UpdateBackup::permissionBitsSurviveBackupAndRestore_data()
{
    QTest::addColumn<unsigned>("mode");
    QTest::newRow("executable") << 0755u;
    QTest::newRow("private file") << 0600u;
    QTest::newRow("read-only file") << 0444u;
}

void tst_UpdateBackup::permissionBitsSurviveBackupAndRestore()
{
    QFETCH(unsigned, mode);
    const QString changed = installation + u"/bin/changed"_s;
    const QString deleted = installation + u"/bin/deleted"_s;
    for (const QString &file : {changed, deleted}) {
        QVERIFY(writeFile(file, "#!/bin/sh\n"));
        QCOMPARE(::chmod(QFile::encodeName(file).constData(), mode), 0);
    }

    UpdateBackup backup;
    QString error = untouched;
    QVERIFY2(backup.create(installation, error), qPrintable(error));
    QCOMPARE(modeOf(backup.backupPath() + u"/bin/changed"_s), mode);

    QVERIFY(QFile::remove(deleted));
    QVERIFY(QFile::remove(changed));
    QVERIFY(writeFile(changed, "replaced by the update"));
    QCOMPARE(::chmod(QFile::encodeName(changed).constData(), 0666), 0);

    QVERIFY2(backup.restore(error), qPrintable(error));
    QCOMPARE(modeOf(changed), mode);
    QCOMPARE(modeOf(deleted), mode);
    QCOMPARE(readFile(deleted), QByteArray("#!/bin/sh\n"));
}

void tst_UpdateBackup::restoreBringsBackChangedAndDeletedFilesAndKeepsAddedOnes()
{
    QVERIFY(writeFile(installation + u"/a.txt"_s, "alpha"));
    QVERIFY(writeFile(installation + u"/sub/b.txt"_s, "beta"));
    QVERIFY(writeFile(installation + u"/sub/deeper/c.txt"_s, "gamma"));
    QVERIFY(writeFile(installation + u"/Downloads/package.7z"_s, "download"));
    QVERIFY(QDir(installation).mkpath(u"emptydir"_s));

    auto backup = std::make_unique<UpdateBackup>();
    QString error = untouched;
    QVERIFY2(backup->create(installation, error), qPrintable(error));
    QCOMPARE(sorted(backup->savedFiles()),
             QStringList({u"a.txt"_s, u"sub/b.txt"_s, u"sub/deeper/c.txt"_s}));
    QCOMPARE(filesBelow(backup->backupPath()), sorted(backup->savedFiles()));

    QVERIFY(writeFile(installation + u"/a.txt"_s, "alpha, version two"));
    QVERIFY(QDir(installation + u"/sub"_s).removeRecursively());
    QVERIFY(QDir(installation).rmdir(u"emptydir"_s));
    QVERIFY(QFile::remove(installation + u"/Downloads/package.7z"_s));
    QVERIFY(writeFile(installation + u"/added.txt"_s, "new"));
    QVERIFY(writeFile(installation + u"/plugins/added.dll"_s, "new"));

    QVERIFY2(backup->restore(error), qPrintable(error));
    QCOMPARE(error, untouched);
    QVERIFY(!backup->isCreated());
    QCOMPARE(filesBelow(installation),
             QStringList({u"a.txt"_s, u"added.txt"_s, u"plugins/added.dll"_s, u"sub/b.txt"_s,
                          u"sub/deeper/c.txt"_s}));
    QCOMPARE(readFile(installation + u"/a.txt"_s), QByteArray("alpha"));
    QCOMPARE(readFile(installation + u"/sub/b.txt"_s), QByteArray("beta"));
    QCOMPARE(readFile(installation + u"/sub/deeper/c.txt"_s), QByteArray("gamma"));
    QVERIFY(!QFileInfo::exists(installation + u"/emptydir"_s));

    const QString backupPath = backup->backupPath();
    QVERIFY(QFileInfo(backupPath).isDir());
    backup.reset();
    QVERIFY2(!QFileInfo::exists(backupPath), qPrintable(backupPath));
}

void tst_UpdateBackup::restoreKeepsBackupWhenAFileCannotBeReplaced_data()
{
    // What the failed update left at "sub/victim.txt" or at its directory "sub".
    QTest::addColumn<QString>("obstacle");
    QTest::newRow("directory where the file was") << u"directory"_s;
    QTest::newRow("file where its directory was") << u"file"_s;
    QTest::newRow("link where the file was") << u"file link"_s;
    QTest::newRow("link where its directory was") << u"directory link"_s;
}

void tst_UpdateBackup::restoreKeepsBackupWhenAFileCannotBeReplaced()
{
    QFETCH(QString, obstacle);
    const QString victim = u"sub/victim.txt"_s;
    const QStringList others {u"one.txt"_s, u"two.txt"_s, u"three/three.txt"_s, u"four.txt"_s,
                              u"five.txt"_s};
    for (const QString &file : others + QStringList {victim})
        QVERIFY(writeFile(installation + QLatin1Char('/') + file, "before " + file.toUtf8()));
    QVERIFY(writeFile(inSandbox(u"Outside/victim.txt"_s), "outside"));

    auto backup = std::make_unique<UpdateBackup>();
    QString error = untouched;
    QVERIFY2(backup->create(installation, error), qPrintable(error));
    const QStringList saved = backup->savedFiles();
    QCOMPARE(saved.size(), others.size() + 1);
    const qsizetype victimIndex = saved.indexOf(victim);

    for (const QString &file : others)
        QVERIFY(writeFile(installation + QLatin1Char('/') + file, "after"));
    const QString victimPath = installation + QLatin1Char('/') + victim;
    const QString subPath = installation + u"/sub"_s;
    QVERIFY(QDir(subPath).removeRecursively());
    if (obstacle == QLatin1String("directory")) {
        QVERIFY(writeFile(victimPath + u"/inside.txt"_s, "in the way"));
    } else if (obstacle == QLatin1String("file")) {
        QVERIFY(writeFile(subPath, "in the way"));
    } else if (obstacle == QLatin1String("file link")) {
        QVERIFY(QDir().mkpath(subPath));
        QVERIFY(QFile::link(inSandbox(u"Outside/victim.txt"_s), victimPath));
    } else {
        QVERIFY(QFile::link(inSandbox(u"Outside"_s), subPath));
    }

    QVERIFY(!backup->restore(error));
    const QString backupPath = backup->backupPath();
    QCOMPARE(error, restoreFailure.arg(victim, backupPath));
    QVERIFY(backup->isCreated());
    for (qsizetype i = 0; i < saved.size(); ++i) {
        if (i == victimIndex)
            continue;
        const QByteArray expected = i < victimIndex ? "before " + saved.at(i).toUtf8() : "after";
        QCOMPARE(readFile(installation + QLatin1Char('/') + saved.at(i)), expected);
    }
    // Whatever stood in the way, nothing outside the installation was written through it.
    QCOMPARE(filesBelow(inSandbox(u"Outside"_s)), QStringList {u"victim.txt"_s});
    QCOMPARE(readFile(inSandbox(u"Outside/victim.txt"_s)), QByteArray("outside"));

    backup.reset();
    QCOMPARE(readFile(backupPath + QLatin1Char('/') + victim), "before " + victim.toUtf8());
    QCOMPARE(filesBelow(backupPath), sorted(saved));
}

QTEST_GUILESS_MAIN(tst_UpdateBackup)
#include "tst_update_backup.moc"
