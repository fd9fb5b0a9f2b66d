#include "test_files.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <algorithm>
#include <iterator>
#include <memory>

namespace {

QStringList fixedArguments(const QString &cache, const QString &repository)
{
    return {QStringLiteral("--cache-path"),          cache,
            QStringLiteral("--set-temp-repository"), repository,
            QStringLiteral("--default-answer"),      QStringLiteral("--accept-licenses"),
            QStringLiteral("--confirm-command"),     QStringLiteral("update")};
}

// Every file and folder below `root` with its content, to show that a run left it alone.
QMap<QString, QByteArray> snapshot(const QString &root)
{
    QMap<QString, QByteArray> entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        entries.insert(QDir(root).relativeFilePath(path),
                       it.fileInfo().isDir() ? QByteArray("<dir>") : readFile(path));
    }
    return entries;
}

struct ToolRun
{
    int exitCode = -1;
    QProcess::ExitStatus exitStatus = QProcess::NormalExit;
    QByteArray out;
    QByteArray err;
};

} // namespace

class TestSampleMaintenanceTool : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void refusesAnyOtherCommandLine_data();
    void refusesAnyOtherCommandLine();
    void installsPayloadFilesThenComponents();
    void endsAsTheRepositoryDeclares_data();
    void endsAsTheRepositoryDeclares();
    void removesDeclaredPathsAfterThePayload();
    void refusesBadRepositoriesUntouched_data();
    void refusesBadRepositoriesUntouched();
    void failsWhenAPayloadFileCannotBeWritten();
    void floodsExactlyTheDeclaredBytes_data();
    void floodsExactlyTheDeclaredBytes();
    void recordsEachRun();
    void waitsForTheDeclaredFileBeforeFinishing();

private:
    QString path(const QString &relativePath) const { return dir->filePath(relativePath); }
    void writeIni(const QByteArray &lines)
    {
        writeFile(path("repo/repository.ini"), "[General]\n" + lines);
    }
    ToolRun run(const QStringList &arguments, const QProcessEnvironment &environment = {});
    ToolRun runUpdate() { return run(fixedArguments(path("cache"), path("repo"))); }

    // The temporary directory the test started with; each test points TMPDIR into its own.
    QString baseTemporaryPath;
    std::unique_ptr<QTemporaryDir> dir;
};

void TestSampleMaintenanceTool::initTestCase()
{
    baseTemporaryPath = QDir::tempPath();
}

void TestSampleMaintenanceTool::init()
{
    dir = std::make_unique<QTemporaryDir>(baseTemporaryPath
                                          + QLatin1String("/tst_sample_maintenance_tool-XXXXXX"));
    QVERIFY2(dir->isValid(), qPrintable(dir->errorString()));
    qputenv("TMPDIR", QFile::encodeName(dir->path()));
    QVERIFY(QDir(dir->path()).mkpath(QStringLiteral("install")));
    QVERIFY(QDir(dir->path()).mkpath(QStringLiteral("cache")));
    writeFile(path("repo/components.xml"), "<Packages/>\n");
    writeFile(path("repo/payload/bin/a.dll"), "new a");
    writeFile(path("install/bin/a.dll"), "old a");
    writeFile(path("install/keep.txt"), "kept");
}

ToolRun TestSampleMaintenanceTool::run(const QStringList &arguments,
                                       const QProcessEnvironment &environment)
{
    QProcess process;
    process.setWorkingDirectory(path("install"));
    QProcessEnvironment processEnvironment = QProcessEnvironment::systemEnvironment();
    processEnvironment.insert(environment);
    process.setProcessEnvironment(processEnvironment);
    process.start(QStringLiteral(SAMPLE_TOOL_PATH), arguments);
    ToolRun result;
    if (!process.waitForFinished(60000)) {
        qWarning() << "tool did not finish:" << process.errorString();
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.exitCode = process.exitCode();
    result.exitStatus = process.exitStatus();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

void TestSampleMaintenanceTool::refusesAnyOtherCommandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    const QStringList valid = fixedArguments(QStringLiteral("CACHE"), QStringLiteral("REPO"));

    QTest::newRow("no arguments") << QStringList();
    QTest::newRow("last argument missing") << valid.mid(0, 7);
    QTest::newRow("extra argument") << valid + QStringList {QStringLiteral("--verbose")};
    QStringList swapped = valid;
    swapped.swapItemsAt(4, 5);
    QTest::newRow("flags swapped") << swapped;
    QStringList otherCommand = valid;
    otherCommand[7] = QStringLiteral("install");
    QTest::newRow("other command") << otherCommand;
    QStringList emptyRepository = valid;
    emptyRepository[3].clear();
    QTest::newRow("empty repository") << emptyRepository;
    QTest::newRow("equals form") << QStringList {QStringLiteral("--cache-path=CACHE"),
                                                 QStringLiteral("--set-temp-repository=REPO"),
                                                 QStringLiteral("--default-answer"),
                                                 QStringLiteral("--accept-licenses"),
                                                 QStringLiteral("--confirm-command"),
                                                 QStringLiteral("update"),
                                                 QStringLiteral("x"),
                                                 QStringLiteral("y")};
}

void TestSampleMaintenanceTool::refusesAnyOtherCommandLine()
{
    QFETCH(QStringList, arguments);
    arguments.replaceInStrings(QStringLiteral("CACHE"), path("cache"));
    arguments.replaceInStrings(QStringLiteral("REPO"), path("repo"));
    const auto before = snapshot(dir->path());

    QProcessEnvironment environment;
    environment.insert(QStringLiteral("SAMPLE_TOOL_RECORD"), path("record"));
    const ToolRun result = run(arguments, environment);

    QCOMPARE(result.exitStatus, QProcess::NormalExit);
    QCOMPARE(result.exitCode, 64);
    QVERIFY2(result.err.startsWith("Usage: "), result.err.constData());
    QVERIFY(result.out.isEmpty());
    QCOMPARE(snapshot(dir->path()), before);
}

void TestSampleMaintenanceTool::installsPayloadFilesThenComponents()
{
    writeFile(path("repo/payload/run.sh"), "#!/bin/sh\n");
    QVERIFY(QFile::setPermissions(path("repo/payload/run.sh"),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    writeFile(path("repo/payload/deep/er/Файл с пробелом.txt"), "nested");
    QVERIFY(QDir(path("repo/payload")).mkpath(QStringLiteral("empty")));
    writeIni("markers=true\n");
    const QString repository = path("репо с пробелом");
    QVERIFY(QDir().rename(path("repo"), repository));
    const QString url = QUrl::fromLocalFile(repository).toString(QUrl::FullyEncoded);

    const ToolRun result = run(fixedArguments(path("cache"), url));

    QCOMPARE(result.exitCode, 0);
    QCOMPARE(readFile(path("install/bin/a.dll")), QByteArray("new a"));
    QCOMPARE(readFile(path("install/deep/er/Файл с пробелом.txt")), QByteArray("nested"));
    QCOMPARE(readFile(path("install/keep.txt")), QByteArray("kept"));
    QCOMPARE(readFile(path("install/components.xml")), QByteArray("<Packages/>\n"));
    QVERIFY(QFileInfo(path("install/empty")).isDir());
    QCOMPARE(QFile::permissions(path("install/run.sh")) & OwnerGroupOther,
             QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    const qsizetype lastPayload = result.out.lastIndexOf("Installing payload/");
    QVERIFY2(lastPayload >= 0, result.out.constData());
    QVERIFY2(result.out.indexOf("Installing components.xml") > lastPayload, result.out.constData());
    QVERIFY2(result.out.contains("stopProcessesForUpdates"), result.out.constData());
    QVERIFY2(result.err.contains("Update aborted!"), result.err.constData());
    QVERIFY(!result.out.contains("Update aborted!"));
    QVERIFY(!result.err.contains("stopProcessesForUpdates"));
}

void TestSampleMaintenanceTool::endsAsTheRepositoryDeclares_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QProcess::ExitStatus>("exitStatus");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<bool>("payloadApplied");

    QTest::newRow("exit code after payload")
            << QByteArray("exitCode=3") << QProcess::NormalExit << 3 << true;
    QTest::newRow("negative exit code")
            << QByteArray("exitCode=-1") << QProcess::NormalExit << 255 << true;
    QTest::newRow("success without payload")
            << QByteArray("applyPayload=false") << QProcess::NormalExit << 0 << false;
    QTest::newRow("failure without payload")
            << QByteArray("applyPayload=false\nexitCode=1") << QProcess::NormalExit << 1 << false;
    QTest::newRow("crash after payload")
            << QByteArray("crash=true") << QProcess::CrashExit << -1 << true;
    QTest::newRow("crash without payload")
            << QByteArray("crash=TRUE\napplyPayload=False") << QProcess::CrashExit << -1 << false;
}

void TestSampleMaintenanceTool::endsAsTheRepositoryDeclares()
{
    QFETCH(QByteArray, ini);
    QFETCH(QProcess::ExitStatus, exitStatus);
    QFETCH(int, exitCode);
    QFETCH(bool, payloadApplied);
    writeIni(ini + '\n');

    const ToolRun result = runUpdate();

    QCOMPARE(result.exitStatus, exitStatus);
    if (exitStatus == QProcess::NormalExit)
        QCOMPARE(result.exitCode, exitCode);
    QCOMPARE(readFile(path("install/bin/a.dll")), QByteArray(payloadApplied ? "new a" : "old a"));
    QCOMPARE(QFile::exists(path("install/components.xml")), payloadApplied);
    QVERIFY(!QFile::exists(path("install/core")));
}

void TestSampleMaintenanceTool::removesDeclaredPathsAfterThePayload()
{
    writeFile(path("install/old/nested/x.txt"), "x");
    writeFile(path("repo/payload/old/replaced.txt"), "payload");
    writeIni("remove=keep.txt, old ,never-installed.txt\n");

    const ToolRun result = runUpdate();

    QCOMPARE(result.exitCode, 0);
    QVERIFY(!QFile::exists(path("install/keep.txt")));
    QVERIFY(!QFile::exists(path("install/old")));
    QCOMPARE(readFile(path("install/bin/a.dll")), QByteArray("new a"));
    QVERIFY(QFile::exists(path("install/components.xml")));
}

void TestSampleMaintenanceTool::refusesBadRepositoriesUntouched_data()
{
    QTest::addColumn<QString>("location");
    QTest::addColumn<QByteArray>("ini");

    QTest::newRow("missing directory") << QStringLiteral("REPO/../absent") << QByteArray();
    QTest::newRow("remote URL") << QStringLiteral("https://example.invalid/repo") << QByteArray();
    QTest::newRow("removal outside") << QStringLiteral("REPO") << QByteArray("remove=../cache");
    QTest::newRow("exit code not a number")
            << QStringLiteral("REPO") << QByteArray("exitCode=three");
    QTest::newRow("flag not boolean") << QStringLiteral("REPO") << QByteArray("crash=yes");
}

void TestSampleMaintenanceTool::refusesBadRepositoriesUntouched()
{
    QFETCH(QString, location);
    QFETCH(QByteArray, ini);
    location.replace(QStringLiteral("REPO"), path("repo"));
    if (!ini.isEmpty())
        writeIni(ini + '\n');
    const auto before = snapshot(path("install"));

    const ToolRun result = run(fixedArguments(path("cache"), location));

    QCOMPARE(result.exitStatus, QProcess::NormalExit);
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.err.contains("Error: "), result.err.constData());
    QCOMPARE(snapshot(path("install")), before);
}

void TestSampleMaintenanceTool::failsWhenAPayloadFileCannotBeWritten()
{
    QVERIFY(QDir(path("install")).mkpath(QStringLiteral("blocked.txt/inside")));
    writeFile(path("repo/payload/blocked.txt"), "cannot land");

    const ToolRun result = runUpdate();

    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.err.contains("blocked.txt"), result.err.constData());
    QVERIFY(QFileInfo(path("install/blocked.txt")).isDir());
    QVERIFY(!QFile::exists(path("install/components.xml")));
}

void TestSampleMaintenanceTool::floodsExactlyTheDeclaredBytes_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::newRow("one byte") << qint64(1);
    QTest::newRow("one write") << qint64(65536);
    QTest::newRow("one write and a byte") << qint64(65537);
    QTest::newRow("64 MiB and a part") << qint64(64 * 1048576 + 12345);
}

void TestSampleMaintenanceTool::floodsExactlyTheDeclaredBytes()
{
    QFETCH(qint64, bytes);
    writeIni("floodBytes=" + QByteArray::number(bytes) + '\n');

    // Counted as it streams, the way the helper takes it: merged into one channel.
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setWorkingDirectory(path("install"));
    qint64 filler = 0;
    QByteArray text;
    connect(&process, &QProcess::readyRead, this, [&] {
        const QByteArray chunk = process.readAll();
        filler += std::count(chunk.cbegin(), chunk.cend(), '~');
        std::remove_copy(chunk.cbegin(), chunk.cend(), std::back_inserter(text), '~');
    });
    process.start(QStringLiteral(SAMPLE_TOOL_PATH), fixedArguments(path("cache"), path("repo")));
    QVERIFY(process.waitForFinished(120000));

    QCOMPARE(process.exitCode(), 0);
    QCOMPARE(filler, bytes);
    QVERIFY2(text.contains("Finished with exit code 0"), text.constData());
}

void TestSampleMaintenanceTool::recordsEachRun()
{
    const QString cache = path("cache with\nline feed and \\ backslash");
    writeIni("exitCode=7\n");
    writeFile(path("record"), "earlier run\n");
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("SAMPLE_TOOL_RECORD"), path("record"));
    QCOMPARE(run(fixedArguments(cache, path("repo")), environment).exitCode, 7);

    const QList<QByteArray> lines = readFile(path("record")).split('\n');
    QCOMPARE(lines.size(), 1 + 11 + 1);
    QCOMPARE(lines.first(), QByteArray("earlier run"));
    QVERIFY2(lines.at(1).startsWith("started "), lines.at(1).constData());
    const QList<QByteArray> arguments
            = {"--cache-path",
               path("cache with").toUtf8() + "\\nline feed and \\\\ backslash",
               "--set-temp-repository",
               path("repo").toUtf8(),
               "--default-answer",
               "--accept-licenses",
               "--confirm-command",
               "update"};
    for (int i = 0; i < 8; ++i)
        QCOMPARE(lines.at(2 + i), "argument " + arguments.at(i));
    QCOMPARE(lines.at(10), "working-directory " + path("install").toUtf8());
    const QList<QByteArray> finished = lines.at(11).split(' ');
    QCOMPARE(finished.size(), 4);
    QCOMPARE(finished.at(0), QByteArray("finished"));
    QVERIFY(finished.at(1).toLongLong() >= lines.at(1).mid(8).toLongLong());
    QCOMPARE(finished.at(2) + ' ' + finished.at(3), QByteArray("exit 7"));
}

void TestSampleMaintenanceTool::waitsForTheDeclaredFileBeforeFinishing()
{
    writeIni("waitForFile=" + path("go").toUtf8() + '\n');

    QProcess process;
    process.setWorkingDirectory(path("install"));
    process.start(QStringLiteral(SAMPLE_TOOL_PATH), fixedArguments(path("cache"), path("repo")));
    QByteArray out;
    QTRY_VERIFY_WITH_TIMEOUT((out += process.readAllStandardOutput()).contains("Waiting for "),
                             30000);
    QCOMPARE(process.state(), QProcess::Running);
    QVERIFY(QFile::exists(path("install/components.xml")));

    writeFile(path("go"), QByteArray());
    QVERIFY(process.waitForFinished(30000));
    QCOMPARE(process.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestSampleMaintenanceTool)
#include "tst_sample_maintenance_tool.moc"
