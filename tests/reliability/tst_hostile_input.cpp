#include "file_contents.h"
#include "helper_runs.h"
#include "process_tools.h"
#include "sample_installation.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const QString NotConfirmed
        = QStringLiteral("Клиент не подтвердил начало обновления. Повторите попытку.");

QByteArray componentsOf(const QByteArray &version)
{
    return "<Packages><Package><Name>com.norvatek.lumeral</Name><Version>" + version
            + "</Version></Package></Packages>\n";
}

bool makeSocket(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    sockaddr_un address {};
    if (!QDir().mkpath(QFileInfo(path).absolutePath())
        || size_t(name.size()) >= sizeof(address.sun_path))
        return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const bool bound
            = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
    if (fd >= 0)
        ::close(fd);
    return bound;
}

// A client that keeps writing its handoff file from a thread of its own until it is destroyed.
class HandoffRewriter
{
public:
    // Each round writes the pieces in place, one after the other, through one open file.
    HandoffRewriter(const QString &path, QList<QList<QByteArray>> rounds)
        : thread([this, path = QFile::encodeName(path), rounds = std::move(rounds)] {
              for (qsizetype round = 0; !stopped; round = (round + 1) % rounds.size()) {
                  const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
                  for (const QByteArray &piece : rounds.at(round)) {
                      if (fd >= 0 && ::write(fd, piece.constData(), size_t(piece.size())) < 0)
                          break;
                      ::usleep(3000);
                  }
                  if (fd >= 0)
                      ::close(fd);
              }
          })
    { }
    ~HandoffRewriter()
    {
        stopped = true;
        thread.join();
    }

private:
    std::atomic<bool> stopped {false};
    std::thread thread;
};

} // namespace

class TestHostileInput : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void nonRegularEntriesFailTheBackupWithoutHanging_data();
    void nonRegularEntriesFailTheBackupWithoutHanging();
    void oddEntryAtTheLogPathDoesNotStopTheUpdate_data();
    void oddEntryAtTheLogPathDoesNotStopTheUpdate();
    void abusedHandoffFileIsReadWithoutHarm();
    void oversizedOrDeepComponentsFileIsJudgedSafely_data();
    void oversizedOrDeepComponentsFileIsJudgedSafely();
    void oddPathsAndArgumentsArriveIntact_data();
    void oddPathsAndArgumentsArriveIntact();
    void installationHoldingTheTemporaryDirectoryKeepsAWholeLog_data();
    void installationHoldingTheTemporaryDirectoryKeepsAWholeLog();

private:
    SampleInstallation makeInstallation(const QString &repositoryIni = QString());
    void answerHandoff(const SampleInstallation &installation);

    HelperRuns runs;
    std::unique_ptr<QTemporaryDir> root;
    int installations = 0;
};

void TestHostileInput::initTestCase()
{
    QString error;
    QVERIFY2(runs.startServer(error), qPrintable(error));
}

void TestHostileInput::init()
{
    root = std::make_unique<QTemporaryDir>();
    QVERIFY2(root->isValid(), qPrintable(root->errorString()));
}

void TestHostileInput::cleanup()
{
    runs.endAll();
    root.reset();
}

SampleInstallation TestHostileInput::makeInstallation(const QString &repositoryIni)
{
    const QString name = QStringLiteral("Hostile%1").arg(++installations);
    SampleInstallation installation(root->filePath(name), name);
    QString error;
    if (!installation.create(repositoryIni, error))
        qWarning("%s", qPrintable(error));
    return installation;
}

void TestHostileInput::answerHandoff(const SampleInstallation &installation)
{
    QTRY_COMPARE_WITH_TIMEOUT(installation.handoffRecord(), QByteArray("ready"), 15000);
    QVERIFY(FileContents::replace(installation.handoff, "continue"));
}

void TestHostileInput::nonRegularEntriesFailTheBackupWithoutHanging_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("relativePath");
    QTest::newRow("FIFO") << QStringLiteral("fifo") << QStringLiteral("lib/pipe");
    QTest::newRow("socket") << QStringLiteral("socket") << QStringLiteral("run/socket");
    QTest::newRow("dangling symbolic link")
            << QStringLiteral("dangling") << QStringLiteral("lib/nested/gone.dat");
}

void TestHostileInput::nonRegularEntriesFailTheBackupWithoutHanging()
{
    QFETCH(QString, kind);
    QFETCH(QString, relativePath);

    SampleInstallation installation = makeInstallation();
    QVERIFY(QFileInfo::exists(installation.clientPath));
    const QString path = installation.directory + QLatin1Char('/') + relativePath;
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    if (kind == QLatin1String("fifo"))
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    else if (kind == QLatin1String("socket"))
        QVERIFY(makeSocket(path));
    else
        QVERIFY(QFile::link(installation.base + QStringLiteral("/nowhere"), path));

    const auto helper = runs.start(
            installation,
            installation.helperArguments({QStringLiteral("--handoff-file=") + installation.handoff,
                                          QStringLiteral("--application-argument=--again")}));
    answerHandoff(installation);
    QVERIFY(runs.closeAfterFailure(*helper));

    QCOMPARE(installation.handoffRecord(),
             "error\n"
                     + QStringLiteral("Не удалось сохранить резервную копию: %1")
                               .arg(relativePath)
                               .toUtf8());
    QCOMPARE(installation.toolRuns(), 0);
    // The client had been closed for the update: it is started again.
    QTRY_COMPARE(installation.launches().size(), 1);
    const QString mismatches
            = installation.mismatches(SampleInstallation::Expected::Old, {relativePath});
    QVERIFY2(mismatches.isEmpty(), qPrintable(mismatches));
    QVERIFY(QFileInfo(path).isSymLink() || QFileInfo::exists(path));
    QVERIFY2(installation.leftovers().isEmpty(), qPrintable(installation.leftovers().join(u' ')));
}

void TestHostileInput::oddEntryAtTheLogPathDoesNotStopTheUpdate_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("link to another file") << QStringLiteral("link");
    QTest::newRow("dangling link") << QStringLiteral("dangling");
    QTest::newRow("FIFO") << QStringLiteral("fifo");
    QTest::newRow("directory") << QStringLiteral("directory");
}

void TestHostileInput::oddEntryAtTheLogPathDoesNotStopTheUpdate()
{
    QFETCH(QString, kind);

    SampleInstallation installation = makeInstallation();
    QVERIFY(QFileInfo::exists(installation.clientPath));
    const QString victim = installation.base + QStringLiteral("/victim.txt");
    const QString logPath = installation.logPath();
    if (kind == QLatin1String("link")) {
        QVERIFY(FileContents::write(victim, "not the helper's"));
        QVERIFY(QFile::link(victim, logPath));
    } else if (kind == QLatin1String("dangling")) {
        QVERIFY(QFile::link(victim, logPath));
    } else if (kind == QLatin1String("fifo")) {
        QCOMPARE(::mkfifo(QFile::encodeName(logPath).constData(), 0600), 0);
    } else {
        QVERIFY(QDir().mkpath(logPath));
    }

    const auto helper = runs.start(
            installation,
            installation.helperArguments({QStringLiteral("--handoff-file=") + installation.handoff,
                                          QStringLiteral("--expected-version=2.0.0")}));
    answerHandoff(installation);
    QVERIFY(helper->waitForFinished(30000));
    QCOMPARE(helper->exitCode(), 0);
    QTRY_COMPARE(installation.launches().size(), 1);
    const QString mismatches = installation.mismatches(SampleInstallation::Expected::New);
    QVERIFY2(mismatches.isEmpty(), qPrintable(mismatches));

    if (kind == QLatin1String("link"))
        QCOMPARE(FileContents::read(victim), QByteArray("not the helper's"));
    else if (kind == QLatin1String("dangling"))
        QVERIFY(!QFileInfo::exists(victim));
    const QFileInfo log(logPath);
    QCOMPARE(log.isSymLink(), kind == QLatin1String("link") || kind == QLatin1String("dangling"));
    QCOMPARE(log.isDir(), kind == QLatin1String("directory"));
}

void TestHostileInput::abusedHandoffFileIsReadWithoutHarm()
{
    // Three clients at once, so that the two 15 s time limits run side by side.
    SampleInstallation huge = makeInstallation();
    SampleInstallation nearMisses = makeInstallation();
    SampleInstallation torn = makeInstallation();
    QVERIFY(QFileInfo::exists(torn.clientPath));

    QList<std::shared_ptr<QProcess>> helpers;
    for (const SampleInstallation *installation : {&huge, &nearMisses, &torn}) {
        helpers += runs.start(*installation,
                              installation->helperArguments(
                                      {QStringLiteral("--handoff-file=") + installation->handoff}));
    }
    for (const SampleInstallation *installation : {&huge, &nearMisses, &torn})
        QTRY_COMPARE_WITH_TIMEOUT(installation->handoffRecord(), QByteArray("ready"), 15000);

    // "continue" and then 4 GiB (a sparse file: no disk space, but every byte readable).
    {
        QFile file(huge.handoff);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(file.write("continue"), qint64(8));
        QVERIFY(file.resize(qint64(4) << 30));
    }
    // Close to the confirmation, never it.
    const HandoffRewriter nearMissWriter(
            nearMisses.handoff,
            {{"continue\n"}, {"CONTINUE"}, {"continu"}, {" continue"}, {"contin", "ue\n"}});
    // The confirmation itself, but written in place in two pieces: now and then torn.
    const HandoffRewriter tornWriter(torn.handoff, {{"cont", "inue"}});

    QVERIFY(helpers.at(2)->waitForFinished(30000));
    QCOMPARE(helpers.at(2)->exitCode(), 0);
    QTRY_COMPARE(torn.launches().size(), 1);
    QVERIFY2(!torn.log().contains("Update error"), torn.log().constData());

    for (int i : {0, 1}) {
        const SampleInstallation &installation = i == 0 ? huge : nearMisses;
        QTRY_VERIFY2_WITH_TIMEOUT(installation.log().contains("\nUpdate error: "),
                                  installation.log().constData(), 30000);
        QCOMPARE(installation.log(),
                 "Repository: " + installation.repository.toUtf8()
                         + "\n\nUpdate error: " + NotConfirmed.toUtf8() + '\n');
    }
    // The helper never held the file's content in memory.
    const qint64 peak = ProcessTools::peakMemoryKiB(helpers.at(0)->processId());
    QVERIFY2(peak > 0 && peak < 512 * 1024, qPrintable(QString::number(peak)));
    QCOMPARE(huge.handoffRecord(), "error\n" + NotConfirmed.toUtf8());

    QVERIFY(runs.closeAfterFailures(helpers.mid(0, 2)));
    for (const SampleInstallation *installation : {&huge, &nearMisses}) {
        QCOMPARE(installation->toolRuns(), 0);
        QCOMPARE(installation->launches().size(), 0);
        const QString mismatches = installation->mismatches(SampleInstallation::Expected::Old);
        QVERIFY2(mismatches.isEmpty(), qPrintable(mismatches));
    }
}

void TestHostileInput::oversizedOrDeepComponentsFileIsJudgedSafely_data()
{
    QTest::addColumn<QByteArray>("components");
    QTest::addColumn<bool>("accepted");

    constexpr qsizetype Cap = 4194304;
    // White space after the document element is well-formed: only the size differs.
    const QByteArray valid = componentsOf("2.0.0");
    const QByteArray padding(Cap - valid.size(), ' ');
    QTest::newRow("exactly at the size cap") << valid + padding << true;
    QTest::newRow("one byte over the size cap") << valid + padding + ' ' << false;

    constexpr int Depth = 300000;
    QByteArray opening;
    QByteArray closing;
    for (int i = 0; i < Depth; ++i) {
        opening += "<a>";
        closing += "</a>";
    }
    const QByteArray package
            = "<Package><Name>com.norvatek.lumeral</Name><Version>2.0.0</Version></Package>";
    QTest::newRow("package nested 300000 levels deep") << "<Packages>" + opening + package + closing
                    + "</Packages>\n" << true;
    QTest::newRow("nesting never closed") << "<Packages>" + opening + package << false;
}

void TestHostileInput::oversizedOrDeepComponentsFileIsJudgedSafely()
{
    QFETCH(QByteArray, components);
    QFETCH(bool, accepted);

    SampleInstallation installation = makeInstallation();
    QVERIFY(installation.writeNew(QStringLiteral("components.xml"), components));
    const auto helper = runs.start(
            installation,
            installation.helperArguments({QStringLiteral("--handoff-file=") + installation.handoff,
                                          QStringLiteral("--expected-version=2.0.0")}));
    answerHandoff(installation);

    if (accepted) {
        QVERIFY(helper->waitForFinished(30000));
        QCOMPARE(helper->exitStatus(), QProcess::NormalExit);
        QCOMPARE(helper->exitCode(), 0);
        const QString mismatches = installation.mismatches(SampleInstallation::Expected::New);
        QVERIFY2(mismatches.isEmpty(), qPrintable(mismatches));
    } else {
        QVERIFY(runs.closeAfterFailure(*helper));
        QCOMPARE(installation.handoffRecord(),
                 "error\n"
                         + QStringLiteral("Установщик завершился, но версия 2.0.0 не установлена. "
                                          "Проверьте журнал и повторите обновление.")
                                   .toUtf8());
        // The tool's new components.xml is rolled back with everything else.
        const QString mismatches = installation.mismatches(SampleInstallation::Expected::Old);
        QVERIFY2(mismatches.isEmpty(), qPrintable(mismatches));
    }
    QTRY_COMPARE(installation.launches().size(), 1);
}

void TestHostileInput::oddPathsAndArgumentsArriveIntact_data()
{
    QTest::addColumn<QString>("form");
    QTest::newRow("values after equals signs") << QStringLiteral("equals");
    QTest::newRow("values as separate arguments") << QStringLiteral("separate");
    QTest::newRow("paths relative to the helper's directory") << QStringLiteral("relative");
}

void TestHostileInput::oddPathsAndArgumentsArriveIntact()
{
    QFETCH(QString, form);

    const QString odd = QStringLiteral("-Ветка \"кавычки\" 'апостроф' a=b");
    SampleInstallation installation(root->filePath(odd), QStringLiteral("-Клиент 'q' =1"));
    installation.tmp = installation.base + QStringLiteral("/ temp \"t\" =x");
    installation.directory = installation.base + QStringLiteral("/--Программа 'p' =\"y\"");
    installation.clientPath = installation.directory + QLatin1Char('/')
            + QFileInfo(installation.clientPath).fileName();
    installation.repository = installation.base + QStringLiteral("/-репо =\"r\" 'z'");
    installation.handoff = installation.base + QStringLiteral("/-handoff =1");
    QString error;
    QVERIFY2(installation.create(QString(), error), qPrintable(error));

    const QStringList clientArguments = {
            QStringLiteral("--flag=value"), QStringLiteral("-"),
            QStringLiteral("--"),           QString(),
            QStringLiteral("two words"),    QStringLiteral("\"quoted\""),
            QStringLiteral("'single'"),     QStringLiteral("Привет, мир"),
            QStringLiteral("a=b=c"),        QStringLiteral("-x"),
            QStringLiteral("back\\slash"),  QStringLiteral("line\nfeed"),
    };

    QString tool = QStringLiteral(SAMPLE_TOOL_PATH);
    QString application = installation.clientPath;
    QString directory = installation.directory;
    QString startIn;
    if (form == QLatin1String("relative")) {
        const QString copiedTool = installation.base + QStringLiteral("/tools/-tool 'x' =1");
        QVERIFY(QDir().mkpath(QFileInfo(copiedTool).absolutePath()));
        QVERIFY(QFile::copy(tool, copiedTool));
        startIn = installation.base + QStringLiteral("/tools");
        tool = QFileInfo(copiedTool).fileName();
        application = QStringLiteral("../")
                + QDir(installation.base).relativeFilePath(installation.clientPath);
        directory = QStringLiteral("../")
                + QDir(installation.base).relativeFilePath(installation.directory);
    }
    const QList<QPair<QString, QString>> options = {
            {QStringLiteral("--maintenance-tool"), tool},
            {QStringLiteral("--repository"), installation.repository},
            {QStringLiteral("--application"), application},
            {QStringLiteral("--working-directory"), directory},
            {QStringLiteral("--handoff-file"), installation.handoff},
            {QStringLiteral("--expected-version"), QStringLiteral("2.0.0")},
    };
    QStringList arguments;
    for (const auto &[name, value] : options) {
        if (form == QLatin1String("separate"))
            arguments << name << value;
        else
            arguments << name + QLatin1Char('=') + value;
    }
    for (const QString &argument : clientArguments) {
        if (form == QLatin1String("separate"))
            arguments << QStringLiteral("--application-argument") << argument;
        else
            arguments << QStringLiteral("--application-argument=") + argument;
    }

    const auto helper = runs.start(installation, arguments, startIn);
    answerHandoff(installation);
    QVERIFY(helper->waitForFinished(30000));
    QCOMPARE(helper->exitCode(), 0);

    const QList<QStringList> toolRuns = installation.toolArguments();
    QCOMPARE(toolRuns.size(), 1);
    const QStringList toolArguments = toolRuns.constFirst();
    QCOMPARE(toolArguments.size(), 8);
    QVERIFY2(toolArguments.at(1).startsWith(installation.tmp + QStringLiteral("/Corvane Updater-")),
             qPrintable(toolArguments.at(1)));
    QCOMPARE(toolArguments.at(3), installation.repository);

    QTRY_COMPARE(installation.launches().size(), 1);
    const QJsonObject launch = installation.launches().constFirst();
    QCOMPARE(launch.value(QStringLiteral("arguments")).toVariant().toStringList(), clientArguments);
    QCOMPARE(launch.value(QStringLiteral("program")).toString(),
             QFileInfo(installation.clientPath).canonicalFilePath());
    QCOMPARE(launch.value(QStringLiteral("workingDirectory")).toString(),
             QFileInfo(installation.directory).canonicalFilePath());
    const QString mismatches = installation.mismatches(SampleInstallation::Expected::New);
    QVERIFY2(mismatches.isEmpty(), qPrintable(mismatches));
}

void TestHostileInput::installationHoldingTheTemporaryDirectoryKeepsAWholeLog_data()
{
    QTest::addColumn<QString>("temporaryDirectory");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("inside, failed update") << QStringLiteral("tmp") << 5;
    QTest::newRow("the installation itself, failed update") << QString() << 5;
    QTest::newRow("inside, successful update") << QStringLiteral("tmp") << 0;
}

void TestHostileInput::installationHoldingTheTemporaryDirectoryKeepsAWholeLog()
{
    QFETCH(QString, temporaryDirectory);
    QFETCH(int, exitCode);

    SampleInstallation installation(root->filePath(QStringLiteral("ancestor")),
                                    QStringLiteral("Ancestor%1").arg(++installations));
    installation.tmp = temporaryDirectory.isEmpty()
            ? installation.directory
            : installation.directory + QLatin1Char('/') + temporaryDirectory;
    QString error;
    QVERIFY2(installation.create(QStringLiteral("exitCode=%1").arg(exitCode), error),
             qPrintable(error));
    const QString logRelativePath
            = QDir(installation.directory).relativeFilePath(installation.logPath());

    const auto helper = runs.start(installation,
                                   installation.helperArguments({QStringLiteral("--handoff-file=")
                                                                 + installation.handoff}));
    answerHandoff(installation);
    QTRY_VERIFY_WITH_TIMEOUT(installation.toolRuns() == 1 && installation.finishedToolRuns() == 1,
                             30000);
    // The backup lies beside the installation, outside it, while the update runs.
    const QStringList backups
            = QDir(installation.base)
                      .entryList({QStringLiteral("Kestrova-update-backup-*")}, QDir::Dirs);

    const QByteArray start = "Repository: " + installation.repository.toUtf8()
            + "\nInstallation backup created.\n";
    if (exitCode == 0) {
        QVERIFY(helper->waitForFinished(30000));
        QCOMPARE(helper->exitCode(), 0);
        const QString mismatches
                = installation.mismatches(SampleInstallation::Expected::New, {logRelativePath});
        QVERIFY2(mismatches.isEmpty(), qPrintable(mismatches));
    } else {
        QVERIFY(runs.closeAfterFailure(*helper));
        const QString mismatches
                = installation.mismatches(SampleInstallation::Expected::Old, {logRelativePath});
        QVERIFY2(mismatches.isEmpty(), qPrintable(mismatches));
    }
    // The rollback did not put the log back as it was when the backup was taken.
    const QByteArray log = installation.log();
    QVERIFY2(log.startsWith(start) && log.contains("\nInstalling payload/lib/engine.dat\n"),
             log.constData());
    QCOMPARE(log.endsWith("\nUpdate error: Maintenance tool завершился с кодом 5.\n"),
             exitCode != 0);
    QTRY_COMPARE(installation.launches().size(), 1);

    QCOMPARE(backups.size(), 1);
    QVERIFY(!QFileInfo::exists(installation.base + QLatin1Char('/') + backups.constFirst()));
    QCOMPARE(QDir(installation.tmp)
                     .entryList({QStringLiteral("*.lock"), QStringLiteral("Corvane Updater-*")},
                                QDir::AllEntries | QDir::Hidden),
             QStringList());
}

QTEST_GUILESS_MAIN(TestHostileInput)
#include "tst_hostile_input.moc"
