#include "update_client.h"
#include "update_handoff.h"
#include "test_files.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>

#include <memory>

#include <signal.h>

Q_DECLARE_METATYPE(HandoffOutcome)

namespace {

// The helper is started detached, so it is no child of ours: ask /proc, where a zombie that
// nobody reaps counts as ended.
bool isRunning(qint64 processId)
{
    QFile status(QStringLiteral("/proc/%1/stat").arg(processId));
    if (!status.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = status.readAll();
    const qsizetype end = line.lastIndexOf(')');
    return end > 0 && line.mid(end + 2, 1) != "Z";
}

// Parsed the way updater_helper parses its command line.
struct HelperOptions
{
    bool parsed = false;
    QString errorText;
    QStringList values[7];
    bool isSet[7] = {};
    QStringList positional;
};

HelperOptions parseLikeTheHelper(const QStringList &arguments)
{
    const QList<QCommandLineOption> options = {
            {QStringLiteral("maintenance-tool"), QStringLiteral("Path to maintenancetool.exe."),
             QStringLiteral("path")},
            {QStringLiteral("repository"), QStringLiteral("Qt IFW update repository URL."),
             QStringLiteral("url")},
            {QStringLiteral("application"), QStringLiteral("Path to Corvane.exe."),
             QStringLiteral("path")},
            {QStringLiteral("working-directory"), QStringLiteral("Application working directory."),
             QStringLiteral("path")},
            {QStringLiteral("handoff-file"), QStringLiteral("Private startup handshake file."),
             QStringLiteral("path")},
            {QStringLiteral("application-argument"),
             QStringLiteral("Argument preserved when restarting the client (repeatable)."),
             QStringLiteral("argument")},
            {QStringLiteral("expected-version"),
             QStringLiteral("Expected installed package version."), QStringLiteral("version")},
    };
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Corvane automatic update helper"));
    parser.addHelpOption();
    parser.addOptions(options);

    HelperOptions result;
    result.parsed = parser.parse(QStringList {QStringLiteral("updater_helper")} + arguments);
    result.errorText = parser.errorText();
    for (int i = 0; i < options.size(); ++i) {
        result.values[i] = parser.values(options.at(i));
        result.isSet[i] = parser.isSet(options.at(i));
    }
    result.positional = parser.positionalArguments();
    return result;
}

} // namespace

class TestUpdateClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void helperReadsEveryValueBackIntact_data();
    void helperReadsEveryValueBackIntact();
    void startHelperEmptiesAnEarlierRecordOnlyWhenItStarts();
    void realHelperUpdatesAndRestartsTheClient();
    void realHelperLeavesAFailureRecordForTheNextStart();

private:
    QString path(const QString &relativePath) const { return dir->filePath(relativePath); }
    UpdateHelperSettings prepareUpdate(const QByteArray &repositoryIni);

    // The temporary directory the test started with; each test points TMPDIR into its own.
    QString baseTemporaryPath;
    std::unique_ptr<QTemporaryDir> dir;
    qint64 helperProcessId = 0;
};

void TestUpdateClient::initTestCase()
{
    baseTemporaryPath = QDir::tempPath();
}

void TestUpdateClient::init()
{
    dir = std::make_unique<QTemporaryDir>(baseTemporaryPath
                                          + QLatin1String("/tst_update_client-XXXXXX"));
    QVERIFY2(dir->isValid(), qPrintable(dir->errorString()));
    QVERIFY(QDir(dir->path()).mkdir(QStringLiteral("tmp")));
    // The helper inherits this: its lock, log, backup and temporary directory stay in the test's.
    qputenv("TMPDIR", QFile::encodeName(path("tmp")));
    qputenv("QT_QPA_PLATFORM", "offscreen");
    helperProcessId = 0;
}

void TestUpdateClient::cleanup()
{
    // A failed update leaves the helper in its message box, which nobody answers here.
    if (helperProcessId > 0 && isRunning(helperProcessId))
        ::kill(pid_t(helperProcessId), SIGKILL);
    QTRY_VERIFY(helperProcessId <= 0 || !isRunning(helperProcessId));
}

void TestUpdateClient::helperReadsEveryValueBackIntact_data()
{
    QTest::addColumn<UpdateHelperSettings>("settings");

    UpdateHelperSettings plain;
    plain.helperPath = QStringLiteral("/opt/corvane/updater_helper");
    plain.maintenanceToolPath = QStringLiteral("/opt/corvane/maintenancetool.exe");
    plain.repositoryUrl = QStringLiteral("https://updates.example/repo");
    plain.applicationPath = QStringLiteral("/opt/corvane/Corvane.exe");
    plain.workingDirectory = QStringLiteral("/opt/corvane");
    QTest::newRow("required only") << plain;

    UpdateHelperSettings full = plain;
    full.handoffFilePath = QStringLiteral("/home/u/.local/share/Corvane/update/handoff-1");
    full.applicationArguments = {QStringLiteral("--restarted")};
    full.expectedVersion = QStringLiteral("2.5.1");
    QTest::newRow("all options") << full;

    UpdateHelperSettings spaced = full;
    spaced.maintenanceToolPath = QStringLiteral("/opt/Program Files/Корване/maintenancetool.exe");
    spaced.applicationPath = QStringLiteral("/opt/Program Files/Корване/Corvane.exe");
    spaced.workingDirectory = QStringLiteral("/opt/Program Files/Корване");
    spaced.handoffFilePath = QStringLiteral("/home/Пользователь/handoff file");
    spaced.applicationArguments = {QStringLiteral("профиль один"), QStringLiteral("  ")};
    QTest::newRow("spaces and Cyrillic") << spaced;

    UpdateHelperSettings dashes = full;
    dashes.repositoryUrl = QStringLiteral("-repository");
    dashes.expectedVersion = QStringLiteral("--help");
    dashes.applicationArguments = {QStringLiteral("--application=/evil"), QStringLiteral("-x"),
                                   QStringLiteral("--"), QStringLiteral("-")};
    QTest::newRow("values starting with dashes") << dashes;

    UpdateHelperSettings equals = full;
    equals.repositoryUrl = QStringLiteral("https://updates.example/repo?channel=beta&x==y");
    equals.applicationPath = QStringLiteral("/opt/a=b/Corvane.exe");
    equals.applicationArguments = {QStringLiteral("key=value"), QStringLiteral("=")};
    QTest::newRow("equals signs") << equals;

    UpdateHelperSettings repeated = full;
    repeated.applicationArguments
            = {QStringLiteral("a"), QString(), QStringLiteral("a"), QString()};
    QTest::newRow("repeated and empty arguments") << repeated;
}

void TestUpdateClient::helperReadsEveryValueBackIntact()
{
    QFETCH(UpdateHelperSettings, settings);

    const HelperOptions options = parseLikeTheHelper(UpdateClient::helperArguments(settings));

    QVERIFY2(options.parsed, qPrintable(options.errorText));
    QVERIFY(options.positional.isEmpty());
    const QString singles[]
            = {settings.maintenanceToolPath, settings.repositoryUrl,   settings.applicationPath,
               settings.workingDirectory,    settings.handoffFilePath, QString(),
               settings.expectedVersion};
    for (int i : {0, 1, 2, 3, 4, 6}) {
        QCOMPARE(options.isSet[i], !singles[i].isEmpty());
        QCOMPARE(options.values[i],
                 singles[i].isEmpty() ? QStringList() : QStringList {singles[i]});
    }
    QCOMPARE(options.values[5], settings.applicationArguments);
}

void TestUpdateClient::startHelperEmptiesAnEarlierRecordOnlyWhenItStarts()
{
    writeFile(path("handoff"), "ready");
    UpdateHelperSettings settings;
    settings.helperPath = QStandardPaths::findExecutable(QStringLiteral("true"));
    QVERIFY(!settings.helperPath.isEmpty());
    settings.maintenanceToolPath = path("tool");
    settings.applicationPath = path("Corvane.exe");
    settings.workingDirectory = dir->path();
    settings.handoffFilePath = path("handoff");

    // The helper would refuse an empty repository only after showing a message box.
    QString error;
    QVERIFY(!UpdateClient::startHelper(settings, error));
    QVERIFY2(error.contains(QLatin1String("repository URL")), qPrintable(error));
    QCOMPARE(readFile(path("handoff")), QByteArray("ready"));

    settings.repositoryUrl = path("repo");
    QVERIFY2(UpdateClient::startHelper(settings, error), qPrintable(error));
    QCOMPARE(readFile(path("handoff")), QByteArray());

    settings.helperPath = path("no such helper");
    QVERIFY(!UpdateClient::startHelper(settings, error));
    QVERIFY2(error.contains(settings.helperPath), qPrintable(error));
}

// A sample installation with a copy of the sample client under a name of its own (the helper
// looks for running copies by file name, machine-wide) and a repository for the sample tool.
UpdateHelperSettings TestUpdateClient::prepareUpdate(const QByteArray &repositoryIni)
{
    const QString clientName
            = QStringLiteral("kit-client-") + QUuid::createUuid().toString(QUuid::Id128).left(12);
    const QString installation = path("Установка Corvane");
    writeFile(installation + QLatin1String("/data.txt"), "old");
    QFile::copy(QStringLiteral(SAMPLE_CLIENT_PATH), installation + QLatin1Char('/') + clientName);
    writeFile(path("repo/payload/data.txt"), "new");
    writeFile(path("repo/components.xml"),
              "<Packages><Package><Name>com.norvatek.lumeral</Name><Version>2.0</Version>"
              "</Package></Packages>");
    if (!repositoryIni.isEmpty())
        writeFile(path("repo/repository.ini"), "[General]\n" + repositoryIni);
    qputenv("SAMPLE_CLIENT_RECORD", QFile::encodeName(path("launches")));

    UpdateHelperSettings settings;
    settings.helperPath = QStringLiteral(UPDATER_HELPER_PATH);
    settings.maintenanceToolPath = QStringLiteral(SAMPLE_TOOL_PATH);
    settings.repositoryUrl = path("repo");
    settings.applicationPath = installation + QLatin1Char('/') + clientName;
    settings.workingDirectory = installation;
    settings.handoffFilePath
            = UpdateHandoff::privateFilePath(settings.applicationPath, path("private"));
    settings.applicationArguments
            = {QStringLiteral("--restarted"), QStringLiteral("-x y"), QString()};
    settings.expectedVersion = QStringLiteral("2.0");
    return settings;
}

void TestUpdateClient::realHelperUpdatesAndRestartsTheClient()
{
    const UpdateHelperSettings settings = prepareUpdate(QByteArray());
    QVERIFY(!settings.handoffFilePath.isEmpty());
    writeFile(settings.handoffFilePath, "error\nlast time");

    QString error;
    QVERIFY2(UpdateClient::startHelper(settings, error, &helperProcessId), qPrintable(error));
    const HandoffResult handoff = UpdateHandoff::answer(settings.handoffFilePath);
    QCOMPARE(handoff.outcome, HandoffOutcome::Confirmed);

    QTRY_VERIFY_WITH_TIMEOUT(readFile(path("launches")).endsWith('\n'), 60000);
    const QJsonObject launch = QJsonDocument::fromJson(readFile(path("launches"))).object();
    QCOMPARE(launch.value(QStringLiteral("program")).toString(), settings.applicationPath);
    QCOMPARE(launch.value(QStringLiteral("workingDirectory")).toString(),
             settings.workingDirectory);
    QCOMPARE(launch.value(QStringLiteral("arguments")).toVariant().toStringList(),
             settings.applicationArguments);
    QCOMPARE(readFile(settings.workingDirectory + QLatin1String("/data.txt")), QByteArray("new"));
    QCOMPARE(readFile(settings.handoffFilePath), QByteArray("continue"));
    // After a success the helper ends by itself.
    QTRY_VERIFY_WITH_TIMEOUT(!isRunning(helperProcessId), 30000);
}

void TestUpdateClient::realHelperLeavesAFailureRecordForTheNextStart()
{
    const UpdateHelperSettings settings = prepareUpdate("exitCode=5\n");

    QString error;
    QVERIFY2(UpdateClient::startHelper(settings, error, &helperProcessId), qPrintable(error));
    QCOMPARE(UpdateHandoff::answer(settings.handoffFilePath).outcome, HandoffOutcome::Confirmed);

    QString message;
    QTRY_VERIFY_WITH_TIMEOUT(UpdateHandoff::readError(settings.handoffFilePath, message), 60000);
    QCOMPARE(message, QStringLiteral("Maintenance tool завершился с кодом 5."));
    QCOMPARE(readFile(settings.workingDirectory + QLatin1String("/data.txt")), QByteArray("old"));

    QVERIFY(UpdateHandoff::clear(settings.handoffFilePath));
    QVERIFY(!UpdateHandoff::readError(settings.handoffFilePath, message));
}

QTEST_GUILESS_MAIN(TestUpdateClient)
#include "tst_update_client.moc"
