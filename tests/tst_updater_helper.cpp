#include "helper_runner.h"
#include "ifw_installation.h"
#include "release_signer.h"
#include "sample_installation.h"
#include "test_files.h"
#include "web_server.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QStorageInfo>
#include <QTest>
#include <QThread>
#include <QUrl>

#include <algorithm>
#include <memory>
#include <utility>

#include <pwd.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using Expected = SampleInstallation::Expected;

// The real helper binary, as a client starts it and a user meets it: on an X server of its own,
// with the sample tool and a copy of the sample client. HelperRunner says how to run another
// build of it, such as the Windows executable through Wine.
class tst_UpdaterHelper : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void commandLineErrorsTouchNothing_data();
    void commandLineErrorsTouchNothing();
    void pathsAndArgumentsArriveIntact_data();
    void pathsAndArgumentsArriveIntact();
    void failedUpdateRefusesEscapeRollsBackAndEndsWithZero_data();
    void failedUpdateRefusesEscapeRollsBackAndEndsWithZero();
    void waitLimitsEndTheUpdateWithoutTouchingIt();
    void secondHelperStopsAtTheLockOfTheFirst_data();
    void secondHelperStopsAtTheLockOfTheFirst();
    void interruptedUpdateIsUndoneBeforeTheNextOne_data();
    void interruptedUpdateIsUndoneBeforeTheNextOne();
    void endOfSessionIsRefusedWhileTheInstallationChanges();
    void fullTemporaryDirectoryDuringTheBackupLeavesTheInstallationAlone();
    void fullInstallationDuringTheRestoreKeepsTheBackup();
    void powerCutLeavesOneWholeVersion_data();
    void powerCutLeavesOneWholeVersion();
    void unflushableFileKeepsTheRecordUntilTheNextUpdate();
    void helperInsideTheInstallationUpdatesAndRollsBack_data();
    void helperInsideTheInstallationUpdatesAndRollsBack();
    void handoffHeldForAMomentStillHandsOver_data();
    void handoffHeldForAMomentStillHandsOver();
    void selfTestKeepsOnlyANewVersionThatStarts_data();
    void selfTestKeepsOnlyANewVersionThatStarts();
    void processesTheToolLeftAreAwaitedThenEnded_data();
    void processesTheToolLeftAreAwaitedThenEnded();
    void clientHandsOverOnlyASignedNewerRelease_data();
    void clientHandsOverOnlyASignedNewerRelease();
    void installationForAllUsersIsUpdatedWithOneElevation_data();
    void installationForAllUsersIsUpdatedWithOneElevation();
    void realToolUpdateEndsAsTheToolSays_data();
    void realToolUpdateEndsAsTheToolSays();
    void realToolCutAfterTheRemovalHeals();
    void realToolInstallationOfRootIsRefusedToAUserBeforeReady();

private:
    SampleInstallation make(const QString &name, const QString &repositoryIni = QString());
    // Starts the helper (program, when given, is another copy of it).
    QProcess *startHelper(const SampleInstallation &installation, const QStringList &extra = {},
                          const QString &program = QString());
    // The installation's client hands the update to helper through the kit, with the handoff.
    QProcess *startThroughTheKit(const SampleInstallation &installation, const QString &helper,
                                 const QStringList &extra);
    void answer(const SampleInstallation &installation, const QByteArray &record = "continue");
    QByteArray log(const SampleInstallation &installation) const
    {
        return readFile(runner.logPath(installation));
    }
    // The file a sample tool with waitForFile waits for. A tool still waiting when the test ends
    // (its helper killed, or the test failed) is told to stop.
    QString goFile()
    {
        toolMayWait = true;
        return root->filePath(u"go"_s);
    }
    // Acts as the user in front of a helper the kit started, which is not the test's child:
    // answers its error box and closes its dialog until no window of it is left.
    bool closeDetachedHelper();
    // Switches UAC on or off in the Wine prefix (the policy EnableLUA); cleanup() switches it on
    // again.
    bool setUserAccountControl(const SampleInstallation &installation, bool on);
    // Holds a file of the installation, lets the waiting tool fail and returns while the rollback's
    // restore tries the held file again (for two seconds): a kill now lands in the restore.
    void holdThroughTheRestore(const SampleInstallation &installation, const QString &held,
                               const QString &go);
    // Gives the installation's user a profile folder whose name makes the path of a copy of the
    // helper in it, where the kit keeps one, `length` characters long as the programs see it;
    // returns the copy's path.
    QString helperCopyInProfile(SampleInstallation &installation, qsizetype length);
    // Checks that the installation's logon entry names it by a short key and nothing else, in a
    // command Windows runs, then starts it as the next logon would.
    void runLogonEntry(const SampleInstallation &installation);
    // runLogonEntry(), then checks what that run leaves: the client started with arguments, the
    // recorded repository in the log, and no entry, record, backup or lock.
    void healAtLogon(const SampleInstallation &installation, const QString &repositoryUrl,
                     const QStringList &arguments);

    // The publisher's key pair and nginx serving the test's folder, for the rows of the client's
    // update check; made by the first row that needs them.
    bool startPublishing(QString &error);
    // Trusts the web server's certificate authority as the client's system does: on Windows in
    // the user's root certificate store, elsewhere with the kit's own setting.
    QStringList trustServerAuthority(QString &error);

    HelperRunner runner {QStringLiteral(UPDATER_HELPER_PATH),
                         QStringLiteral(SAMPLE_MAINTENANCE_TOOL_PATH),
                         QStringLiteral(SAMPLE_CLIENT_PATH)};
    std::unique_ptr<QTemporaryDir> root;
    TestMounts mounts;
    // Where scripts/lazyfs mounted LazyFS for the test, if it did.
    QString lazyfsMount;
    bool toolMayWait = false;
    ReleaseSigner signer;
    ReleaseSigner otherSigner;
    WebServer server;
    QTemporaryDir published;
    bool publishing = false;
    int checkedRows = 0;
    std::unique_ptr<SampleInstallation> uacSwitchedOff;
};

namespace {

constexpr qint64 MiB = 1 << 20;
const QByteArray Busy = "error\n" + u"Обновление этой установки уже выполняется."_s.toUtf8();
const QByteArray NotConfirmed
        = u"Клиент не подтвердил начало обновления. Повторите попытку."_s.toUtf8();

// Runs scripts/lazyfs, which UPDATER_LAZYFS names, with arguments; empty when it succeeded, else
// what it said.
QString lazyfs(const QStringList &arguments)
{
    QProcess script;
    script.setProcessChannelMode(QProcess::MergedChannels);
    script.start(qEnvironmentVariable("UPDATER_LAZYFS"), arguments);
    const bool done = script.waitForFinished(90000) && script.exitStatus() == QProcess::NormalExit
            && script.exitCode() == 0;
    return done ? QString() : u"scripts/lazyfs failed: "_s + QString::fromUtf8(script.readAll());
}

// The failure record of an installation the helper may not change, and cannot ask to.
QByteArray rightsRefusal(const QString &installationDirectory)
{
    return u"Для обновления Corvane нужны права администратора: папку установки %1 может изменять "
           "только администратор."_s.arg(installationDirectory)
                   .toUtf8();
}

QStringList launchArguments(const SampleInstallation &installation)
{
    return installation.launches().value(0).value(u"arguments"_s).toVariant().toStringList();
}

// What the client of the logon rows is restarted with: a long command line's worth.
const QStringList FiveArguments
        = {u"--again"_s, QString(), u"--profile=Пётр Иванов"_s,
           u"C:\\Users\\Пётр Иванов\\Документы\\отчёт \"итог\".txt"_s, u"--note=100% $HOME `id`"_s};

QStringList asClientArguments(const QStringList &arguments)
{
    QStringList options;
    for (const QString &argument : arguments)
        options.append(u"--application-argument="_s + argument);
    return options;
}

// A file URL of 200 characters for directory: a symbolic link with a long name in base.
QString longRepositoryUrl(const QString &base, const QString &directory)
{
    const QString link = base + u"/repository-"_s;
    const QString url = QUrl::fromLocalFile(link).toString();
    const QString padded = link + QString(std::max<qsizetype>(0, 200 - url.size()), u'r');
    return QFile::link(directory, padded) ? QUrl::fromLocalFile(padded).toString() : QString();
}

} // namespace

void tst_UpdaterHelper::initTestCase()
{
    QString error;
    QVERIFY2(runner.startServer(error), qPrintable(error));
}

void tst_UpdaterHelper::init()
{
    root = std::make_unique<QTemporaryDir>();
    QVERIFY2(root->isValid(), qPrintable(root->errorString()));
}

void tst_UpdaterHelper::cleanup()
{
    if (uacSwitchedOff)
        setUserAccountControl(*uacSwitchedOff, true);
    runner.endAll();
    mounts.releaseAll();
    if (!std::exchange(lazyfsMount, QString()).isEmpty())
        lazyfs({u"unmount"_s, root->filePath(u"mounted"_s)});
    if (std::exchange(toolMayWait, false) && replaceFile(root->filePath(u"go"_s), "stop"))
        QThread::msleep(200); // it looks every 20 ms, and the file goes with the test's folder
    root.reset();
}

SampleInstallation tst_UpdaterHelper::make(const QString &name, const QString &repositoryIni)
{
    SampleInstallation installation = runner.installation(root->filePath(name), name);
    QString error;
    if (!installation.create(runner.client, repositoryIni, error))
        qWarning("%s", qPrintable(error));
    return installation;
}

QProcess *tst_UpdaterHelper::startHelper(const SampleInstallation &installation,
                                         const QStringList &extra, const QString &program)
{
    return runner.start(installation, installation.helperArguments(runner.tool, extra), QString(),
                        program.isEmpty() ? runner.helper : program);
}

QProcess *tst_UpdaterHelper::startThroughTheKit(const SampleInstallation &installation,
                                                const QString &helper, const QStringList &extra)
{
    return runner.start(installation,
                        QStringList {u"update"_s, u"--helper="_s + helper,
                                     u"--maintenance-tool="_s + runner.tool,
                                     u"--repository="_s + installation.repository,
                                     u"--handoff-file="_s + installation.handoff}
                                + extra);
}

void tst_UpdaterHelper::answer(const SampleInstallation &installation, const QByteArray &record)
{
    QTRY_COMPARE_WITH_TIMEOUT(readFile(installation.handoff), QByteArray("ready"), 15000);
    QVERIFY(replaceFile(installation.handoff, record));
}

bool tst_UpdaterHelper::setUserAccountControl(const SampleInstallation &installation, bool on)
{
    QProcess *reg = runner.start(
            installation,
            {u"add"_s, u"HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System"_s,
             u"/v"_s, u"EnableLUA"_s, u"/t"_s, u"REG_DWORD"_s, u"/d"_s, on ? u"1"_s : u"0"_s,
             u"/f"_s},
            QString(), u"reg"_s);
    const bool done = reg->waitForFinished(30000) && reg->exitCode() == 0;
    uacSwitchedOff = on ? nullptr : std::make_unique<SampleInstallation>(installation);
    return done;
}

bool tst_UpdaterHelper::closeDetachedHelper()
{
    QDeadlineTimer deadline(40000);
    while (runner.pressKey(HelperRunner::ErrorBoxTitle, u"Return"_s)
           || runner.pressKey(HelperRunner::DialogTitle, u"Escape"_s)) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(500);
    }
    return true;
}

void tst_UpdaterHelper::commandLineErrorsTouchNothing_data()
{
    // "tool", "repository", "application", "directory" and "handoff" stand for those options.
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("help") << u"--help"_s << 0;
    QTest::newRow("unknown option") << u"--no-such-option tool"_s << 1;
    QTest::newRow("option without its value") << u"tool --repository"_s << 1;
    QTest::newRow("maintenance tool missing") << u"repository application directory handoff"_s << 2;
    QTest::newRow("repository missing") << u"tool application directory handoff"_s << 2;
    QTest::newRow("application missing") << u"tool repository directory handoff"_s << 2;
    QTest::newRow("working directory missing") << u"tool repository application handoff"_s << 2;
    QTest::newRow("repository emptied after a value")
            << u"tool repository --repository= application directory handoff"_s << 2;
    QTest::newRow("nothing at all") << u""_s << 2;
    // The logon run is told an installation's short key and nothing else; any other value, with
    // or without the other options, counts as missing.
    QTest::newRow("logon run without a key of its form")
            << u"--recover-only=0123456789abcdef tool repository application directory"_s << 2;
}

void tst_UpdaterHelper::commandLineErrorsTouchNothing()
{
    QFETCH(QString, arguments);
    QFETCH(int, exitCode);
    const SampleInstallation installation = make(u"CommandLine"_s);
    const QStringList options = installation.helperArguments(
            runner.tool, {u"--handoff-file="_s + installation.handoff});
    const QStringList names
            = {u"tool"_s, u"repository"_s, u"application"_s, u"directory"_s, u"handoff"_s};
    QStringList command = arguments.split(u' ', Qt::SkipEmptyParts);
    for (QString &argument : command)
        argument = options.value(names.indexOf(argument), argument);

    // A missing option is reported in a box titled like the dialog, answered with Return.
    QProcess *helper = runner.start(installation, command, QString(), runner.helper);
    QVERIFY(runner.closeAfterFailure({helper}, u"Return"_s, exitCode));
    QCOMPARE(QDir(runner.temporaryDirectory(installation))
                     .isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             true);
    QVERIFY(!QFileInfo::exists(installation.handoff));
}

void tst_UpdaterHelper::pathsAndArgumentsArriveIntact_data()
{
    QTest::addColumn<bool>("throughTheClient");
    QTest::newRow("handed over by the client through the kit") << true;
    QTest::newRow("tool and client relative to the helper's directory") << false;
}

void tst_UpdaterHelper::pathsAndArgumentsArriveIntact()
{
    QFETCH(bool, throughTheClient);
    // Names that a command line could split or take for options, all legal on Windows too.
    SampleInstallation installation = runner.installation(
            root->filePath(u"-Ветка 'апостроф' a=b %TEMP% & (1)"_s), u"-Клиент 'q' =1"_s);
    installation.directory = installation.base + u"/--Программа 'p' =y"_s;
    installation.clientPath
            = installation.directory + u'/' + QFileInfo(installation.clientPath).fileName();
    installation.repository = installation.base + u"/-репо =r 'z'"_s;
    installation.handoff = installation.base + u"/-handoff =1"_s;
    QString error;
    QVERIFY2(installation.create(runner.client, QString(), error), qPrintable(error));
    const QStringList arguments
            = {u"--flag=value"_s, u"-"_s,          u"--"_s,          QString(),      u"two words"_s,
               u"\"quoted\""_s,   u"'single'"_s,   u"Привет, мир"_s, u"a=b=c"_s,     u"-x"_s,
               u"back\\slash"_s,  u"trailing\\"_s, u"line\nfeed"_s,  u"a \"b c\""_s, u"d\\\"e"_s};

    if (throughTheClient) {
        QStringList extra = {u"--expected-version=2.0.0"_s};
        for (const QString &argument : arguments)
            extra += u"--argument="_s + argument;
        QProcess *client = startThroughTheKit(installation, runner.helper, extra);
        QVERIFY(client->waitForFinished(30000));
        QCOMPARE(client->exitCode(), 0);
    } else {
        const QString tools = installation.base + u"/tools"_s;
        const QString tool = u"-tool 'x' =1"_s + runner.executableSuffix;
        QVERIFY(QDir().mkpath(tools) && QFile::copy(runner.tool, tools + u'/' + tool));
        SampleInstallation relative = installation;
        relative.clientPath
                = u"../"_s + QDir(installation.base).relativeFilePath(installation.clientPath);
        QStringList extra
                = {u"--handoff-file="_s + installation.handoff, u"--expected-version=2.0.0"_s};
        for (const QString &argument : arguments)
            extra += u"--application-argument="_s + argument;
        QProcess *helper = runner.start(installation, relative.helperArguments(tool, extra), tools,
                                        runner.helper);
        answer(installation);
        QVERIFY(helper->waitForFinished(30000));
        QCOMPARE(helper->exitCode(), 0);
    }

    QTRY_COMPARE_WITH_TIMEOUT(installation.launches().size(), 1, 30000);
    QCOMPARE(launchArguments(installation), arguments);
    const QJsonObject launch = installation.launches().constFirst();
    QCOMPARE(launch.value(u"program"_s).toString(),
             runner.asProgramsSeeIt(installation.clientPath));
    QCOMPARE(launch.value(u"workingDirectory"_s).toString(),
             runner.asProgramsSeeIt(installation.directory));
    VERIFY_FILES(installation, Expected::New);
    const QStringList toolArguments = installation.toolRuns().value(0);
    QVERIFY2(toolArguments.value(1).startsWith(
                     runner.asProgramsSeeIt(runner.temporaryDirectory(installation))
                     + u"/Corvane Updater-"_s),
             qPrintable(toolArguments.value(1)));
    QCOMPARE(toolArguments.value(3), installation.repository);
    QCOMPARE(readFile(installation.handoff), QByteArray("continue"));
    QVERIFY2(log(installation)
                             .startsWith("Repository: " + installation.repository.toUtf8()
                                         + "\nInstallation backup created.\n")
                     && !log(installation).contains("Update error"),
             log(installation).constData());
    // The helper ends by itself half a second after the relaunch, its lock and directories gone.
    QTRY_VERIFY2_WITH_TIMEOUT(runner.leftovers(installation).isEmpty(),
                              qPrintable(runner.leftovers(installation).join(u' ')), 10000);
}

void tst_UpdaterHelper::failedUpdateRefusesEscapeRollsBackAndEndsWithZero_data()
{
    // planted: a file of the installation, with its permission bits, that the update changes.
    // Read-only is the Windows attribute too, which Wine keeps as a file without write bits.
    // firstRun: what the tool does in a first run before the failing one.
    QTest::addColumn<QString>("closeKey");
    QTest::addColumn<QString>("planted");
    QTest::addColumn<unsigned>("mode");
    QTest::addColumn<QString>("firstRun");
    const QString deep
            = QStringList(5, u"a-folder-name-that-takes-the-path-past-260-characters"_s).join(u'/')
            + u"/deep.txt"_s;
    QTest::newRow("closed with Escape") << u"Escape"_s << QString() << 0u << QString();
    QTest::newRow("closed with its button") << u"Return"_s << QString() << 0u << QString();
    QTest::newRow("a path past 260 characters") << u"Escape"_s << deep << 0644u << QString();
    QTest::newRow("a read-only file") << u"Escape"_s << u"read-only.txt"_s << 0444u << QString();
    QTest::newRow("the second run of a tool that asked for one")
            << u"Escape"_s << QString() << 0u << u"exitCode=6\nwaitForFile="_s;
}

void tst_UpdaterHelper::failedUpdateRefusesEscapeRollsBackAndEndsWithZero()
{
    QFETCH(QString, closeKey);
    QFETCH(QString, planted);
    QFETCH(unsigned, mode);
    QFETCH(QString, firstRun);
    const QString go = goFile();
    SampleInstallation installation
            = make(u"Rollback"_s, u"exitCode=5\nwaitForFile="_s + go + u"\n[run1]\n"_s + firstRun);
    const QString plantedPath = installation.directory + u'/' + planted;
    if (!planted.isEmpty())
        QVERIFY(installation.writeOld(planted, "old") && installation.writeNew(planted, "new")
                && setFileMode(plantedPath, mode));
    QProcess *helper = startHelper(
            installation,
            {u"--handoff-file="_s + installation.handoff, u"--application-argument=--old"_s});
    answer(installation);
    QTRY_VERIFY_WITH_TIMEOUT(log(installation).contains("Waiting for"), 15000);
    if (planted.isEmpty())
        QVERIFY(runner.savePicture(HelperRunner::DialogTitle, u"updating"_s));
    QVERIFY(runner.pressKey(HelperRunner::DialogTitle, u"Escape"_s));
    QTest::qWait(300);
    QCOMPARE(helper->state(), QProcess::Running);
    QVERIFY(writeFile(go, "go"));
    if (planted.isEmpty())
        QTRY_VERIFY_WITH_TIMEOUT(runner.savePicture(HelperRunner::ErrorBoxTitle, u"error-box"_s),
                                 15000);

    QVERIFY(runner.closeAfterFailure({helper}, closeKey));
    const QByteArray message = u"Maintenance tool завершился с кодом 5."_s.toUtf8();
    QCOMPARE(readFile(installation.handoff), "error\n" + message);
    QVERIFY(log(installation).endsWith("\nUpdate error: " + message + '\n'));
    VERIFY_FILES(installation, Expected::Old);
    QCOMPARE(installation.toolRuns().size(), firstRun.isEmpty() ? 1 : 2);
    if (!planted.isEmpty())
        QCOMPARE(fileMode(plantedPath) & 0222, mode & 0222);
    QTRY_COMPARE(launchArguments(installation), QStringList {u"--old"_s});
    QCOMPARE(runner.leftovers(installation), QStringList());
}

void tst_UpdaterHelper::waitLimitsEndTheUpdateWithoutTouchingIt()
{
    // Side by side, so that each limit is waited out once: clients that give no answer or a
    // wrong one, and a client whose two copies keep running.
    const QList<QByteArray> answers = {QByteArray(), "continue\n", "CONTINUE", "continueX"};
    QList<SampleInstallation> installations;
    for (qsizetype i = 0; i <= answers.size(); ++i)
        installations += make(u"Limit%1"_s.arg(i));
    const SampleInstallation &running = installations.constLast();
    runner.start(running, {u"--stay-running-ms"_s, u"120000"_s});
    // A copy of the client elsewhere whose name differs only in letter case (CORVANE.EXE) is a
    // copy of it all the same.
    const QString upperCase
            = running.base + u'/' + QFileInfo(running.clientPath).fileName().toUpper();
    QVERIFY(QFile::copy(running.clientPath, upperCase));
    runner.start(running, {u"--stay-running-ms"_s, u"120000"_s}, QString(), upperCase);
    // Two client starts take more than QTRY's 5 s under Wine on a busy machine.
    QTRY_COMPARE_WITH_TIMEOUT(running.launches().size(), 2, 30000);

    QElapsedTimer elapsed;
    elapsed.start();
    QList<QProcess *> helpers = {startHelper(running)};
    for (qsizetype i = 0; i < answers.size(); ++i)
        helpers += startHelper(installations.at(i),
                               {u"--handoff-file="_s + installations.at(i).handoff});
    for (qsizetype i = 1; i < answers.size(); ++i)
        answer(installations.at(i), answers.at(i));
    for (qsizetype i = 0; i < answers.size(); ++i)
        QTRY_COMPARE_WITH_TIMEOUT(readFile(installations.at(i).handoff), "error\n" + NotConfirmed,
                                  20000);
    QVERIFY2(elapsed.elapsed() >= 14900, qPrintable(QString::number(elapsed.elapsed())));
    QTRY_VERIFY_WITH_TIMEOUT(log(running).contains("\nUpdate error: "), 40000);
    QVERIFY2(elapsed.elapsed() >= 29900, qPrintable(QString::number(elapsed.elapsed())));
    QVERIFY(runner.closeAfterFailure(helpers));

    // The copies' process ids as they recorded them themselves, in any order.
    QStringList processIds;
    for (const QJsonObject &launch : running.launches())
        processIds += QString::number(launch.value(u"pid"_s).toInteger());
    const QRegularExpressionMatch listed
            = QRegularExpression(u"\nUpdate not started: running client PIDs: (.*)\n"_s)
                      .match(QString::fromUtf8(log(running)));
    QStringList logged = listed.captured(1).split(u", "_s);
    logged.sort();
    processIds.sort();
    QCOMPARE(logged, processIds);
    QCOMPARE(log(running),
             "Repository: " + running.repository.toUtf8() + listed.captured(0).toUtf8()
                     + u"\nUpdate error: Kestrova ещё запущен. Закройте все его окна, включая "
                       "тестовую версию, и повторите обновление. Процессы: %1.\n"_s
                               .arg(listed.captured(1))
                               .toUtf8());
    for (const SampleInstallation &installation : std::as_const(installations)) {
        if (&installation != &running)
            QCOMPARE(log(installation),
                     "Repository: " + installation.repository.toUtf8()
                             + "\n\nUpdate error: " + NotConfirmed + '\n');
        QCOMPARE(installation.toolRuns().size(), 0);
        QCOMPARE(installation.launches().size(), &installation == &running ? 2 : 0);
        VERIFY_FILES(installation, Expected::Old);
    }
}

void tst_UpdaterHelper::secondHelperStopsAtTheLockOfTheFirst_data()
{
    QTest::addColumn<bool>("otherLetterCase");
    QTest::newRow("through a parent's parent, and relative") << false;
    QTest::newRow("in other letter case") << true;
}

void tst_UpdaterHelper::secondHelperStopsAtTheLockOfTheFirst()
{
    QFETCH(bool, otherLetterCase);
    if (otherLetterCase && !runner.runsWindowsPrograms())
        QSKIP("Linux: file names are case-sensitive, a path in other letter case is another file");
    const SampleInstallation installation = make(u"Locked"_s);
    QProcess *first = startHelper(installation, {u"--handoff-file="_s + installation.handoff});
    QTRY_COMPARE_WITH_TIMEOUT(readFile(installation.handoff), QByteArray("ready"), 15000);
    // One lock per installation, named after its client however the path is spelled.
    QCOMPARE(runner.leftovers(installation).filter(u".lock"_s),
             QStringList {runner.lockFileName(installation.clientPath)});
    const QByteArray firstLog = log(installation);

    const QString name = QFileInfo(installation.clientPath).fileName();
    const QStringList spellings = otherLetterCase
            ? QStringList {installation.directory + u'/' + name.toUpper()}
            : QStringList {installation.directory + u"/lib/../"_s + name, u"./"_s + name};
    QList<QProcess *> others;
    for (const QString &spelling : spellings) {
        SampleInstallation other = installation;
        other.clientPath = spelling;
        other.handoff = installation.base + u"/handoff-%1"_s.arg(others.size());
        others += runner.start(
                other, other.helperArguments(runner.tool, {u"--handoff-file="_s + other.handoff}),
                installation.directory, runner.helper);
    }
    QVERIFY(runner.closeAfterFailure(others));
    for (qsizetype i = 0; i < others.size(); ++i)
        QCOMPARE(readFile(installation.base + u"/handoff-%1"_s.arg(i)), Busy);
    QCOMPARE(log(installation), firstLog);

    QVERIFY(replaceFile(installation.handoff, "continue"));
    QVERIFY(first->waitForFinished(30000));
    QCOMPARE(first->exitCode(), 0);
    QCOMPARE(installation.toolRuns().size(), 1);
    QTRY_COMPARE(installation.launches().size(), 1);
    VERIFY_FILES(installation, Expected::New);
}

void tst_UpdaterHelper::interruptedUpdateIsUndoneBeforeTheNextOne_data()
{
    // Where the first helper is killed (the tool waits at its waitPoint for the test), and what
    // happens afterwards: the next helper started directly or by the client, or the record of the
    // update in progress or its backup spoiled first.
    QTest::addColumn<QString>("point");
    QTest::addColumn<QString>("afterwards");
    QTest::newRow("during the backup") << u"backup"_s << QString();
    QTest::newRow("before the tool changed anything") << u"start"_s << QString();
    QTest::newRow("in the middle of a file") << u"midFile"_s << QString();
    QTest::newRow("after the tool, before the version check") << u"end"_s << QString();
    // The user starts the client, which finds the update pending and hands it over at once.
    QTest::newRow("after the tool, then the client started") << u"end"_s << u"client"_s;
    QTest::newRow("during the restore of a failed update") << u"restore"_s << QString();
    // The first run asked for another and changed every file; the next helper's tool does too.
    QTest::newRow("in the second run of the tool") << u"second run"_s << QString();
    QTest::newRow("its backup then missing") << u"end"_s << u"backup"_s;
    QTest::newRow("its record then damaged") << u"end"_s << u"record"_s;
    QTest::newRow("a saved copy then cut short") << u"end"_s << u"copy"_s;
    QTest::newRow("a file then held for good") << u"end"_s << u"held"_s;
    // Planted by another user in a shared temporary directory: nothing of it is copied.
    QTest::newRow("its record then another user's") << u"end"_s << u"record owner"_s;
    QTest::newRow("its backup then another user's") << u"end"_s << u"backup owner"_s;
    // As an installer that removes every old file before it unpacks the new ones: the client is
    // gone, and a helper is started again by hand, or by the logon entry. At logon the helper
    // runs from a copy in a long profile folder, its path 199 characters long (the longest a
    // short command fits) or past that limit; or the record is written as earlier helpers did,
    // which the logon run refuses, and a helper started by hand then restores from.
    QTest::newRow("after the old files were removed, by hand") << u"removed"_s << QString();
    QTest::newRow("after the old files were removed, by hand with a handoff")
            << u"removed"_s << u"handoff"_s;
    QTest::newRow("after the old files were removed, at the next logon")
            << u"removed"_s << u"logon"_s;
    QTest::newRow("after the old files were removed, at the next logon, from a folder past "
                  "the limit")
            << u"removed"_s << u"logon past the limit"_s;
    QTest::newRow("after the old files were removed, its record in the earlier format, at the "
                  "next logon, then by hand")
            << u"removed"_s << u"logon earlier format"_s;
    // The new client hangs in its self-test, and goes with its helper.
    QTest::newRow("during the self-test of the new version") << u"selfTest"_s << QString();
}

void tst_UpdaterHelper::interruptedUpdateIsUndoneBeforeTheNextOne()
{
    QFETCH(QString, point);
    QFETCH(QString, afterwards);
    const bool atLogon = afterwards.startsWith(u"logon");
    if (afterwards.endsWith(u" owner") && runner.runsWindowsPrograms())
        QSKIP("Windows: a file's owner is not compared (Wine reports none)");
    if (atLogon && !runner.runsWindowsPrograms())
        VERIFY_PROGRAMS(u"dex"_s);
    const QString go = goFile();
    const bool failing = point == u"restore";
    const bool removed = point == u"removed";
    const bool selfTest = point == u"selfTest";
    const QString twoRuns = point == u"second run" ? u"exitCode=6\n[run2]\n"_s : QString();
    const QString waitPoint = QStringList {u"start"_s, u"midFile"_s, u"removed"_s}.contains(point)
            ? point
            : u"end"_s;
    SampleInstallation installation
            = make(u"Interrupted"_s,
                   twoRuns
                           + u"exitCode=%1\nwaitForFile=%2\nwaitPoint=%3\nremoveOldFiles=%4"_s
                                     .arg(failing ? 5 : 0)
                                     .arg(go, waitPoint, removed ? u"true"_s : u"false"_s));
    if (removed) { // then the payload is the whole new version
        const QString client = QFileInfo(installation.clientPath).fileName();
        QVERIFY(installation.writeNew(client, readFile(installation.clientPath))
                && setFileMode(installation.repository + u"/payload/"_s + client, 0755)
                && installation.writeNew(u"readme.txt"_s,
                                         readFile(installation.directory + u"/readme.txt"_s)));
    }
    const QDir tmp(runner.temporaryDirectory(installation));
    const QStringList kept = {u"Kestrova-update-backup-*"_s, u"*.journal"_s};
    if (point == u"backup") // large enough that the copy lasts a while on a fast disk
        QVERIFY(installation.writeOld(u"data/big.bin"_s, QByteArray(32 * MiB, 'b')));
    if (selfTest)
        QVERIFY(installation.writeNew(u"sample-self-test.txt"_s, "hang"));

    SampleInstallation started = installation;
    QStringList arguments = {u"--again"_s};
    QString program;
    if (atLogon) {
        const qsizetype length = afterwards == u"logon past the limit" ? 240 : 199;
        program = helperCopyInProfile(installation, length);
        QCOMPARE(runner.asProgramsSeeIt(program).size(), length);
        started = installation;
        started.repository = longRepositoryUrl(installation.base, installation.repository);
        QCOMPARE(started.repository.size(), 200);
        arguments = FiveArguments;
    }
    QStringList firstOptions = asClientArguments(arguments);
    if (selfTest)
        firstOptions.append(u"--self-test-argument=--self-test"_s);
    QProcess *first = startHelper(started, firstOptions, program);
    if (point == u"backup") {
        QDeadlineTimer deadline(30000);
        while (tmp.entryList(kept).isEmpty() && !deadline.hasExpired())
            QThread::usleep(500);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(log(installation).contains("Waiting for"), 20000);
    }
    if (selfTest) {
        QVERIFY(writeFile(go, "go"));
        QTRY_COMPARE_WITH_TIMEOUT(launchArguments(installation), QStringList {u"--self-test"_s},
                                  30000);
    }
    const QString held = installation.directory + u"/lib/nested/asset.bin"_s;
    if (failing) {
        holdThroughTheRestore(installation, held, go);
        if (QTest::currentTestFailed())
            return;
    }
    first->kill();
    QVERIFY(first->waitForFinished(10000));
    QVERIFY2(!log(installation)
                      .contains(point == u"backup" ? "Installation backup created."
                                                   : "Update error"),
             "killed too late");
    mounts.releaseAll();
    // What the kill leaves where a save file has a name (Windows): the first bytes of the copy.
    // A file named alike that holds other bytes is the installation's own.
    if (failing) {
        QVERIFY(writeFile(held + u".qedHrj"_s, QByteArray(4096, 'o')));
        QVERIFY(installation.writeOld(u"lib/nested/asset.bin.Config"_s, "ox"));
    }
    if (point != u"backup") {
        // The tool ended with its helper: told to stop now, it records nothing more.
        QVERIFY(replaceFile(go, "stop"));
        QTest::qWait(1000);
        QCOMPARE(readFile(installation.toolRecord).count("finished"),
                 failing || selfTest || !twoRuns.isEmpty() ? 1 : 0);
    }
    const QStringList backups = tmp.entryList({u"Kestrova-update-backup-*"_s});
    const QStringList journals = tmp.entryList({u"*.journal"_s});
    QCOMPARE(backups.size(), 1);
    QCOMPARE(journals.size(), point == u"backup" ? 0 : 1);
    // It holds the client's arguments: in a shared /tmp, for the user alone.
    if (!runner.runsWindowsPrograms() && !journals.isEmpty())
        QCOMPARE(fileMode(tmp.filePath(journals.constFirst())), 0600u);
    QCOMPARE(runner.logonEntries(installation).size(), point == u"backup" ? 0 : 1);
    QCOMPARE(QFileInfo::exists(installation.clientPath), !removed);
    const QString backup = tmp.filePath(backups.value(0));
    if (afterwards == u"backup")
        QVERIFY(QDir(backup).removeRecursively());
    else if (afterwards == u"record")
        QVERIFY(writeFile(tmp.filePath(journals.value(0)), "{\"files\": ["));
    else if (afterwards == u"copy")
        QVERIFY(writeFile(backup + u"/components.xml"_s, "<"));
    else if (afterwards == u"held")
        QVERIFY2(mounts.bind(held, held), "a bind mount needs root");
    else if (afterwards.endsWith(u" owner"))
        QCOMPARE(::chown(QFile::encodeName(afterwards == u"record owner"
                                                   ? tmp.filePath(journals.value(0))
                                                   : backup),
                         4242, 4242),
                 0);

    QVERIFY(QFile::remove(runner.logPath(installation)));
    QVERIFY(writeFile(installation.repository + u"/repository.ini"_s,
                      "[General]\nstartDelayMs=3000\n" + twoRuns.toUtf8() + "exitCode=0\n"));
    if (afterwards == u"logon earlier format") {
        // Earlier helpers kept the run's options in the entry, not in the record.
        const QString journal = tmp.filePath(journals.value(0));
        const QJsonObject record = QJsonDocument::fromJson(readFile(journal)).object();
        QJsonObject earlier {{u"format"_s, 1}};
        for (const QString &key : {u"installation"_s, u"backup"_s, u"files"_s})
            earlier.insert(key, record.value(key));
        QVERIFY(writeFile(journal, QJsonDocument(earlier).toJson()));
        const QStringList installed = filesBelow(installation.directory);
        runLogonEntry(installation);
        if (QTest::currentTestFailed())
            return;
        QTRY_VERIFY_WITH_TIMEOUT(log(installation).contains("Update error: "), 60000);
        QVERIFY(closeDetachedHelper());
        QVERIFY2(log(installation)
                         .endsWith(u"отменить его при входе в систему нельзя: его запись %1 "
                                   "оставлена прежней версией программы обновления. Файлы "
                                   "установки не изменены; запустите Corvane, чтобы восстановить "
                                   "его, или переустановите Corvane.\n"_s
                                           .arg(runner.asProgramsSeeIt(journal))
                                           .toUtf8()),
                 log(installation).constData());
        QCOMPARE(filesBelow(installation.directory), installed);
        QCOMPARE(readFile(journal), QJsonDocument(earlier).toJson());
        QCOMPARE(tmp.entryList(kept).size(), 2);
        QVERIFY(installation.launches().isEmpty());
    } else if (atLogon) {
        // The old version back, and the update left to the client's next check.
        healAtLogon(installation, started.repository, arguments);
        VERIFY_FILES(installation, Expected::Old);
        QCOMPARE(installation.toolRuns().size(), 1);
        return;
    }
    const bool throughTheClient = afterwards == u"client";
    QStringList options = {u"--expected-version=2.0.0"_s};
    if (afterwards == u"handoff")
        options.append(u"--handoff-file="_s + installation.handoff);
    QProcess *second = throughTheClient
            ? runner.start(installation,
                           {u"--helper="_s + runner.helper, u"--maintenance-tool="_s + runner.tool,
                            u"--repository="_s + installation.repository,
                            u"--expected-version=2.0.0"_s})
            : startHelper(installation, options);
    if (afterwards == u"handoff")
        answer(installation);
    if (!QStringList {QString(), u"client"_s, u"handoff"_s, u"logon earlier format"_s}.contains(
                afterwards)) {
        // Nothing is overwritten from a doubtful backup, a failed restore stops as a rollback
        // does, and everything is kept.
        QVERIFY(runner.closeAfterFailure({second}));
        const QString named = runner.asProgramsSeeIt(tmp.path()) + u'/'
                + (afterwards == u"record" ? journals : backups).first();
        const QString message = afterwards == u"held"
                ? u"Не удалось восстановить lib/nested/asset.bin. Резервная копия сохранена: %1"_s
                : u"Предыдущее обновление Corvane было прервано, но его резервная копия не "
                  "найдена или повреждена: %1. Файлы установки не изменены; переустановите "
                  "Corvane."_s;
        QVERIFY2(
                log(installation).endsWith("\nUpdate error: " + message.arg(named).toUtf8() + '\n'),
                log(installation).constData());
        QCOMPARE(log(installation).contains("Interrupted update not restored"),
                 afterwards != u"held");
        VERIFY_FILES(installation, afterwards == u"held" ? Expected::OldOrNew : Expected::New);
        QCOMPARE(tmp.entryList(kept).size(), afterwards == u"backup" ? 1 : 2);
        QCOMPARE(installation.toolRuns().size(), 1);
        return;
    }
    QTRY_VERIFY_WITH_TIMEOUT(log(installation).contains("Installation backup created."), 20000);
    QVERIFY2(log(installation)
                     .contains(point == u"backup" ? "Backup directory without an update record "
                                                    "left in place: "
                                                  : "Restored the installation from the backup "
                                                    "of an interrupted update: "),
             log(installation).constData());
    VERIFY_FILES(installation, Expected::Old);
    if (throughTheClient) {
        // Started again by the helper once updated, the client finds nothing pending.
        QTRY_COMPARE_WITH_TIMEOUT(installation.launches().size(), 2, 60000);
        QVERIFY(installation.launches().at(0).value(u"interruptedUpdatePending"_s).toBool());
        QVERIFY(!installation.launches().at(1).contains(u"interruptedUpdatePending"_s));
    } else {
        QVERIFY(second->waitForFinished(60000));
        QCOMPARE(second->exitCode(), 0);
    }
    VERIFY_FILES(installation, Expected::New);
    // A backup without a record is never removed blindly.
    QTRY_COMPARE(tmp.entryList(kept), point == u"backup" ? backups : QStringList());
    QCOMPARE(runner.logonEntries(installation).keys(), QStringList());
}

QString tst_UpdaterHelper::helperCopyInProfile(SampleInstallation &installation, qsizetype length)
{
    const QString name = QFileInfo(runner.helper).fileName();
    const qsizetype seen = runner.asProgramsSeeIt(installation.base).size()
            + runner.localDataDirectory(installation).size() - installation.base.size()
            + QStringView(u"/Corvane/update/helper-Pq3x9Z/").size() + name.size();
    // Spread over two folders: a file name has at most 255 bytes, and "ё" takes two.
    const qsizetype missing = std::max<qsizetype>(0, length - seen);
    const qsizetype inProfile = std::min<qsizetype>(missing, 90);
    installation.profile += QString(inProfile, u'ё');
    const QString copy = runner.localDataDirectory(installation) + u"/Corvane"_s
            + QString(missing - inProfile, u'ё') + u"/update/helper-Pq3x9Z/"_s + name;
    if (!writeFile(copy, readFile(runner.helper)) || !setFileMode(copy, 0755))
        qWarning("cannot copy the helper to %s", qPrintable(copy));
    return copy;
}

void tst_UpdaterHelper::runLogonEntry(const SampleInstallation &installation)
{
    const QMap<QString, QString> entries = runner.logonEntries(installation);
    QCOMPARE(entries.size(), 1);
    const QString command = entries.first();
    qInfo("Logon command, %d characters: %s", int(command.size()), qPrintable(command));
    const QStringList parts = QProcess::splitCommand(command);
    static const QRegularExpression shortKey(u"^--recover-only=[0-9a-f]{32}$"_s);
    QVERIFY2(parts.size() == 2 && shortKey.match(parts.constLast()).hasMatch(),
             qPrintable(command));
    // Windows documents a Run or RunOnce command of at most 260 characters.
    QVERIFY2(!runner.runsWindowsPrograms() || command.size() < 260, qPrintable(command));
    if (runner.runsWindowsPrograms()) {
        // Wine runs no user's RunOnce values (wineboot runs the machine's only): the test starts
        // the value's command line itself. (Windows would delete the value first; the helper
        // writes it again while it restores, and removes it after.)
        runner.start(installation, parts.mid(1), QString(), parts.constFirst());
    } else {
        // As a desktop session starts its autostart entries: Debian's dex (the rows that come
        // here check for it first) reads the folder that XDG_CONFIG_HOME names. Its output goes
        // where a session's goes, not into a pipe that closes once dex has ended (the client the
        // helper starts would write into it).
        QProcess *session = runner.start(
                installation, {u"-c"_s, u"exec dex --autostart >/dev/null"_s}, QString(), u"sh"_s);
        QVERIFY(session->waitForFinished(30000));
    }
}

void tst_UpdaterHelper::healAtLogon(const SampleInstallation &installation,
                                    const QString &repositoryUrl, const QStringList &arguments)
{
    runLogonEntry(installation);
    if (QTest::currentTestFailed())
        return;
    QTRY_COMPARE_WITH_TIMEOUT(launchArguments(installation), arguments, 60000);
    QVERIFY2(log(installation).startsWith("Repository: " + repositoryUrl.toUtf8() + '\n'),
             log(installation).constData());
    QVERIFY2(log(installation).contains("Restored the installation from the backup "),
             log(installation).constData());
    QTRY_COMPARE(QDir(runner.temporaryDirectory(installation)).entryList({u"Kestrova-update-*"_s}),
                 QStringList());
    QCOMPARE(runner.logonEntries(installation).keys(), QStringList());
}

void tst_UpdaterHelper::endOfSessionIsRefusedWhileTheInstallationChanges()
{
    if (!runner.runsWindowsPrograms())
        QSKIP("Linux: nothing holds the end of the session (a logind lock would need D-Bus)");
    const QString probe = qEnvironmentVariable("UPDATER_SESSION_PROBE");
    QVERIFY2(!probe.isEmpty(), "UPDATER_SESSION_PROBE names no probe");
    const QString go = goFile();
    const SampleInstallation installation = make(u"Session"_s, u"exitCode=5\nwaitForFile="_s + go);
    // Asks the dialog as Windows does before a log-off.
    const auto ask = [&] {
        QProcess *probing = runner.start(installation, {}, QString(), probe);
        probing->waitForFinished(30000);
        return probing->readAllStandardOutput().trimmed();
    };
    QProcess *helper = startHelper(installation, {u"--handoff-file="_s + installation.handoff});
    QTRY_COMPARE_WITH_TIMEOUT(readFile(installation.handoff), QByteArray("ready"), 15000);
    QCOMPARE(ask(), "granted");
    QVERIFY(replaceFile(installation.handoff, "continue"));
    QTRY_VERIFY_WITH_TIMEOUT(log(installation).contains("Waiting for"), 15000);
    QCOMPARE(ask(), "refused");
    QVERIFY(writeFile(go, "go"));
    // Once the rollback is done, the error box waiting for the user holds nothing.
    QTRY_VERIFY_WITH_TIMEOUT(log(installation).contains("\nUpdate error: "), 15000);
    QCOMPARE(ask(), "granted");
    QVERIFY(runner.closeAfterFailure({helper}));
    VERIFY_FILES(installation, Expected::Old);
}

void tst_UpdaterHelper::fullTemporaryDirectoryDuringTheBackupLeavesTheInstallationAlone()
{
    if (runner.runsWindowsPrograms())
        QSKIP("a small file system of the test's own is mounted on Linux only");
    SampleInstallation installation = runner.installation(root->filePath(u"full"_s), u"Full"_s);
    QString error;
    QVERIFY2(installation.create(runner.client, QString(), error), qPrintable(error));
    // Room for every file but one larger than the whole file system, the one the copy fails on,
    // whatever the size of the client (a sanitizer build's is several MiB).
    qint64 room = 4 * MiB;
    for (const QString &file : filesBelow(installation.directory))
        room += QFileInfo(installation.directory + u'/' + file).size();
    QVERIFY2(mounts.mountSmall(runner.temporaryDirectory(installation), room),
             "mounting a tmpfs needs root");
    QVERIFY(installation.writeOld(u"data/big.bin"_s, QByteArray(room + 2 * MiB, 'b')));

    QProcess *helper = startHelper(
            installation,
            {u"--handoff-file="_s + installation.handoff, u"--application-argument=--again"_s});
    answer(installation);
    QVERIFY(runner.closeAfterFailure({helper}));
    const QByteArray message = u"Не удалось сохранить резервную копию: data/big.bin"_s.toUtf8();
    QCOMPARE(readFile(installation.handoff), "error\n" + message);
    // The partial copy is gone, so that the log line after it found room.
    QCOMPARE(log(installation),
             "Repository: " + installation.repository.toUtf8() + "\n\nUpdate error: " + message
                     + '\n');
    QCOMPARE(installation.toolRuns().size(), 0);
    VERIFY_FILES(installation, Expected::Old);
    QCOMPARE(runner.leftovers(installation), QStringList());
    QTRY_COMPARE(launchArguments(installation), QStringList {u"--again"_s});
}

void tst_UpdaterHelper::fullInstallationDuringTheRestoreKeepsTheBackup()
{
    if (runner.runsWindowsPrograms())
        QSKIP("a small file system of the test's own is mounted on Linux only");
    SampleInstallation installation = runner.installation(root->filePath(u"full"_s), u"Full"_s);
    // Room for the installation, whatever the size of the client the build made.
    const qint64 room = (QFileInfo(runner.client).size() / MiB + 4) * MiB;
    QVERIFY2(mounts.mountSmall(installation.directory, room), "mounting a tmpfs needs root");
    QString error;
    QVERIFY2(installation.create(runner.client, u"exitCode=5"_s, error), qPrintable(error));
    // The tool fills the installation up to a rest in which each of its later files fits, but
    // neither the client nor data/a.bin can be copied back beside the new content.
    QVERIFY(installation.writeOld(u"data/a.bin"_s, QByteArray(MiB, 'o')));
    QVERIFY(installation.writeNew(u"data/a.bin"_s, QByteArray(MiB, 'n')));
    const qint64 available = QStorageInfo(installation.directory).bytesAvailable();
    QVERIFY(installation.writeNew(u"filler.bin"_s, QByteArray(available - MiB / 4, 'f')));

    QProcess *helper = startHelper(installation, {u"--handoff-file="_s + installation.handoff});
    answer(installation);
    QVERIFY(runner.closeAfterFailure({helper}));
    const QRegularExpressionMatch match
            = QRegularExpression(u"^error\nMaintenance tool завершился с кодом 5\\.\n\nНе удалось "
                                 "восстановить (.+)\\. Резервная копия сохранена: (.+)$"_s)
                      .match(QString::fromUtf8(readFile(installation.handoff)));
    QVERIFY2(match.hasMatch(), readFile(installation.handoff).constData());
    // Each file is whole, old or new, and the backup that is kept is complete, with its record.
    QVERIFY(runner.leftovers(installation).contains(QFileInfo(match.captured(2)).fileName()));
    QCOMPARE(runner.leftovers(installation).filter(u".journal"_s).size(), 1);
    VERIFY_FILES(installation, Expected::Old, {}, match.captured(2));
    VERIFY_FILES(installation, Expected::OldOrNew);
    // The installation may be a mixture of versions: the client is not started on it.
    QCOMPARE(installation.launches().size(), 0);
}

void tst_UpdaterHelper::holdThroughTheRestore(const SampleInstallation &installation,
                                              const QString &held, const QString &go)
{
    QVERIFY2(mounts.bind(held, held), "a bind mount needs root");
    QVERIFY(writeFile(go, "go"));
    QTRY_VERIFY_WITH_TIMEOUT(readFile(installation.toolRecord).contains("finished"), 20000);
    QTest::qWait(600);
}

void tst_UpdaterHelper::powerCutLeavesOneWholeVersion_data()
{
    // Where the power is cut: the helper killed there (its tool dies with it), every write that
    // was not synced dropped, the file system mounted again, and the next helper started.
    QTest::addColumn<QString>("point");
    QTest::newRow("right after a successful update") << u"success"_s;
    QTest::newRow("right after the rollback of a failed update") << u"rollback"_s;
    QTest::newRow("while the tool writes") << u"tool"_s;
    QTest::newRow("during the restore of a failed update") << u"restore"_s;
}

void tst_UpdaterHelper::powerCutLeavesOneWholeVersion()
{
    if (runner.runsWindowsPrograms())
        QSKIP("Wine: the power cut is shown on the Linux helper, on a LazyFS mount");
    if (qEnvironmentVariableIsEmpty("UPDATER_LAZYFS"))
        QSKIP("UPDATER_LAZYFS names no scripts/lazyfs: CTest runs these rows as "
              "tst_updater_helper_lazyfs");
    QFETCH(QString, point);
    const bool failing = point == u"restore" || point == u"rollback";
    const bool killed = point == u"tool" || point == u"restore";
    // An in-place write that is lost brings the old bytes back on LazyFS, a moved one an empty
    // file: a file written again with its own bytes then shows whether the rollback synced it.
    const QString unsynced = point == u"rollback" ? u"moved"_s : u"inPlace"_s;
    const QString go = goFile();
    // Laid out below, then seen through LazyFS: what the test wrote is on disk before the mount.
    const QString lower = root->filePath(u"lower"_s);
    const QString mountPoint = root->filePath(u"mounted"_s);
    SampleInstallation installation = runner.installation(lower, u"PowerCut"_s);
    QString error;
    QVERIFY2(installation.create(runner.client,
                                 u"unsynced=%1\nexitCode=%2\nwaitForFile=%3"_s.arg(unsynced)
                                         .arg(failing ? 5 : 0)
                                         .arg(killed ? go : QString()),
                                 error),
             qPrintable(error));
    // A few hundred files: every other one changed by the update, some added by it, and some
    // written again with the bytes they held, which a rollback then leaves alone.
    QStringList added = {u"new-feature.dat"_s};
    for (int i = 0; i < 300; ++i) {
        const QString name = u"data/%1/file%2.dat"_s.arg(i % 8).arg(i);
        const QByteArray old(1000 + i, char('a' + i % 26));
        if (i < 260)
            QVERIFY(installation.writeOld(name, old));
        else
            added.append(name);
        if (i % 2 == 0 || i >= 260)
            QVERIFY(installation.writeNew(name, QByteArray(3000 + i, char('A' + i % 26))));
        else if (i % 3 == 0)
            QVERIFY(installation.writeNew(name, old));
    }
    lazyfsMount = lazyfs({u"mount"_s, lower, mountPoint, u"128"_s});
    QVERIFY2(lazyfsMount.isEmpty(), qPrintable(lazyfsMount));
    lazyfsMount = mountPoint;
    for (QString *path : {&installation.base, &installation.directory, &installation.clientPath,
                          &installation.repository, &installation.handoff,
                          &installation.launchRecord, &installation.toolRecord})
        path->replace(0, lower.size(), mountPoint);
    const QDir tmp(runner.temporaryDirectory(installation));
    const QStringList kept = {u"Kestrova-update-backup-*"_s, u"*.journal"_s};

    QProcess *first = startHelper(installation, {u"--expected-version=2.0.0"_s});
    if (!killed) {
        if (failing)
            QVERIFY(runner.closeAfterFailure({first}));
        else
            QVERIFY(first->waitForFinished(60000));
        QCOMPARE(first->exitCode(), 0);
        QVERIFY2(!log(installation).contains("not yet safe"), log(installation).constData());
        // The client it started has left the mount.
        QTRY_COMPARE_WITH_TIMEOUT(installation.launches().size(), 1, 15000);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(log(installation).contains("Waiting for"), 30000);
        if (point == u"restore") {
            holdThroughTheRestore(installation, installation.directory + u"/lib/nested/asset.bin"_s,
                                  go);
            if (QTest::currentTestFailed())
                return;
        }
        first->kill();
        QVERIFY(first->waitForFinished(10000));
        QVERIFY2(!log(installation).contains("Update error"), "killed too late");
        mounts.releaseAll();
        QCOMPARE(tmp.entryList(kept).size(), 2);
    }
    error = lazyfs({u"cut"_s, mountPoint});
    QVERIFY2(error.isEmpty(), qPrintable(error));

    if (!killed) {
        VERIFY_FILES(installation, failing ? Expected::Old : Expected::New,
                     failing ? added : QStringList());
        QCOMPARE(tmp.entryList(kept), QStringList());
        return;
    }
    // Whatever the cut left of the tool's files, the next helper puts every original one back
    // before its own update; files the update added may stay, in any state.
    QFile::remove(runner.logPath(installation));
    QVERIFY(writeFile(installation.repository + u"/repository.ini"_s,
                      "[General]\nunsynced=inPlace\nstartDelayMs=3000\n"));
    QProcess *second = startHelper(installation, {u"--expected-version=2.0.0"_s});
    QTRY_VERIFY_WITH_TIMEOUT(log(installation).contains("Installation backup created."), 30000);
    QVERIFY2(log(installation)
                     .contains("Restored the installation from the backup of an interrupted "
                               "update: "),
             log(installation).constData());
    VERIFY_FILES(installation, Expected::Old, added);
    QVERIFY(second->waitForFinished(60000));
    QCOMPARE(second->exitCode(), 0);
    VERIFY_FILES(installation, Expected::New);
    QCOMPARE(tmp.entryList(kept), QStringList());
}

void tst_UpdaterHelper::unflushableFileKeepsTheRecordUntilTheNextUpdate()
{
    if (!runner.runsWindowsPrograms())
        QSKIP("Linux: a file is flushed through a descriptor opened for reading, which nothing "
              "short of a failing disk refuses");
    const QString go = goFile();
    SampleInstallation installation = make(u"Unflushable"_s, u"waitForFile="_s + go);
    const QDir tmp(runner.temporaryDirectory(installation));
    const QStringList kept = {u"Kestrova-update-backup-*"_s, u"*.journal"_s};
    // Held once the tool has written it.
    QProcess *first = startHelper(installation, {u"--expected-version=2.0.0"_s});
    QTRY_VERIFY_WITH_TIMEOUT(log(installation).contains("Waiting for"), 20000);
    const QString held = installation.directory + u"/lib/engine.dat"_s;
    QVERIFY2(mounts.bindReadOnly(held, held), "a bind mount needs root");
    QVERIFY(writeFile(go, "go"));
    QVERIFY(first->waitForFinished(60000));
    QCOMPARE(first->exitCode(), 0);
    QVERIFY2(log(installation)
                     .contains("\nUpdate installed, but not yet safe from a power cut: "
                               "could not flush lib/engine.dat. The update record and the "
                               "backup stay; the next update restores the backup "
                               "first: "),
             log(installation).constData());
    QVERIFY(!log(installation).contains("Update error"));
    QTRY_COMPARE_WITH_TIMEOUT(installation.launches().size(), 1, 15000);
    VERIFY_FILES(installation, Expected::New);
    QCOMPARE(tmp.entryList(kept).size(), 2);

    // A consistent installation with a record: the old version back first, then the update again.
    mounts.releaseAll();
    QVERIFY(QFile::remove(runner.logPath(installation)));
    QVERIFY(writeFile(installation.repository + u"/repository.ini"_s, "[General]\n"));
    QProcess *second = startHelper(installation, {u"--expected-version=2.0.0"_s});
    QVERIFY(second->waitForFinished(60000));
    QVERIFY2(log(installation)
                     .contains("Restored the installation from the backup of an interrupted "
                               "update: "),
             log(installation).constData());
    QVERIFY(!log(installation).contains("not yet safe"));
    QCOMPARE(installation.toolRuns().size(), 2);
    VERIFY_FILES(installation, Expected::New);
    QTRY_COMPARE(tmp.entryList(kept), QStringList());
}

void tst_UpdaterHelper::helperInsideTheInstallationUpdatesAndRollsBack_data()
{
    // The helper shipped beside the client. Started in place, its own file is one the rollback
    // must leave alone (on Windows a running executable cannot be replaced); through the kit it
    // runs from a private copy, so that an update may replace it.
    QTest::addColumn<bool>("throughTheKit");
    QTest::addColumn<int>("toolExitCode");
    QTest::newRow("started in place, the update fails") << false << 1;
    QTest::newRow("through the kit, the update replaces it") << true << 0;
    QTest::newRow("through the kit, the update replaces it and fails") << true << 1;
}

void tst_UpdaterHelper::helperInsideTheInstallationUpdatesAndRollsBack()
{
    QFETCH(bool, throughTheKit);
    QFETCH(int, toolExitCode);
    const QString go = goFile();
    SampleInstallation installation
            = make(u"Inside"_s, u"exitCode=%1\nwaitForFile=%2"_s.arg(toolExitCode).arg(go));
    const QString name = QFileInfo(runner.helper).fileName();
    const QString helper = installation.directory + u'/' + name;
    QVERIFY(installation.writeOld(name, readFile(runner.helper)) && setFileMode(helper, 0755));
    if (throughTheKit)
        QVERIFY(installation.writeNew(name, "the next helper"));
    const quint64 helperInode = fileInode(helper);

    QString executable;
    if (throughTheKit) {
        QProcess *client = startThroughTheKit(installation, helper, {u"--argument=--again"_s});
        QVERIFY(client->waitForFinished(30000));
        executable = QFile::symLinkTarget(
                u"/proc/%1/exe"_s.arg(QRegularExpression(u"Helper started, process (\\d+)"_s)
                                              .match(QString::fromUtf8(client->readAll()))
                                              .captured(1)));
    } else {
        startHelper(
                installation,
                {u"--handoff-file="_s + installation.handoff, u"--application-argument=--again"_s},
                helper);
        answer(installation);
    }
    QVERIFY(writeFile(go, "go"));
    // Through the kit its process runs the private copy; under Wine the outcome alone tells.
    QVERIFY2(!throughTheKit || runner.runsWindowsPrograms()
                     || executable.startsWith(
                             QDir(runner.localDataDirectory(installation)).canonicalPath()),
             qPrintable(executable));
    if (toolExitCode == 0) {
        QTRY_COMPARE_WITH_TIMEOUT(installation.launches().size(), 1, 30000);
        VERIFY_FILES(installation, Expected::New);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(readFile(installation.handoff),
                                  "error\n" + u"Maintenance tool завершился с кодом 1."_s.toUtf8(),
                                  30000);
        QVERIFY(closeDetachedHelper());
        VERIFY_FILES(installation, Expected::Old);
        if (!throughTheKit)
            QCOMPARE(fileInode(helper), helperInode);
    }
    QTRY_COMPARE(launchArguments(installation), QStringList {u"--again"_s});
    QTRY_VERIFY2_WITH_TIMEOUT(runner.leftovers(installation).isEmpty(),
                              qPrintable(runner.leftovers(installation).join(u' ')), 10000);
}

void tst_UpdaterHelper::handoffHeldForAMomentStillHandsOver_data()
{
    // The handoff file is held (TestMounts::bind) across the first tries of the helper's "ready"
    // or of the kit's "continue", then let go.
    QTest::addColumn<bool>("atReady");
    QTest::newRow("across the helper's ready") << true;
    QTest::newRow("across the kit's continue") << false;
}

void tst_UpdaterHelper::handoffHeldForAMomentStillHandsOver()
{
    QFETCH(bool, atReady);
    const SampleInstallation installation = make(u"Held"_s);
    // What the held file shows: no record yet, or the one the kit is to answer.
    const QString held = root->filePath(u"held"_s);
    QVERIFY(writeFile(held, atReady ? "" : "ready") && writeFile(installation.handoff, ""));
    QProcess *started = nullptr;
    if (atReady) {
        QVERIFY2(mounts.bind(held, installation.handoff), "a bind mount needs root");
        started = startHelper(installation, {u"--handoff-file="_s + installation.handoff});
        // "ready" is written right after this line.
        QTRY_VERIFY_WITH_TIMEOUT(log(installation).startsWith("Repository: "), 15000);
    } else {
        // The kit looks at the file only after a delay, so that the hold comes first.
        started = startThroughTheKit(installation, runner.helper, {u"--answer-delay-ms=3000"_s});
        QTRY_COMPARE_WITH_TIMEOUT(readFile(installation.handoff), QByteArray("ready"), 15000);
        QVERIFY2(mounts.bind(held, installation.handoff), "a bind mount needs root");
        QByteArray output = started->readAll();
        QVERIFY2(!output.contains("Waiting for the helper"), "the helper was ready too late");
        QTRY_VERIFY_WITH_TIMEOUT((output += started->readAll()).contains("Waiting for the helper"),
                                 15000);
    }
    QTest::qWait(500);
    mounts.release(installation.handoff);
    if (atReady)
        answer(installation);
    QTRY_COMPARE_WITH_TIMEOUT(started->state(), QProcess::NotRunning, 30000);
    QCOMPARE(started->exitCode(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(installation.launches().size(), 1, 30000);
    VERIFY_FILES(installation, Expected::New);
}

void tst_UpdaterHelper::selfTestKeepsOnlyANewVersionThatStarts_data()
{
    // outcome: what 2.0.0 puts beside its client to tell the self-test what to do; "damaged" and
    // "unlinked": its client itself, zeroed, or naming a library that is not there. record: the
    // failure record's message, a pattern; empty when 2.0.0 stays.
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<QString>("record");
    const QString tested = u"Новая версия Corvane "_s;
    const QString crashed = tested
            + u"аварийно завершилась при проверке запуска \\(код (\\d+|0xC[0-9A-F]{7})\\)\\."_s;
    QTest::newRow("the new client passes") << QString() << QString();
    QTest::newRow("the new client fails its check")
            << u"fail"_s << tested + u"не прошла проверку запуска: код завершения 3\\."_s;
    QTest::newRow("the new client crashes") << u"crash"_s << crashed;
    // A child of the client hangs as well: the old client starts only once no copy runs.
    QTest::newRow("the new client hangs")
            << u"hang with a child"_s << tested + u"не завершила проверку запуска за 30 с\\."_s;
    QTest::newRow("the new client is damaged")
            << u"damaged"_s << u"Не удалось запустить новую версию Corvane для проверки: .+"_s;
    // The loader fails: exit code 127 on Linux, STATUS_DLL_NOT_FOUND on Windows.
    QTest::newRow("the new client misses a library")
            << u"unlinked"_s
            << u"(%1|%2)"_s.arg(tested + u"не прошла проверку запуска: код завершения 127\\."_s,
                                crashed);
}

void tst_UpdaterHelper::selfTestKeepsOnlyANewVersionThatStarts()
{
    QFETCH(QString, outcome);
    QFETCH(QString, record);
    SampleInstallation installation = make(u"SelfTest"_s);
    const QString client = QFileInfo(installation.clientPath).fileName();
    QByteArray executable = readFile(installation.clientPath);
    if (outcome == u"damaged") {
        // As a file whose blocks were never written.
        executable.fill('\0');
    } else if (outcome == u"unlinked") {
        // A library the client links, renamed where the executable names it.
        const bool windows = runner.runsWindowsPrograms();
        const QByteArray library = windows ? "USER32.dll" : "libQt6Core.so.6";
        QVERIFY(executable.contains(library));
        executable.replace(library, windows ? "USERXX.dll" : "libQtXCore.so.6");
    } else if (!outcome.isEmpty()) {
        QVERIFY(installation.writeNew(u"sample-self-test.txt"_s, outcome.toUtf8()));
    }
    if (outcome == u"damaged" || outcome == u"unlinked")
        QVERIFY(installation.writeNew(client, executable)
                && setFileMode(installation.repository + u"/payload/"_s + client, 0755));

    QProcess *handingOver = startThroughTheKit(
            installation, runner.helper,
            {u"--self-test"_s, u"--expected-version=2.0.0"_s, u"--argument=--again"_s});
    QVERIFY(handingOver->waitForFinished(30000));
    QCOMPARE(handingOver->exitCode(), 0);
    if (record.isEmpty()) {
        // Started twice: once to prove that it starts, then for the user.
        QTRY_COMPARE_WITH_TIMEOUT(installation.launches().size(), 2, 30000);
        QCOMPARE(launchArguments(installation), QStringList {u"--self-test"_s});
        QCOMPARE(installation.launches().at(1).value(u"arguments"_s).toVariant().toStringList(),
                 QStringList {u"--again"_s});
        VERIFY_FILES(installation, Expected::New);
        QVERIFY2(log(installation).contains("\nClient self-test passed on the platform ")
                         && log(installation).contains("\nSelf-test passed.\n"),
                 log(installation).constData());
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(readFile(installation.handoff).startsWith("error\n"), 60000);
        const QString message = QString::fromUtf8(readFile(installation.handoff).mid(6));
        QVERIFY2(QRegularExpression(u'^' + record + u'$').match(message).hasMatch(),
                 qPrintable(message));
        QVERIFY(closeDetachedHelper());
        VERIFY_FILES(installation, Expected::Old);
        QVERIFY2(
                log(installation).contains("\nSelf-test failed: ")
                        && log(installation).endsWith("\nUpdate error: " + message.toUtf8() + '\n'),
                log(installation).constData());
        // The old client, started again once no copy of the new one runs.
        const auto lastArguments = [&installation] {
            const QList<QJsonObject> launches = installation.launches();
            return launches.value(launches.size() - 1).value(u"arguments"_s).toVariant();
        };
        QTRY_COMPARE_WITH_TIMEOUT(lastArguments().toStringList(), QStringList {u"--again"_s},
                                  15000);
    }
    QTRY_VERIFY2_WITH_TIMEOUT(runner.leftovers(installation).isEmpty(),
                              qPrintable(runner.leftovers(installation).join(u' ')), 10000);
}

void tst_UpdaterHelper::processesTheToolLeftAreAwaitedThenEnded_data()
{
    // lingerMs: how long the process the tool leaves in its job runs after the tool; logged: what
    // the helper says of it.
    QTest::addColumn<int>("lingerMs");
    QTest::addColumn<QByteArray>("logged");
    QTest::newRow("it ends by itself")
            << 3000 << QByteArray("\nProcesses the maintenance tool started ended ");
    QTest::newRow("it still runs at the limit")
            << 120000
            << QByteArray("\nProcesses the maintenance tool started still ran 30 s after it had "
                          "exited; ended.\n");
}

void tst_UpdaterHelper::processesTheToolLeftAreAwaitedThenEnded()
{
    QFETCH(int, lingerMs);
    QFETCH(QByteArray, logged);
    if (!runner.runsWindowsPrograms())
        QSKIP("the helper follows what the tool starts through its job, on Windows: the Wine run "
              "has these rows");
    const SampleInstallation installation
            = make(u"Lingering"_s, u"leaveRunningMs=%1\n"_s.arg(lingerMs));
    startHelper(installation);
    QTRY_COMPARE_WITH_TIMEOUT(installation.launches().size(), 1, 90000);
    VERIFY_FILES(installation, Expected::New);
    // The version was checked and the client started only once the process had ended: by
    // itself, or by the helper, never to record its end.
    QCOMPARE(readFile(installation.toolRecord).contains("\nlingered "), lingerMs < 30000);
    QVERIFY2(log(installation).contains(logged), log(installation).constData());
    QTRY_VERIFY2_WITH_TIMEOUT(runner.leftovers(installation).isEmpty(),
                              qPrintable(runner.leftovers(installation).join(u' ')), 10000);
}

bool tst_UpdaterHelper::startPublishing(QString &error)
{
    if (!publishing)
        publishing = QDir().mkpath(published.filePath(u"www"_s))
                && signer.create(published.filePath(u"keys"_s),
                                 QStringLiteral(UPDATER_MANIFEST_PATH), error)
                && otherSigner.create(published.filePath(u"other keys"_s),
                                      QStringLiteral(UPDATER_MANIFEST_PATH), error)
                && server.start(published.filePath(u"www"_s), error);
    return publishing;
}

QStringList tst_UpdaterHelper::trustServerAuthority(QString &error)
{
    const QStringList option
            = {u"--ca-certificate="_s + runner.asProgramsSeeIt(server.caCertificatePath())};
    if (!runner.runsWindowsPrograms())
        return option;
    // The store keeps each certificate as a property list, the certificate itself its property
    // 32, under the SHA-1 of its DER form.
    QProcess openssl;
    openssl.start(u"openssl"_s,
                  {u"x509"_s, u"-in"_s, server.caCertificatePath(), u"-outform"_s, u"DER"_s});
    openssl.waitForFinished();
    const QByteArray der = openssl.readAllStandardOutput();
    QByteArray blob;
    for (const quint32 value : {quint32(32), quint32(1), quint32(der.size())})
        blob.append(reinterpret_cast<const char *>(&value), 4); // little-endian, as Windows
    blob += der;
    const QString key
            = u"HKCU\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\"_s
            + QString::fromLatin1(
                      QCryptographicHash::hash(der, QCryptographicHash::Sha1).toHex().toUpper());
    QProcess reg;
    reg.start(runner.launcher.constFirst(),
              {u"reg"_s, u"add"_s, key, u"/v"_s, u"Blob"_s, u"/t"_s, u"REG_BINARY"_s, u"/d"_s,
               QString::fromLatin1(blob.toHex()), u"/f"_s});
    if (der.isEmpty() || !reg.waitForFinished(60000) || reg.exitCode() != 0) {
        error = u"cannot add the test authority to the Wine prefix's root store"_s;
        return {};
    }
    return option;
}

void tst_UpdaterHelper::clientHandsOverOnlyASignedNewerRelease_data()
{
    // signedVersion: the version the publisher signs; tamper: the manifest is changed after it
    // was signed; source: where the client checks and fetches the release from ("folder": the
    // repository itself; "nginx": nginx serving it, over HTTP; either way the mirror it fetches
    // is handed over), or only checks ("http", "https"); printed: what the client says; exitCode:
    // the client's.
    QTest::addColumn<QString>("signedVersion");
    QTest::addColumn<bool>("tamper");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QByteArray>("printed");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("a newer signed release is handed over with its version")
            << u"2.0.0"_s << false << u"folder"_s << QByteArray("Newer release 2.0.0 (") << 0;
    // The tool installs 2.0.0: the signed version goes to the helper, whose check refuses it.
    QTest::newRow("the signed version is the one the helper checks")
            << u"2.0.1"_s << false << u"folder"_s << QByteArray("Newer release 2.0.1 (") << 0;
    QTest::newRow("a manifest changed after signing: nothing is handed over")
            << u"2.0.0"_s << true << u"folder"_s << QByteArray("Update check failed (untrusted): ")
            << 6;
    QTest::newRow("fetched from nginx, installed from the mirror")
            << u"2.0.0"_s << false << u"nginx"_s << QByteArray("Fetched release 2.0.0 (") << 0;
    QTest::newRow("checked over HTTP")
            << u"2.0.0"_s << false << u"http"_s << QByteArray("Newer release 2.0.0 (") << 0;
    QTest::newRow("checked over HTTPS")
            << u"2.0.0"_s << false << u"https"_s << QByteArray("Newer release 2.0.0 (") << 0;
    QTest::newRow("a changed manifest, over HTTP")
            << u"2.0.0"_s << true << u"http"_s << QByteArray("Update check failed (untrusted): ")
            << 6;
}

void tst_UpdaterHelper::clientHandsOverOnlyASignedNewerRelease()
{
    QFETCH(QString, signedVersion);
    QFETCH(bool, tamper);
    QFETCH(QString, source);
    QFETCH(QByteArray, printed);
    QFETCH(int, exitCode);
    VERIFY_PROGRAMS(u"minisign"_s, u"nginx"_s);
    QString error;
    QVERIFY2(startPublishing(error), qPrintable(error));
    SampleInstallation installation = make(u"Checked-%1"_s.arg(++checkedRows));
    QVERIFY2(
            signer.publish(installation.repository, {u"--release-version"_s, signedVersion}, error),
            qPrintable(error));
    if (tamper) {
        const QString manifest = installation.repository + u"/release.manifest"_s;
        QVERIFY(writeFile(manifest,
                          readFile(manifest).replace("version " + signedVersion.toLatin1(),
                                                     "version 9.9.9")));
    }
    const QStringList key = {u"--trusted-key="_s + runner.asProgramsSeeIt(signer.publicKeyPath())};
    const QMap<QString, QByteArray> before = treeSnapshot(installation.directory);
    // The repository's folder below the one nginx serves.
    const QString served = published.filePath(u"www/"_s) + QFileInfo(installation.base).fileName();
    QVERIFY(QFile::link(installation.repository, served));
    const QString name = QFileInfo(served).fileName();
    const bool update = source == u"folder"_s || source == u"nginx"_s;
    QProcess *client = nullptr;
    if (update) {
        client = startThroughTheKit(
                installation, runner.helper,
                key
                        + (source == u"nginx"_s
                                   ? QStringList {u"--repository="_s + server.httpUrl(name)}
                                   : QStringList()));
    } else {
        const QString url = source == u"http"_s ? server.httpUrl(name) : server.httpsUrl(name);
        const QStringList authority
                = source == u"https"_s ? trustServerAuthority(error) : QStringList();
        QVERIFY2(error.isEmpty(), qPrintable(error));
        client = runner.start(installation,
                              QStringList {u"check"_s, u"--repository="_s + url} + key + authority);
    }
    QVERIFY(client->waitForFinished(30000));
    const QByteArray output = client->readAllStandardOutput();
    QVERIFY2(output.contains(printed), output.constData());
    QCOMPARE(client->exitCode(), exitCode);
    if (!update || tamper) {
        // Nothing was handed over: no handoff, no helper, the installation as it was.
        QCOMPARE(readFile(installation.handoff), QByteArray("<missing>"));
        QVERIFY(!QFileInfo::exists(runner.logPath(installation)));
        QCOMPARE(treeSnapshot(installation.directory), before);
        return;
    }
    // The helper installs from the mirror the client filled.
    QTRY_VERIFY_WITH_TIMEOUT(log(installation).startsWith("Repository: file:///"), 30000);
    QVERIFY2(log(installation).split('\n').constFirst().contains("/update/mirror-"),
             log(installation).constData());
    if (signedVersion == u"2.0.0"_s) {
        QTRY_COMPARE_WITH_TIMEOUT(installation.launches().size(), 1, 60000);
        VERIFY_FILES(installation, Expected::New);
        QCOMPARE(readFile(installation.handoff), QByteArray("continue"));
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(readFile(installation.handoff).startsWith("error\n"), 60000);
        QVERIFY2(readFile(installation.handoff).contains(signedVersion.toUtf8()),
                 readFile(installation.handoff).constData());
        QVERIFY(closeDetachedHelper());
        VERIFY_FILES(installation, Expected::Old);
    }
}

void tst_UpdaterHelper::installationForAllUsersIsUpdatedWithOneElevation_data()
{
    // fault: "killed", the elevated part is ended while the tool has written half a file, and
    // the next helper puts the old files back before it updates; "not started", Windows cannot
    // start the installation's helper, as after a refused prompt; "policy", UAC is switched off,
    // so that there is no asking; "mirror", "untrusted mirror": the client checks and fetches
    // the release first.
    QTest::addColumn<QString>("fault");
    QTest::newRow("the elevated part updates, the waiting helper starts the client") << QString();
    QTest::newRow("the elevated part killed, the next one restores") << u"killed"_s;
    QTest::newRow("the elevation not started, as refused") << u"not started"_s;
    QTest::newRow("no elevation by policy, refused") << u"policy"_s;
    // The installation ships its publisher's keys: the client's mirror is copied and verified
    // again in the elevated part; one signed by a key only the client trusts is refused.
    QTest::newRow("the client's mirror, verified again elevated") << u"mirror"_s;
    QTest::newRow("a mirror the installation's keys did not sign, refused")
            << u"untrusted mirror"_s;
}

// An installation only administrators can write (on Windows, one in Program Files), updated by a
// user: one prompt before the client is asked to exit, the installation's share of the work done
// elevated, from a copy of the helper in the elevated folder, the client started again by the
// user's own helper. Wine has no UAC: it lets root write everywhere and gives every program an
// administrator's token, so a read-only mount stands for the folder's permissions until the
// client has been asked to exit, and the test build's switch for the token.
void tst_UpdaterHelper::installationForAllUsersIsUpdatedWithOneElevation()
{
    QFETCH(QString, fault);
    const bool killed = fault == u"killed";
    if (!runner.runsWindowsPrograms())
        QSKIP("Linux: nothing is elevated; realToolInstallationOfRootIsRefusedToAUserBeforeReady "
              "shows the refusal");
    const QString testBuild = qEnvironmentVariable("UPDATER_HELPER_TEST_BUILD");
    QVERIFY2(QFileInfo::exists(testBuild), "UPDATER_HELPER_TEST_BUILD names no test build");
    const QString go = goFile();
    SampleInstallation installation
            = make(u"All users"_s,
                   u"waitForFile=%1\nwaitPoint=%2"_s.arg(go, killed ? u"midFile"_s : u"end"_s));
    const QString helper = installation.directory + u'/' + QFileInfo(testBuild).fileName();
    const QString tool = installation.directory + u"/maintenancetool.exe"_s;
    QVERIFY(installation.writeOld(QFileInfo(helper).fileName(),
                                  fault == u"not started" ? "MZ, but no program"
                                                          : readFile(testBuild))
            && installation.writeOld(QFileInfo(tool).fileName(), readFile(runner.tool)));
    const QDir elevated(qEnvironmentVariable("WINEPREFIX")
                        + u"/drive_c/Program Files/Corvane Updater"_s);
    const QString lock = runner.lockFileName(installation.clientPath);
    const QString record = QString(lock).replace(u".lock"_s, u".journal"_s);
    const QStringList kept = {u"Kestrova-update-backup-*"_s, u"*.journal"_s};
    const QDir tmp(runner.temporaryDirectory(installation));
    QStringList checked;
    if (fault.endsWith(u"mirror")) {
        QString error;
        QVERIFY2(startPublishing(error), qPrintable(error));
        const ReleaseSigner &publisher = fault == u"mirror" ? signer : otherSigner;
        QVERIFY2(publisher.publish(installation.repository, {u"--release-version"_s, u"2.0.0"_s},
                                   error),
                 qPrintable(error));
        QVERIFY(installation.writeOld(u"release-keys.pub"_s, signer.publicKey().toUtf8()));
        checked = {u"--trusted-key="_s + runner.asProgramsSeeIt(publisher.publicKeyPath())};
    }

    // The installation folder refuses the user until the client is asked to exit, by which time
    // the elevated part holds the lock and the test build has decided.
    const auto handOver = [&] {
        QVERIFY2(mounts.bindReadOnly(installation.directory, installation.directory),
                 "a mount needs root");
        qputenv("UPDATER_TEST_BUILD_TOKEN_WITHOUT_ADMINISTRATORS", "1");
        runner.start(
                installation,
                QStringList {u"update"_s, u"--helper="_s + runner.asProgramsSeeIt(helper),
                             u"--maintenance-tool="_s + runner.asProgramsSeeIt(tool),
                             u"--repository="_s + runner.asProgramsSeeIt(installation.repository),
                             u"--handoff-file="_s + runner.asProgramsSeeIt(installation.base)
                                     + u"/handoff"_s,
                             u"--expected-version=2.0.0"_s, u"--argument=--restarted"_s,
                             u"--no-answer"_s}
                        + checked);
        qunsetenv("UPDATER_TEST_BUILD_TOKEN_WITHOUT_ADMINISTRATORS");
        if (fault == u"untrusted mirror")
            return;
        QTRY_COMPARE_WITH_TIMEOUT(readFile(installation.handoff), QByteArray("ready"), 60000);
        QVERIFY2(elevated.exists(lock), "no lock of the elevated part's at ready");
        mounts.release(installation.directory);
        QVERIFY(replaceFile(installation.handoff, "continue"));
    };
    if (fault == u"not started" || fault == u"policy") {
        // The same helper, started from outside the installation, cannot start the installation's;
        // or is not to ask.
        QVERIFY2(mounts.bindReadOnly(installation.directory, installation.directory),
                 "a mount needs root");
        if (fault == u"policy")
            QVERIFY(setUserAccountControl(installation, false));
        qputenv("UPDATER_TEST_BUILD_TOKEN_WITHOUT_ADMINISTRATORS", "1");
        QProcess *unelevated = startHelper(
                installation, {u"--handoff-file="_s + installation.handoff}, testBuild);
        qunsetenv("UPDATER_TEST_BUILD_TOKEN_WITHOUT_ADMINISTRATORS");
        bool askedToExit = false;
        QDeadlineTimer deadline(60000);
        while (!readFile(installation.handoff).startsWith("error\n") && !deadline.hasExpired()) {
            askedToExit = askedToExit || readFile(installation.handoff) == "ready";
            QThread::msleep(5);
        }
        QVERIFY2(!askedToExit, "the client was asked to exit");
        QCOMPARE(readFile(installation.handoff),
                 "error\n" + rightsRefusal(runner.asProgramsSeeIt(installation.directory)));
        QVERIFY(runner.closeAfterFailure({unelevated}));
        if (fault == u"policy")
            QVERIFY(setUserAccountControl(installation, true));
        QVERIFY2(log(installation)
                         .contains(fault == u"policy"
                                           ? "Update not started: the installation folder "
                                             "cannot be written"
                                           : "Administrator's rights not granted: "),
                 log(installation).constData());
        QCOMPARE(tmp.entryList(kept), QStringList());
        QCOMPARE(installation.launches().size(), 0);
        VERIFY_FILES(installation, Expected::Old);
        return;
    }
    handOver();
    if (QTest::currentTestFailed())
        return;
    if (fault == u"untrusted mirror") {
        // The client checked and fetched with the key it was given; the elevated part, with the
        // installation's, refuses the mirror before the client is asked to exit.
        QTRY_VERIFY_WITH_TIMEOUT(readFile(installation.handoff).startsWith("error\n"), 60000);
        QVERIFY2(
                readFile(installation.handoff)
                        .contains(
                                u"Обновление Corvane не подтверждено подписью издателя"_s.toUtf8()),
                readFile(installation.handoff).constData());
        mounts.release(installation.directory);
        QVERIFY(closeDetachedHelper());
        const QByteArray elevatedLog = readFile(elevated.filePath(u"Corvane-update.log"_s));
        QVERIFY2(elevatedLog.contains("Repository not verified: ")
                         && !elevatedLog.contains("Installation backup created."),
                 elevatedLog.constData());
        QCOMPARE(installation.launches().size(), 0);
        VERIFY_FILES(installation, Expected::Old);
        return;
    }
    QTRY_COMPARE_WITH_TIMEOUT(installation.toolRuns().size(), 1, 30000);
    // The elevated part holds the lock and the record, in its folder, and runs from its copy there.
    QTRY_VERIFY_WITH_TIMEOUT(elevated.exists(record), 10000);
    QCOMPARE(elevated.entryList({u"Kestrova-update-backup-*"_s}, QDir::Dirs).size(), 1);
    QCOMPARE(tmp.entryList(kept), QStringList());
    const QByteArray running
            = "Elevated part running from C:/Program Files/Corvane Updater/helper-";
    QVERIFY2(readFile(elevated.filePath(u"Corvane-update.log"_s)).contains(running),
             readFile(elevated.filePath(u"Corvane-update.log"_s)).constData());
    QCOMPARE(elevated.entryList({u"helper-*"_s}, QDir::Dirs).size(), 1);
    if (killed) {
        QTest::qWait(500); // the tool has written half a file
        const QByteArray processId = readFile(elevated.filePath(lock)).split('\n').value(0);
        QProcess *taskkill
                = runner.start(installation, {u"/F"_s, u"/PID"_s, QString::fromLatin1(processId)},
                               QString(), u"taskkill"_s);
        QVERIFY(taskkill->waitForFinished(30000));
        QTRY_COMPARE_WITH_TIMEOUT(
                readFile(installation.handoff),
                "error\n"
                        + u"Обновление с правами администратора прервалось. Следующее обновление "
                          "Corvane сначала восстановит прежние файлы установки."_s.toUtf8(),
                30000);
        QVERIFY(closeDetachedHelper());
        QCOMPARE(installation.launches().size(), 0);
        QVERIFY(elevated.exists(record));
        QVERIFY(writeFile(installation.repository + u"/repository.ini"_s, "[General]\n"));
        handOver();
        if (QTest::currentTestFailed())
            return;
    } else {
        QVERIFY(writeFile(go, "go"));
    }
    QTRY_COMPARE_WITH_TIMEOUT(installation.launches().size(), 1, 60000);
    VERIFY_FILES(installation, Expected::New);
    // Started by the user's helper: in the user's temporary folder, not the elevated part's.
    const QJsonObject launch = installation.launches().constFirst();
    QCOMPARE(launch.value(u"arguments"_s).toVariant().toStringList(),
             QStringList {u"--restarted"_s});
    QCOMPARE(launch.value(u"temporaryDirectory"_s).toString(), runner.asProgramsSeeIt(tmp.path()));
    QCOMPARE(readFile(installation.handoff), QByteArray("continue"));
    // The elevated part's log, the tool's output in it, is in the user's.
    QVERIFY2(log(installation).contains("The elevated part's log:\nRepository: ")
                     && log(installation).contains("Installation backup created.\n")
                     && (!killed
                         || log(installation)
                                    .contains("Restored the installation from the backup "
                                              "of an interrupted update")),
             log(installation).constData());
    if (fault == u"mirror")
        QVERIFY2(log(installation)
                         .contains("Repository verified with the installation's keys and "
                                   "copied into C:/Program Files/Corvane Updater/"),
                 log(installation).constData());
    QTRY_VERIFY2_WITH_TIMEOUT(runner.leftovers(installation).isEmpty(),
                              qPrintable(runner.leftovers(installation).join(u' ')), 10000);
    for (const QString &name : {lock, record})
        QVERIFY2(!elevated.exists(name), qPrintable(name));
    QCOMPARE(elevated.entryList({u"Kestrova-update-backup-*"_s}, QDir::Dirs), QStringList());
}

void tst_UpdaterHelper::realToolUpdateEndsAsTheToolSays_data()
{
    // repository: the product's repository the update comes from; folder: the installation's
    // parent folder (one on drive C: lies in the Wine prefix); temporary: where the helper's
    // temporary directory is, when not in folder;
    // toolSays: a line of the tool's own output, which the log must hold; message: the error
    // record, empty when 2.0.0 is to be installed.
    QTest::addColumn<QString>("repository");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("temporary");
    QTest::addColumn<QByteArray>("toolSays");
    QTest::addColumn<QString>("message");
    const QString exited = u"Maintenance tool завершился с кодом %1."_s;
    QTest::newRow("update 1.0.0 to 2.0.0")
            << u"2.0.0"_s << u"Update"_s << QString()
            << QByteArray("Components updated successfully.") << QString();
    // The client checks the signed release and fetches it from nginx into its mirror while it
    // runs; IFW's tool installs from the mirror.
    QTest::newRow("checked and fetched over HTTP, installed from the mirror")
            << u"2.0.0 over HTTP"_s << u"Served"_s << QString()
            << QByteArray("Components updated successfully.") << QString();
    QTest::newRow("paths with spaces")
            << u"2.0.0"_s << u"Corvane Update (x86)"_s << QString()
            << QByteArray("Components updated successfully.") << QString();
    if (runner.runsWindowsPrograms()) {
        QTest::newRow("in Program Files")
                << u"2.0.0"_s << u"C:/Program Files/Corvane"_s << QString()
                << QByteArray("Components updated successfully.") << QString();
    }
    // The tool removes every file of 1.0.0, unpacks 2.0.0, then undoes only its new steps.
    QTest::newRow("an install operation fails after 1.0.0 was removed")
            << u"2.0.0-failing-operation"_s << u"Failing"_s << QString()
            << QByteArray("Removing deselected components...") << exited.arg(3);
    QTest::newRow("a process to stop is running")
            << u"2.0.0-stop-process"_s << u"Stop"_s << QString()
            << QByteArray("stopProcessesForUpdates")
            << u"Обновление отменено: осталась работающая копия Kestrova. Закройте все окна "
               "приложения, включая тестовую версию, и повторите обновление."_s;
    QTest::newRow("an archive is missing")
            << u"2.0.0-archive-missing"_s << u"Missing"_s << QString()
            << QByteArray("Cannot fetch archives") << exited.arg(1);
    QTest::newRow("nothing newer") << u"1.0.0"_s << u"Newest"_s << QString()
                                   << QByteArray("No updates available.") << exited.arg(3);
    // The tool installs a damaged client and exits 0.
    QTest::newRow("a damaged client, found by its self-test")
            << u"2.0.0-broken-client"_s << u"Broken"_s << QString()
            << QByteArray("Components updated successfully.")
            << u"Не удалось запустить новую версию Corvane для проверки: "_s
                    // Wine has no text for ERROR_BAD_EXE_FORMAT.
                    + (runner.runsWindowsPrograms()
                               ? u"Process failed to start: Unknown error 0x000000c1."_s
                               : u"execvp: Exec format error"_s);
    // IFW's own lock and cache fail on Linux in a directory whose path is not ASCII; on Windows
    // they work, in TEMP in a user profile whose name is not ASCII.
    if (runner.runsWindowsPrograms()) {
        QTest::newRow("a user profile that is not ASCII, TEMP in it")
                << u"2.0.0"_s << u"Profile"_s << u"Profile/Users/Пётр Иванов/AppData/Local"_s
                << QByteArray("Components updated successfully.") << QString();
    } else {
        QTest::newRow("a temporary directory that is not ASCII")
                << u"2.0.0"_s << u"Temporary"_s << u"Временные файлы"_s
                << QByteArray("Cannot create lock file") << exited.arg(3);
    }
    // Forced and essential components go first and alone: the tool exits with 6 and asks to be
    // run again, and the helper does. The failing releases fail in that second run, after the
    // first has installed the runtime (and with it, a new maintenance tool) for good.
    const QByteArray again = "starting it again: run 2 of at most 4.";
    const QByteArray newTool = "Wrote the binary with the new replacement.";
    QTest::newRow("a forced update")
            << u"2.0.0-forced-update"_s << u"Forced"_s << QString() << again << QString();
    QTest::newRow("an essential runtime, then the client")
            << u"2.0.0-essential-runtime"_s << u"Essential"_s << QString() << again << QString();
    QTest::newRow("an essential runtime, then the client fails")
            << u"2.0.0-essential-runtime-failing-operation"_s << u"Essential failing"_s << QString()
            << again << exited.arg(3);
    QTest::newRow("a new maintenance tool")
            << u"2.0.0-new-maintenance-tool"_s << u"Tool"_s << QString() << newTool << QString();
    QTest::newRow("a new maintenance tool, then the client fails")
            << u"2.0.0-new-maintenance-tool-failing-operation"_s << u"Tool failing"_s << QString()
            << newTool << exited.arg(3);
}

void tst_UpdaterHelper::realToolUpdateEndsAsTheToolSays()
{
    QFETCH(QString, repository);
    QFETCH(QString, folder);
    QFETCH(QString, temporary);
    QFETCH(QByteArray, toolSays);
    QFETCH(QString, message);
    const QString product = IfwInstallation::product();
    if (product.isEmpty())
        QSKIP("the real maintenance tool's rows run in tst_updater_helper_ifw "
              "(UPDATER_IFW_PRODUCT)");
    // A folder on drive C: is one of the row's own there, removed with it.
    std::unique_ptr<QTemporaryDir> onDriveC;
    if (folder.startsWith(u"C:/")) {
        onDriveC = std::make_unique<QTemporaryDir>(qEnvironmentVariable("WINEPREFIX")
                                                   + u"/drive_c"_s + folder.mid(2) + u"-XXXXXX"_s);
        QVERIFY2(onDriveC->isValid(), qPrintable(onDriveC->errorString()));
    }
    const QString base = onDriveC ? onDriveC->path() : root->filePath(folder);
    const bool overHttp = repository.endsWith(u" over HTTP");
    if (overHttp)
        repository.chop(10);
    IfwInstallation installation(runner, product, base, repository);
    QString error;
    QVERIFY2(installation.install(error), qPrintable(error));
    if (!temporary.isEmpty()) // the runner keeps the temporary files in base/tmp
        installation.layout.base = root->filePath(temporary);
    const SampleInstallation &layout = installation.layout;
    // The program the stop-process repository names, running from the installation.
    SampleInstallation agentLayout = layout;
    agentLayout.launchRecord = root->filePath(u"agent.jsonl"_s);
    QProcess *agent = nullptr;
    if (repository == u"2.0.0-stop-process") {
        agent = runner.start(agentLayout, {u"--stay-running-ms=120000"_s}, QString(),
                             layout.directory + u"/bin/lumeral-agent"_s + runner.executableSuffix);
        QTRY_COMPARE(agentLayout.launches().size(), 1);
    }

    // The tool gets the repository as a URL, here of a path with spaces.
    QVERIFY(QFile::link(product + u"/repositories/"_s + repository,
                        base + u"/update repository"_s));
    const QString repositoryPath = runner.asProgramsSeeIt(base) + u"/update repository"_s;
    QStringList handOver
            = {u"update"_s,
               u"--helper="_s + runner.helper,
               u"--maintenance-tool="_s + runner.asProgramsSeeIt(installation.toolPath),
               u"--repository="_s + QUrl::fromLocalFile(repositoryPath).toString(),
               u"--handoff-file="_s + runner.asProgramsSeeIt(base) + u"/handoff"_s,
               u"--expected-version=2.0.0"_s,
               u"--argument=--restarted"_s};
    WebServer server;
    if (overHttp) {
        QVERIFY2(server.start(product + u"/repositories"_s, error), qPrintable(error));
        handOver[3] = u"--repository="_s + server.httpUrl(repository);
        // The version the helper expects comes from the signed manifest.
        handOver[5]
                = u"--trusted-key="_s + runner.asProgramsSeeIt(product + u"/keys/minisign.pub"_s);
    }
    // The tool installs the broken client; only the self-test finds it, after the tool's success.
    const bool selfTest = repository.endsWith(u"-broken-client");
    if (selfTest)
        handOver.append(u"--self-test"_s);
    QProcess *client = runner.start(layout, handOver);
    QVERIFY(client->waitForFinished(30000));
    QCOMPARE(client->exitCode(), 0);
    if (overHttp) {
        const QByteArray output = client->readAllStandardOutput();
        QVERIFY2(output.contains("Newer release 2.0.0 (")
                         && output.contains("Fetched release 2.0.0 ("),
                 output.constData());
        QTRY_VERIFY_WITH_TIMEOUT(log(layout).startsWith("Repository: file:///"), 30000);
        QVERIFY2(log(layout).split('\n').constFirst().contains("/update/mirror-"),
                 log(layout).constData());
    }
    if (message.isEmpty()) {
        QTRY_COMPARE_WITH_TIMEOUT(layout.launches().size(), 1, 90000);
        const QString found = installation.mismatchesWithPayload(repository);
        QVERIFY2(found.isEmpty(), qPrintable(found));
        QVERIFY(readFile(layout.directory + u"/components.xml"_s)
                        .contains("<Version>2.0.0</Version>"));
        QVERIFY(!readFile(layout.directory + u"/components.xml"_s)
                         .contains("<Version>1.0.0</Version>"));
        QCOMPARE(readFile(layout.handoff), QByteArray("continue"));
    } else {
        // Two runs of the tool, and a rollback, take up to 40 s under Wine.
        QTRY_COMPARE_WITH_TIMEOUT(readFile(layout.handoff), "error\n" + message.toUtf8(), 90000);
        QVERIFY(closeDetachedHelper());
        const QString found = installation.mismatchesWithInstalled(repository);
        QVERIFY2(found.isEmpty(), qPrintable(found));
        QTRY_COMPARE(layout.launches().size(), 1);
    }
    QCOMPARE(launchArguments(layout), QStringList {u"--restarted"_s});
    QVERIFY2(log(layout).contains("Installation backup created.\n")
                     && log(layout).contains(toolSays),
             log(layout).constData());
    QTRY_VERIFY2_WITH_TIMEOUT(runner.leftovers(layout).isEmpty(),
                              qPrintable(runner.leftovers(layout).join(u' ')), 10000);
    // The tool, a new one too, still runs.
    QProcess *tool = runner.start(layout, {u"--version"_s}, QString(), installation.toolPath);
    QVERIFY(tool->waitForFinished(60000));
    QVERIFY2(tool->exitCode() == 0, tool->readAll().constData());
    if (agent) {
        QCOMPARE(agent->state(), QProcess::Running);
        QCOMPARE(agentLayout.launches().size(), 1);
    }
}

void tst_UpdaterHelper::realToolCutAfterTheRemovalHeals()
{
    const QString product = IfwInstallation::product();
    if (product.isEmpty())
        QSKIP("the real maintenance tool's rows run in tst_updater_helper_ifw "
              "(UPDATER_IFW_PRODUCT)");
    if (!runner.runsWindowsPrograms())
        VERIFY_PROGRAMS(u"dex"_s);
    IfwInstallation installation(runner, product, root->filePath(u"Cut"_s), u"2.0.0"_s);
    QString error;
    QVERIFY2(installation.install(error), qPrintable(error));
    SampleInstallation &layout = installation.layout;
    const QString helper = helperCopyInProfile(layout, 199);
    QCOMPARE(runner.asProgramsSeeIt(helper).size(), 199);
    SampleInstallation cut = layout;
    cut.repository = longRepositoryUrl(layout.base, product + u"/repositories/2.0.0"_s);
    QCOMPARE(cut.repository.size(), 200);
    QProcess *first = runner.start(
            cut, cut.helperArguments(installation.toolPath, asClientArguments(FiveArguments)),
            QString(), helper);
    // The tool removes every file of 1.0.0 before it unpacks 2.0.0: the cut comes once the
    // client is gone, and takes the tool with the helper.
    const QDeadlineTimer deadline(60000);
    while (QFileInfo::exists(layout.clientPath) && !deadline.hasExpired())
        QThread::usleep(200);
    first->kill();
    QVERIFY(first->waitForFinished(10000));
    QVERIFY2(log(layout).contains("Removing deselected components...")
                     && !log(layout).contains("Components updated successfully."),
             log(layout).constData());
    QCOMPARE(runner.logonEntries(layout).size(), 1);

    healAtLogon(layout, cut.repository, FiveArguments);
    const QString found = installation.mismatchesWithInstalled();
    QVERIFY2(found.isEmpty(), qPrintable(found));
}

// A product installed for all users: by root, into a folder only root can write. The maintenance
// tool run by anyone else would stop ("Cannot elevate access rights while running from command
// line"), so the helper refuses the update before it asks the client to exit, and touches nothing.
void tst_UpdaterHelper::realToolInstallationOfRootIsRefusedToAUserBeforeReady()
{
    const QString product = IfwInstallation::product();
    if (product.isEmpty())
        QSKIP("the real maintenance tool's rows run in tst_updater_helper_ifw "
              "(UPDATER_IFW_PRODUCT)");
    if (runner.runsWindowsPrograms())
        QSKIP("Windows: Wine lets every program write everywhere; the elevation rows "
              "(installationForAllUsersIsUpdatedWithOneElevation) make the folder read-only");
    VERIFY_PROGRAMS(u"setpriv"_s);
    const passwd *nobody = ::getpwnam("nobody");
    QVERIFY(nobody);
    IfwInstallation installation(runner, product, root->filePath(u"All users"_s), u"2.0.0"_s);
    QString error;
    QVERIFY2(installation.install(error), qPrintable(error));
    SampleInstallation &layout = installation.layout;
    QCOMPARE(fileMode(layout.directory), 0755u);
    // The user may reach the installation, and has a temporary folder, a runtime folder and a
    // handoff file of its own.
    QVERIFY(setFileMode(root->path(), 0755));
    SampleInstallation user = layout;
    const QString home = layout.base + u"/nobody"_s;
    user.handoff = home + u"/handoff"_s;
    for (const QString &folder : {runner.temporaryDirectory(layout), home, home + u"/runtime"_s})
        QVERIFY(QDir().mkpath(folder)
                && ::chown(QFile::encodeName(folder), nobody->pw_uid, nobody->pw_gid) == 0);
    QVERIFY(setFileMode(home + u"/runtime"_s, 0700));
    const QStringList asRoot = std::exchange(runner.launcher,
                                             {u"setpriv"_s, u"--reuid=nobody"_s,
                                              u"--regid=nogroup"_s, u"--clear-groups"_s, u"env"_s,
                                              u"XDG_RUNTIME_DIR="_s + home + u"/runtime"_s,
                                              u"XDG_DATA_HOME="_s + home + u"/data"_s});
    // The client's check tells this user that the helper would refuse, and the client hands
    // nothing over.
    // The product lies below root's home: what the check reads is copied where the user may.
    const QString signedFiles = home + u"/repository"_s;
    QVERIFY(QDir().mkpath(signedFiles));
    for (const QString &name : {u"keys/minisign.pub"_s, u"repositories/2.0.0/release.manifest"_s,
                                u"repositories/2.0.0/release.manifest.minisig"_s})
        QVERIFY(QFile::copy(product + u'/' + name,
                            signedFiles + u'/' + QFileInfo(name).fileName()));
    const QString trustedKey = u"--trusted-key="_s + signedFiles + u"/minisign.pub"_s;
    const QString repository = u"--repository="_s + signedFiles;
    QProcess *check = runner.start(user, {u"check"_s, repository, trustedKey});
    QVERIFY(check->waitForFinished(30000));
    QVERIFY2(check->readAllStandardOutput().contains("The installation " + layout.directory.toUtf8()
                                                     + " needs administrator rights to be updated"),
             "the check did not tell");
    QProcess *refused = runner.start(user,
                                     {u"update"_s, u"--helper="_s + runner.helper,
                                      u"--maintenance-tool="_s + installation.toolPath, repository,
                                      trustedKey});
    QVERIFY(refused->waitForFinished(30000));
    QCOMPARE(refused->exitCode(), 7);
    QVERIFY(!QFileInfo::exists(runner.logPath(layout)));
    QProcess *helper = startHelper(
            user, {u"--handoff-file="_s + user.handoff, u"--expected-version=2.0.0"_s});
    runner.launcher = asRoot;
    // Acts as the client, which would answer a "ready" and exit.
    bool askedToExit = false;
    QDeadlineTimer deadline(30000);
    while (!readFile(user.handoff).startsWith("error\n") && !deadline.hasExpired()) {
        askedToExit = askedToExit || readFile(user.handoff) == "ready";
        QThread::msleep(5);
    }
    QVERIFY2(!askedToExit, "the client was asked to exit");
    const QByteArray message = rightsRefusal(layout.directory);
    QCOMPARE(readFile(user.handoff), "error\n" + message);
    QVERIFY(runner.closeAfterFailure({helper}));
    QVERIFY2(log(layout).contains("Update error: " + message)
                     && !log(layout).contains("Installation backup created."),
             log(layout).constData());
    QCOMPARE(runner.leftovers(layout), QStringList());
    QCOMPARE(layout.launches().size(), 0);
    // The tool appends to its InstallationLog.txt at every run: it did not run.
    QString found = installation.mismatchesWithInstalled();
    QVERIFY2(found.isEmpty(), qPrintable(found));

    // Root updates it as any installation, after the same check.
    QVERIFY(QFile::link(product + u"/repositories/2.0.0"_s, layout.base + u"/repository"_s));
    QProcess *client = runner.start(
            layout,
            {u"update"_s, u"--helper="_s + runner.helper,
             u"--maintenance-tool="_s + installation.toolPath,
             u"--repository="_s + QUrl::fromLocalFile(layout.base + u"/repository"_s).toString(),
             u"--handoff-file="_s + layout.handoff, trustedKey, u"--argument=--restarted"_s});
    QVERIFY(client->waitForFinished(30000));
    QVERIFY2(client->exitCode() == 0, client->readAllStandardOutput().constData());
    QTRY_COMPARE_WITH_TIMEOUT(layout.launches().size(), 1, 90000);
    found = installation.mismatchesWithPayload(u"2.0.0"_s);
    QVERIFY2(found.isEmpty(), qPrintable(found));
    QCOMPARE(launchArguments(layout), QStringList {u"--restarted"_s});
}

QTEST_GUILESS_MAIN(tst_UpdaterHelper)
#include "tst_updater_helper.moc"
