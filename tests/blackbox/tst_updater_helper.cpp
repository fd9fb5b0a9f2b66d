#include "test_file_io.h"
#include "xvfb_server.h"

#include <QDir>
#include <QDeadlineTimer>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <memory>

namespace {

const QString DialogTitle = QStringLiteral("Обновление Corvane");
const QString ErrorBoxTitle = QStringLiteral("Ошибка обновления Corvane");

// One sample installation with its own temporary directory, repository and handoff file.
struct Setup
{
    QString base;
    QString tmp;
    QString directory;
    QString clientPath;
    QString repository;
    QString handoff;
    QString launches;

    QString logPath() const { return tmp + QStringLiteral("/Corvane-update.log"); }

    QStringList helperArguments(const QStringList &extra = {}) const
    {
        QStringList arguments
                = {QStringLiteral("--maintenance-tool=") + QStringLiteral(SAMPLE_TOOL_PATH),
                   QStringLiteral("--repository=") + repository,
                   QStringLiteral("--application=") + clientPath,
                   QStringLiteral("--working-directory=") + directory};
        return arguments + extra;
    }

    QList<QJsonObject> clientLaunches() const
    {
        QList<QJsonObject> result;
        const QList<QByteArray> lines = readFile(launches).split('\n');
        for (const QByteArray &line : lines) {
            if (!line.isEmpty())
                result.append(QJsonDocument::fromJson(line).object());
        }
        return result;
    }

    // What the helper leaves in its temporary directory besides the log: nothing, once it ended.
    QStringList leftovers() const
    {
        QStringList entries = QDir(tmp).entryList(QDir::AllEntries | QDir::Hidden | QDir::System
                                                  | QDir::NoDotAndDotDot);
        entries.removeAll(QStringLiteral("Corvane-update.log"));
        return entries;
    }
};

} // namespace

class TestUpdaterHelper : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void clientHandsOverAndIsRelaunchedAfterTheUpdate();
    void helperExitsWithZeroAfterSuccess();
    void failedUpdateIsRolledBackAndTheUserClosesTheDialog_data();
    void failedUpdateIsRolledBackAndTheUserClosesTheDialog();
    void secondHelperFailsAtTheLockWithoutTouchingTheFirst();
    void unansweredHandoffAndLingeringClientEndTheWait();

private:
    Setup makeSetup(const QString &name, const QString &repositoryIni = QString());
    QProcessEnvironment environment(const Setup &setup) const;
    std::shared_ptr<QProcess> startHelper(const Setup &setup, const QStringList &arguments);

    XvfbServer server;
    QTemporaryDir runtime;
    std::unique_ptr<QTemporaryDir> root;
    QList<std::shared_ptr<QProcess>> started;
};

void TestUpdaterHelper::initTestCase()
{
    QString error;
    QVERIFY2(server.start(error), qPrintable(error));
    QVERIFY2(runtime.isValid(), qPrintable(runtime.errorString()));
}

void TestUpdaterHelper::init()
{
    root = std::make_unique<QTemporaryDir>();
    QVERIFY2(root->isValid(), qPrintable(root->errorString()));
}

void TestUpdaterHelper::cleanup()
{
    for (const auto &process : std::as_const(started)) {
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(5000);
        }
    }
    started.clear();
    root.reset();
}

Setup TestUpdaterHelper::makeSetup(const QString &name, const QString &repositoryIni)
{
    Setup setup;
    setup.base = root->filePath(name);
    setup.tmp = setup.base + QStringLiteral("/tmp");
    setup.directory = setup.base + QStringLiteral("/Программы/Corvane App");
    // Running copies are found machine-wide by file name: every installation has its own.
    setup.clientPath = setup.directory
            + QStringLiteral("/Corvane-%1.exe")
                      .arg(QString::number(QCoreApplication::applicationPid()) + QLatin1Char('-')
                           + name);
    setup.repository = setup.base + QStringLiteral("/repo sitory");
    setup.handoff = setup.base + QStringLiteral("/handoff");
    setup.launches = setup.base + QStringLiteral("/launches.jsonl");

    QDir().mkpath(setup.tmp);
    QDir().mkpath(setup.directory);
    QFile::copy(QStringLiteral(SAMPLE_CLIENT_PATH), setup.clientPath);
    writeFile(setup.directory + QStringLiteral("/components.xml"),
              "<Packages><Package><Name>com.norvatek.lumeral</Name><Version>1.0.0</Version>"
              "</Package></Packages>\n");
    writeFile(setup.directory + QStringLiteral("/lib/engine.dat"), "engine 1");
    writeFile(setup.directory + QStringLiteral("/lib/nested/deep/asset.bin"),
              QByteArray(70000, 'o'));
    writeFile(setup.directory + QStringLiteral("/obsolete.txt"), "removed by the update");
    writeFile(setup.directory + QStringLiteral("/LOG/session.log"), "skipped area");

    writeFile(setup.repository + QStringLiteral("/components.xml"),
              "<Packages><Package><Name>com.norvatek.lumeral</Name><Version>2.0.0</Version>"
              "</Package></Packages>\n");
    writeFile(setup.repository + QStringLiteral("/payload/lib/engine.dat"), "engine 2");
    writeFile(setup.repository + QStringLiteral("/payload/lib/nested/deep/asset.bin"),
              QByteArray(70000, 'n'));
    writeFile(setup.repository + QStringLiteral("/payload/new-feature.dat"), "added");
    writeFile(setup.repository + QStringLiteral("/repository.ini"),
              (QStringLiteral("[General]\nremove=obsolete.txt\n") + repositoryIni).toUtf8());
    return setup;
}

QProcessEnvironment TestUpdaterHelper::environment(const Setup &setup) const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), server.display());
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.insert(QStringLiteral("TMPDIR"), setup.tmp);
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
    environment.insert(QStringLiteral("SAMPLE_CLIENT_RECORD"), setup.launches);
    return environment;
}

std::shared_ptr<QProcess> TestUpdaterHelper::startHelper(const Setup &setup,
                                                         const QStringList &arguments)
{
    auto helper = std::make_shared<QProcess>();
    helper->setProcessEnvironment(environment(setup));
    helper->setProcessChannelMode(QProcess::ForwardedChannels);
    helper->start(QStringLiteral(UPDATER_HELPER_PATH), arguments);
    started.append(helper);
    return helper;
}

void TestUpdaterHelper::clientHandsOverAndIsRelaunchedAfterTheUpdate()
{
    const Setup setup = makeSetup(QStringLiteral("handover"));
    QProcess client;
    client.setProcessEnvironment(environment(setup));
    client.start(setup.clientPath,
                 {QStringLiteral("update"), QStringLiteral("--helper"),
                  QStringLiteral(UPDATER_HELPER_PATH), QStringLiteral("--maintenance-tool"),
                  QStringLiteral(SAMPLE_TOOL_PATH), QStringLiteral("--repository"),
                  setup.repository, QStringLiteral("--handoff-file"), setup.handoff,
                  QStringLiteral("--expected-version"), QStringLiteral("2.0.0"),
                  QStringLiteral("--argument"), QStringLiteral("--restarted"),
                  QStringLiteral("--argument"), QStringLiteral("second argument")});
    QVERIFY(client.waitForFinished(30000));
    QCOMPARE(client.exitCode(), 0);

    QTRY_COMPARE_WITH_TIMEOUT(setup.clientLaunches().size(), 1, 30000);
    const QJsonObject launch = setup.clientLaunches().constFirst();
    QCOMPARE(launch.value(QStringLiteral("arguments")).toVariant().toStringList(),
             (QStringList {QStringLiteral("--restarted"), QStringLiteral("second argument")}));
    QCOMPARE(launch.value(QStringLiteral("workingDirectory")).toString(), setup.directory);
    QVERIFY(!launch.contains(QStringLiteral("handoffError")));

    QCOMPARE(readFile(setup.directory + QStringLiteral("/lib/engine.dat")), QByteArray("engine 2"));
    QVERIFY(readFile(setup.directory + QStringLiteral("/components.xml")).contains("2.0.0"));
    QVERIFY(!QFileInfo::exists(setup.directory + QStringLiteral("/obsolete.txt")));
    QCOMPARE(readFile(setup.handoff), QByteArray("continue"));

    // Half a second after the relaunch the helper quits: lock and temporary directory go, and the
    // backup directory, which lies beside them, too.
    QTRY_VERIFY2_WITH_TIMEOUT(setup.leftovers().isEmpty(), qPrintable(setup.leftovers().join(u' ')),
                              10000);
    const QByteArray log = readFile(setup.logPath());
    QVERIFY2(log.startsWith("Repository: " + setup.repository.toUtf8()
                            + "\nInstallation backup created.\n"),
             log.constData());
    QVERIFY(log.contains("Installing payload/lib/engine.dat"));
    QVERIFY(!log.contains("Update error"));
}

void TestUpdaterHelper::helperExitsWithZeroAfterSuccess()
{
    const Setup setup = makeSetup(QStringLiteral("exit-zero"));
    // A positional argument is accepted and ignored; a repeated option counts with its last value.
    const auto helper = startHelper(
            setup,
            setup.helperArguments({QStringLiteral("positional"),
                                   QStringLiteral("--expected-version=9.9"),
                                   QStringLiteral("--expected-version=2.0.0"),
                                   QStringLiteral("--application-argument=one"),
                                   QStringLiteral("--application-argument="),
                                   QStringLiteral("--application-argument=-three=3")}));
    QVERIFY(helper->waitForFinished(30000));
    QCOMPARE(helper->exitStatus(), QProcess::NormalExit);
    QCOMPARE(helper->exitCode(), 0);
    QTRY_COMPARE(setup.clientLaunches().size(), 1);
    QCOMPARE(setup.clientLaunches()
                     .constFirst()
                     .value(QStringLiteral("arguments"))
                     .toVariant()
                     .toStringList(),
             (QStringList {QStringLiteral("one"), QString(), QStringLiteral("-three=3")}));
    QVERIFY2(setup.leftovers().isEmpty(), qPrintable(setup.leftovers().join(u' ')));
}

void TestUpdaterHelper::failedUpdateIsRolledBackAndTheUserClosesTheDialog_data()
{
    QTest::addColumn<QString>("closingKey");
    QTest::newRow("Escape") << QStringLiteral("Escape");
    QTest::newRow("the close button") << QStringLiteral("Return");
}

void TestUpdaterHelper::failedUpdateIsRolledBackAndTheUserClosesTheDialog()
{
    QFETCH(QString, closingKey);

    const QString go = root->filePath(QStringLiteral("go"));
    const Setup setup = makeSetup(QStringLiteral("rollback"),
                                  QStringLiteral("exitCode=5\nwaitForFile=%1\n").arg(go));
    const QByteArray oldComponents = readFile(setup.directory + QStringLiteral("/components.xml"));
    const auto helper
            = startHelper(setup,
                          setup.helperArguments({QStringLiteral("--handoff-file=") + setup.handoff,
                                                 QStringLiteral("--application-argument=--old")}));
    QTRY_COMPARE_WITH_TIMEOUT(readFile(setup.handoff), QByteArray("ready"), 15000);
    QVERIFY(writeAtomically(setup.handoff, "continue"));

    // While the tool works, the dialog refuses Escape.
    QTRY_VERIFY_WITH_TIMEOUT(readFile(setup.logPath()).contains("Waiting for"), 15000);
    QVERIFY(pressKeyInWindow(server.display(), DialogTitle, QStringLiteral("Escape"), 15000,
                             helper->processId()));
    QTest::qWait(200);
    QCOMPARE(helper->state(), QProcess::Running);
    QVERIFY(writeFile(go, "go"));

    QVERIFY2(pressKeyUntilClosed(server.display(), ErrorBoxTitle, QStringLiteral("Return"), 20000,
                                 helper->processId()),
             "no error box");
    // The old client is relaunched once the box is closed.
    QTRY_COMPARE(setup.clientLaunches().size(), 1);
    QCOMPARE(setup.clientLaunches()
                     .constFirst()
                     .value(QStringLiteral("arguments"))
                     .toVariant()
                     .toStringList(),
             QStringList {QStringLiteral("--old")});

    const QString message = QStringLiteral("Maintenance tool завершился с кодом 5.");
    QCOMPARE(readFile(setup.handoff), "error\n" + message.toUtf8());
    QVERIFY(readFile(setup.logPath()).endsWith("\nUpdate error: " + message.toUtf8() + '\n'));
    QCOMPARE(readFile(setup.directory + QStringLiteral("/lib/engine.dat")), QByteArray("engine 1"));
    QCOMPARE(readFile(setup.directory + QStringLiteral("/lib/nested/deep/asset.bin")),
             QByteArray(70000, 'o'));
    QCOMPARE(readFile(setup.directory + QStringLiteral("/obsolete.txt")),
             QByteArray("removed by the update"));
    QCOMPARE(readFile(setup.directory + QStringLiteral("/components.xml")), oldComponents);
    QCOMPARE(readFile(setup.directory + QStringLiteral("/new-feature.dat")), QByteArray("added"));
    QCOMPARE(readFile(setup.directory + QStringLiteral("/LOG/session.log")),
             QByteArray("skipped area"));
    QVERIFY(QFileInfo(setup.clientPath).isExecutable());

    QCOMPARE(helper->state(), QProcess::Running);
    QVERIFY(pressKeyUntilClosed(server.display(), DialogTitle, closingKey, 15000,
                                helper->processId()));
    QVERIFY(helper->waitForFinished(15000));
    QCOMPARE(helper->exitCode(), 0);
    QVERIFY2(setup.leftovers().isEmpty(), qPrintable(setup.leftovers().join(u' ')));
}

void TestUpdaterHelper::secondHelperFailsAtTheLockWithoutTouchingTheFirst()
{
    const Setup setup = makeSetup(QStringLiteral("lock"));
    const auto first = startHelper(
            setup, setup.helperArguments({QStringLiteral("--handoff-file=") + setup.handoff}));
    QTRY_COMPARE_WITH_TIMEOUT(readFile(setup.handoff), QByteArray("ready"), 15000);
    const QByteArray firstLog = readFile(setup.logPath());
    QVERIFY(!firstLog.isEmpty());

    // The same client, reached through a symbolic link.
    const QString link = setup.base + QStringLiteral("/client-link.exe");
    QVERIFY(QFile::link(setup.clientPath, link));
    const QString secondHandoff = setup.base + QStringLiteral("/second-handoff");
    const auto second
            = startHelper(setup,
                          {QStringLiteral("--maintenance-tool=") + QStringLiteral(SAMPLE_TOOL_PATH),
                           QStringLiteral("--repository=") + setup.repository,
                           QStringLiteral("--application=") + link,
                           QStringLiteral("--working-directory=") + setup.directory,
                           QStringLiteral("--handoff-file=") + secondHandoff});
    QVERIFY(pressKeyUntilClosed(server.display(), ErrorBoxTitle, QStringLiteral("Return"), 15000,
                                second->processId()));
    QCOMPARE(readFile(secondHandoff),
             "error\n" + QStringLiteral("Обновление этой установки уже выполняется.").toUtf8());
    QCOMPARE(readFile(setup.logPath()), firstLog);
    QVERIFY(pressKeyUntilClosed(server.display(), DialogTitle, QStringLiteral("Escape"), 15000,
                                second->processId()));
    QVERIFY(second->waitForFinished(15000));
    QCOMPARE(second->exitCode(), 0);

    // The first goes on undisturbed once the client answers.
    QVERIFY(writeAtomically(setup.handoff, "continue"));
    QVERIFY(first->waitForFinished(30000));
    QCOMPARE(first->exitCode(), 0);
    QCOMPARE(readFile(setup.directory + QStringLiteral("/lib/engine.dat")), QByteArray("engine 2"));
    QTRY_COMPARE(setup.clientLaunches().size(), 1);
}

void TestUpdaterHelper::unansweredHandoffAndLingeringClientEndTheWait()
{
    // Both real time limits run side by side: the handoff's 15 s and the exit wait's 30 s.
    const Setup unanswered = makeSetup(QStringLiteral("unanswered"));
    const Setup lingering = makeSetup(QStringLiteral("lingering"));

    auto client = std::make_shared<QProcess>();
    client->setProcessEnvironment(environment(lingering));
    client->start(lingering.clientPath,
                  {QStringLiteral("--stay-running-ms"), QStringLiteral("120000")});
    QVERIFY(client->waitForStarted());
    started.append(client);
    QTRY_COMPARE(lingering.clientLaunches().size(), 1);

    QElapsedTimer elapsed;
    elapsed.start();
    const auto waiting = startHelper(
            unanswered,
            unanswered.helperArguments({QStringLiteral("--handoff-file=") + unanswered.handoff}));
    const auto blocked = startHelper(lingering, lingering.helperArguments());

    QVERIFY(pressKeyUntilClosed(server.display(), ErrorBoxTitle, QStringLiteral("Return"), 25000,
                                waiting->processId()));
    QVERIFY(elapsed.elapsed() > 14000);
    QCOMPARE(readFile(unanswered.handoff),
             "error\n"
                     + QStringLiteral("Клиент не подтвердил начало обновления. Повторите попытку.")
                               .toUtf8());

    QVERIFY(pressKeyUntilClosed(server.display(), ErrorBoxTitle, QStringLiteral("Return"), 25000,
                                blocked->processId()));
    QVERIFY(elapsed.elapsed() > 29000);
    const QByteArray pid = QByteArray::number(client->processId());
    const QByteArray log = readFile(lingering.logPath());
    QVERIFY2(log.contains("\nUpdate not started: running client PIDs: " + pid
                          + "\n\nUpdate error: "),
             log.constData());
    QVERIFY(log.contains(" Процессы: " + pid + ".\n"));

    for (const auto &helper : {waiting, blocked}) {
        QVERIFY(pressKeyUntilClosed(server.display(), DialogTitle, QStringLiteral("Escape"), 15000,
                                    helper->processId()));
        QVERIFY(helper->waitForFinished(15000));
        QCOMPARE(helper->exitCode(), 0);
    }
    // Neither relaunched the client: the failures came while it might still run.
    QCOMPARE(unanswered.clientLaunches().size(), 0);
    QCOMPARE(lingering.clientLaunches().size(), 1);
    QCOMPARE(readFile(lingering.directory + QStringLiteral("/lib/engine.dat")),
             QByteArray("engine 1"));
}

QTEST_GUILESS_MAIN(TestUpdaterHelper)
#include "tst_updater_helper.moc"
