#include "fetch_window.h"
#include "update_check.h"
#include "update_client.h"
#include "update_fetch.h"
#include "update_handoff.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QApplication>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#ifdef Q_OS_WIN
#include <windows.h>
#endif
#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

namespace {

enum ExitCode {
    Success = 0,
    HelperNotStarted = 1,
    HelperFailed = 2,
    HandoffTimedOut = 3,
    HandoffNotWritten = 4,
    InterruptedUpdateNotRecovered = 5,
    CheckFailed = 6,
    NeedsAdministratorRights = 7,
    FetchFailed = 8,
    UsageError = 64,
};

// What the helper starts the updated client with when the update asks for a self-test.
const QString SelfTestArgument = QStringLiteral("--self-test");
// Beside the executable, it tells the self-test how to fail: "fail", "crash", "hang" or "hang with
// a child". The binary is the same in every version; a release puts this file beside it.
const QString SelfTestOutcomeFile = QStringLiteral("sample-self-test.txt");

void print(const QString &text)
{
    fputs(qPrintable(text + QLatin1Char('\n')), stdout);
    fflush(stdout);
}

void printError(const QString &text)
{
    fputs(qPrintable(text + QLatin1Char('\n')), stderr);
}

void stayRunning(qint64 milliseconds)
{
    if (milliseconds <= 0)
        return;
    print(QStringLiteral("Staying alive for %1 ms").arg(milliseconds));
    QThread::msleep(ulong(milliseconds));
}

bool readMilliseconds(const QCommandLineParser &parser, const QCommandLineOption &option,
                      qint64 &milliseconds)
{
    if (!parser.isSet(option))
        return true;
    bool ok = false;
    milliseconds = parser.value(option).toLongLong(&ok);
    if (ok && milliseconds >= 0)
        return true;
    printError(QStringLiteral("--%1 wants a number of milliseconds.").arg(option.names().first()));
    return false;
}

QString failureName(UpdateFailure failure)
{
    switch (failure) {
    case UpdateFailure::None:
        break;
    case UpdateFailure::Network:
        return QStringLiteral("network");
    case UpdateFailure::Untrusted:
        return QStringLiteral("untrusted");
    case UpdateFailure::Expired:
        return QStringLiteral("expired");
    case UpdateFailure::Rollback:
        return QStringLiteral("rollback");
    case UpdateFailure::Malformed:
        return QStringLiteral("malformed");
    case UpdateFailure::UnsupportedFormat:
        return QStringLiteral("unsupported format");
    case UpdateFailure::Installation:
        return QStringLiteral("installation");
    case UpdateFailure::Storage:
        return QStringLiteral("storage");
    }
    return QStringLiteral("none");
}

// What a client does before it hands an update over: asks the repository, and believes only the
// publisher's signature. The check runs in an event loop of its own here; a client with a window
// runs it in its main loop.
bool checkRelease(const UpdateHelperSettings &helperSettings, const QStringList &keyFiles,
                  const QString &caFile, UpdateCheckResult &result)
{
    UpdateCheckSettings settings;
    settings.repositoryUrl = helperSettings.repositoryUrl;
    settings.applicationPath = helperSettings.applicationPath;
    settings.installationDirectory = helperSettings.workingDirectory;
    for (const QString &keyFile : keyFiles) {
        QFile file(keyFile);
        if (!file.open(QIODevice::ReadOnly)) {
            printError(QStringLiteral("Cannot read the trusted key %1").arg(keyFile));
            return false;
        }
        settings.trustedKeys.append(QString::fromUtf8(file.readAll()));
    }
    if (!caFile.isEmpty())
        settings.caCertificates = QSslCertificate::fromPath(caFile);

    UpdateCheck check(settings);
    QEventLoop loop;
    QObject::connect(&check, &UpdateCheck::finished, &loop, &QEventLoop::quit);
    check.start();
    loop.exec();
    result = check.result();
    switch (result.outcome) {
    case UpdateCheckResult::Outcome::NewerRelease:
        print(QStringLiteral("Newer release %1 (%2 bytes), installed %3")
                      .arg(result.version)
                      .arg(result.downloadSize)
                      .arg(result.installedVersion));
        if (result.access == UpdateCheckResult::Access::Denied)
            print(QStringLiteral("The installation %1 needs administrator rights to be updated")
                          .arg(settings.installationDirectory));
        else if (result.access == UpdateCheckResult::Access::Elevated)
            print(QStringLiteral("The update will ask for administrator rights once"));
        return true;
    case UpdateCheckResult::Outcome::UpToDate:
        print(QStringLiteral("Up to date: %1").arg(result.version));
        return true;
    case UpdateCheckResult::Outcome::Pending:
    case UpdateCheckResult::Outcome::Failed:
        break;
    }
    print(QStringLiteral("Update check failed (%1): %2")
                  .arg(failureName(result.failure), result.errorString));
    return false;
}

// "check": the check alone, for the installation of this executable; it says what it found.
int runCheck(const QStringList &arguments)
{
    const QCommandLineOption repositoryOption(QStringLiteral("repository"), QString(),
                                              QStringLiteral("url"));
    const QCommandLineOption trustedKeyOption(QStringLiteral("trusted-key"), QString(),
                                              QStringLiteral("file"));
    const QCommandLineOption caOption(QStringLiteral("ca-certificate"), QString(),
                                      QStringLiteral("file"));
    QCommandLineParser parser;
    parser.addOptions({repositoryOption, trustedKeyOption, caOption});
    if (!parser.parse(arguments) || !parser.isSet(repositoryOption)
        || !parser.isSet(trustedKeyOption)) {
        printError(QStringLiteral("check needs --repository and --trusted-key."));
        return UsageError;
    }
    UpdateHelperSettings settings;
    settings.repositoryUrl = parser.value(repositoryOption);
    settings.applicationPath = QCoreApplication::applicationFilePath();
    settings.workingDirectory = QCoreApplication::applicationDirPath();
    UpdateCheckResult result;
    return checkRelease(settings, parser.values(trustedKeyOption), parser.value(caOption), result)
            ? Success
            : CheckFailed;
}

// After the check: the whole release into the installation's mirror while the client runs, then
// the mirror is what the helper installs from. With `window`, the fetch is shown.
bool fetchRelease(UpdateHelperSettings &helperSettings, const UpdateCheckResult &check,
                  const QString &caFile, bool window)
{
    UpdateFetchSettings settings;
    settings.repositoryUrl = helperSettings.repositoryUrl;
    settings.applicationPath = helperSettings.applicationPath;
    if (!caFile.isEmpty())
        settings.caCertificates = QSslCertificate::fromPath(caFile);
    UpdateFetch fetch(settings, check);
    std::unique_ptr<FetchWindow> shown;
    if (window) {
        shown = std::make_unique<FetchWindow>(check.version);
        shown->show();
        QObject::connect(&fetch, &UpdateFetch::progress, shown.get(), &FetchWindow::showProgress);
    }
    QEventLoop loop;
    QObject::connect(&fetch, &UpdateFetch::finished, &loop, &QEventLoop::quit);
    QElapsedTimer timer;
    timer.start();
    fetch.start();
    loop.exec();
    const UpdateFetchResult &result = fetch.result();
    if (result.outcome != UpdateFetchResult::Outcome::Fetched) {
        print(QStringLiteral("Update fetch failed (%1): %2")
                      .arg(failureName(result.failure), result.errorString));
        return false;
    }
    print(QStringLiteral("Fetched release %1 (%2 bytes) in %3 ms into %4")
                  .arg(result.version)
                  .arg(fetch.bytesTotal())
                  .arg(timer.elapsed())
                  .arg(result.repositoryUrl));
    if (shown) {
        shown->showFetched();
        QCoreApplication::processEvents();
    }
    helperSettings.repositoryUrl = result.repositoryUrl;
    return true;
}

int runUpdate(const QStringList &arguments)
{
    const QCommandLineOption helperOption(QStringLiteral("helper"), QString(),
                                          QStringLiteral("path"));
    const QCommandLineOption toolOption(QStringLiteral("maintenance-tool"), QString(),
                                        QStringLiteral("path"));
    const QCommandLineOption repositoryOption(QStringLiteral("repository"), QString(),
                                              QStringLiteral("url"));
    const QCommandLineOption handoffOption(QStringLiteral("handoff-file"), QString(),
                                           QStringLiteral("path"));
    const QCommandLineOption versionOption(QStringLiteral("expected-version"), QString(),
                                           QStringLiteral("version"));
    const QCommandLineOption argumentOption(QStringLiteral("argument"), QString(),
                                            QStringLiteral("argument"));
    const QCommandLineOption noAnswerOption(QStringLiteral("no-answer"), QString());
    const QCommandLineOption answerDelayOption(QStringLiteral("answer-delay-ms"), QString(),
                                               QStringLiteral("ms"));
    const QCommandLineOption answerTimeoutOption(QStringLiteral("answer-timeout-ms"), QString(),
                                                 QStringLiteral("ms"));
    const QCommandLineOption stayRunningOption(QStringLiteral("stay-running-ms"), QString(),
                                               QStringLiteral("ms"));
    const QCommandLineOption selfTestOption(QStringLiteral("self-test"), QString());
    const QCommandLineOption trustedKeyOption(QStringLiteral("trusted-key"), QString(),
                                              QStringLiteral("file"));
    const QCommandLineOption caOption(QStringLiteral("ca-certificate"), QString(),
                                      QStringLiteral("file"));
    const QCommandLineOption noFetchOption(QStringLiteral("no-fetch"), QString());
    const QCommandLineOption windowOption(QStringLiteral("window"), QString());

    QCommandLineParser parser;
    parser.addOptions({helperOption, toolOption, repositoryOption, handoffOption, versionOption,
                       argumentOption, noAnswerOption, answerDelayOption, answerTimeoutOption,
                       stayRunningOption, selfTestOption, trustedKeyOption, caOption, noFetchOption,
                       windowOption});
    qint64 answerDelay = 0;
    qint64 answerTimeout = UpdateHandoff::DefaultTimeout;
    qint64 stayRunningTime = 0;
    if (!parser.parse(arguments)) {
        printError(parser.errorText());
        return UsageError;
    }
    if (!parser.isSet(helperOption) || !parser.isSet(toolOption)
        || !parser.isSet(repositoryOption)) {
        printError(QStringLiteral("update needs --helper, --maintenance-tool and --repository."));
        return UsageError;
    }
    if (!readMilliseconds(parser, answerDelayOption, answerDelay)
        || !readMilliseconds(parser, answerTimeoutOption, answerTimeout)
        || !readMilliseconds(parser, stayRunningOption, stayRunningTime))
        return UsageError;

    UpdateHelperSettings settings;
    settings.helperPath = parser.value(helperOption);
    settings.maintenanceToolPath = parser.value(toolOption);
    settings.repositoryUrl = parser.value(repositoryOption);
    settings.applicationPath = QCoreApplication::applicationFilePath();
    settings.workingDirectory = QCoreApplication::applicationDirPath();
    settings.handoffFilePath = parser.value(handoffOption);
    settings.applicationArguments = parser.values(argumentOption);
    settings.expectedVersion = parser.value(versionOption);
    if (parser.isSet(selfTestOption))
        settings.selfTestArgument = SelfTestArgument;

    const bool interrupted = UpdateClient::interruptedUpdatePending(settings.applicationPath);
    if (interrupted) {
        print(QStringLiteral("An interrupted update is pending: the helper restores the "
                             "installation first"));
    } else if (parser.isSet(trustedKeyOption)) {
        // Only a newer release that the publisher signed is handed over, with its version for
        // the helper to check once it is installed.
        UpdateCheckResult result;
        if (!checkRelease(settings, parser.values(trustedKeyOption), parser.value(caOption),
                          result))
            return CheckFailed;
        if (result.outcome == UpdateCheckResult::Outcome::UpToDate)
            return Success;
        // Said once, instead of closing the client for an update the helper would refuse.
        if (result.access == UpdateCheckResult::Access::Denied)
            return NeedsAdministratorRights;
        if (settings.expectedVersion.isEmpty())
            settings.expectedVersion = result.version;
        if (!parser.isSet(noFetchOption)
            && !fetchRelease(settings, result, parser.value(caOption), parser.isSet(windowOption)))
            return FetchFailed;
    }
    print(QStringLiteral("Starting %1 %2")
                  .arg(settings.helperPath,
                       UpdateClient::helperArguments(settings).join(QLatin1Char(' '))));
    QString error;
    qint64 helperProcessId = 0;
    if (!UpdateClient::startHelper(settings, error, &helperProcessId)) {
        printError(error);
        return HelperNotStarted;
    }
    print(QStringLiteral("Helper started, process %1").arg(helperProcessId));

    int exitCode = Success;
    if (settings.handoffFilePath.isEmpty()) {
        print(QStringLiteral("No handoff file"));
    } else if (parser.isSet(noAnswerOption)) {
        print(QStringLiteral("Not answering the handoff"));
    } else {
        if (answerDelay > 0) {
            print(QStringLiteral("Waiting %1 ms before answering").arg(answerDelay));
            QThread::msleep(ulong(answerDelay));
        }
        print(QStringLiteral("Waiting for the helper to be ready"));
        const HandoffResult result
                = UpdateHandoff::answer(settings.handoffFilePath, int(answerTimeout));
        switch (result.outcome) {
        case HandoffOutcome::Confirmed:
            print(QStringLiteral("Handoff confirmed"));
            break;
        case HandoffOutcome::HelperFailed:
            print(QStringLiteral("Update failed: %1").arg(result.errorMessage));
            exitCode = HelperFailed;
            break;
        case HandoffOutcome::WriteFailed:
            printError(QStringLiteral("Cannot write the handoff answer"));
            exitCode = HandoffNotWritten;
            break;
        case HandoffOutcome::TimedOut:
        case HandoffOutcome::Pending:
            printError(QStringLiteral("The helper did not become ready"));
            exitCode = HandoffTimedOut;
            break;
        }
    }

    stayRunning(stayRunningTime);
    return exitCode;
}

// The value after `name` in the relaunch arguments, given as "name value" or "name=value".
QString argumentValue(const QStringList &arguments, const QString &name)
{
    const QString prefix = name + QLatin1Char('=');
    QString value;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        if (arguments.at(i) == name && i + 1 < arguments.size())
            value = arguments.at(++i);
        else if (arguments.at(i).startsWith(prefix))
            value = arguments.at(i).mid(prefix.size());
    }
    return value;
}

void appendLaunchRecord(const QJsonObject &record)
{
    const QString recordPath = qEnvironmentVariable("SAMPLE_CLIENT_RECORD");
    if (recordPath.isEmpty())
        return;
    QFile file(recordPath);
    // One write per record, in append mode, so records of concurrent launches never interleave.
    if (file.open(QIODevice::WriteOnly | QIODevice::Append))
        file.write(QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n');
}

// What a client does at its start when an update was interrupted: nothing else before the
// helper has put the installation in order. The sample takes the helper's settings from its own
// arguments (--helper, --maintenance-tool, --repository, and --handoff-file and
// --expected-version if given) and passes every argument on, so the client the helper starts
// afterwards gets them again.
int recoverInterruptedUpdate(const QStringList &arguments)
{
    const QString helper = argumentValue(arguments, QStringLiteral("--helper"));
    const QString tool = argumentValue(arguments, QStringLiteral("--maintenance-tool"));
    const QString repository = argumentValue(arguments, QStringLiteral("--repository"));
    if (helper.isEmpty() || tool.isEmpty() || repository.isEmpty()) {
        printError(QStringLiteral("An interrupted update is pending, and no --helper, "
                                  "--maintenance-tool and --repository to recover it with"));
        return InterruptedUpdateNotRecovered;
    }
    print(QStringLiteral("An interrupted update is pending: handing it to the helper"));
    QStringList update = {QStringLiteral("update"),
                          QStringLiteral("--helper"),
                          helper,
                          QStringLiteral("--maintenance-tool"),
                          tool,
                          QStringLiteral("--repository"),
                          repository};
    for (const char *name : {"--handoff-file", "--expected-version"}) {
        const QString value = argumentValue(arguments, QLatin1String(name));
        if (!value.isEmpty())
            update << QLatin1String(name) << value;
    }
    for (const QString &argument : arguments)
        update << QStringLiteral("--argument=") + argument;
    return runUpdate(update);
}

QJsonObject launchRecord()
{
    QJsonObject record;
    record.insert(QStringLiteral("time"), double(QDateTime::currentMSecsSinceEpoch()));
    record.insert(QStringLiteral("pid"), double(QCoreApplication::applicationPid()));
    record.insert(QStringLiteral("program"), QCoreApplication::applicationFilePath());
    record.insert(QStringLiteral("workingDirectory"), QDir::currentPath());
    record.insert(QStringLiteral("temporaryDirectory"), QDir::tempPath());
    record.insert(QStringLiteral("arguments"),
                  QJsonArray::fromStringList(QCoreApplication::arguments().mid(1)));
    return record;
}

[[noreturn]] void crash()
{
#ifdef Q_OS_WIN
    // abort() ends a Windows program with exit code 3; a crash there is an exception.
    RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
#endif
#ifdef Q_OS_LINUX
    // A core file could land in the installation, which is the working directory.
    prctl(PR_SET_DUMPABLE, 0);
#endif
    std::abort();
}

// The sample's own part of the self-test: it records the launch, then does what the file beside
// it says. A hanging one with a child first starts a copy of itself that hangs too, as a client
// may leave a process of its own behind.
bool checkSelf(QString &error)
{
    appendLaunchRecord(launchRecord());
    QFile file(QDir(QCoreApplication::applicationDirPath()).filePath(SelfTestOutcomeFile));
    const QByteArray outcome = file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : "";
    if (outcome == "fail") {
        error = QStringLiteral("%1 says fail").arg(SelfTestOutcomeFile);
        return false;
    }
    if (outcome == "crash")
        crash();
    if (outcome.startsWith("hang")) {
        if (outcome == "hang with a child"
            && !qEnvironmentVariableIsSet("SAMPLE_SELF_TEST_CHILD")) {
            qputenv("SAMPLE_SELF_TEST_CHILD", "1");
            auto *child = new QProcess(QCoreApplication::instance());
            child->start(QCoreApplication::applicationFilePath(), {SelfTestArgument});
            child->waitForStarted();
            print(QStringLiteral("Hanging, with a child, process %1").arg(child->processId()));
        }
        for (;;)
            QThread::sleep(60);
    }
    return true;
}

int runLaunched(const QStringList &arguments)
{
    const bool interrupted
            = UpdateClient::interruptedUpdatePending(QCoreApplication::applicationFilePath());

    QJsonObject record = launchRecord();
    if (interrupted) {
        record.insert(QStringLiteral("interruptedUpdatePending"), true);
        appendLaunchRecord(record);
        return recoverInterruptedUpdate(arguments);
    }
    print(QStringLiteral("Launched in %1 with %2 argument(s)")
                  .arg(QDir::currentPath())
                  .arg(arguments.size()));

    QString handoffFilePath = argumentValue(arguments, QStringLiteral("--handoff-file"));
    if (handoffFilePath.isEmpty())
        handoffFilePath = qEnvironmentVariable("SAMPLE_CLIENT_HANDOFF");
    QString message;
    if (!handoffFilePath.isEmpty() && UpdateHandoff::readError(handoffFilePath, message)) {
        print(QStringLiteral("The last update failed: %1").arg(message));
        record.insert(QStringLiteral("handoffError"), message);
    }
    appendLaunchRecord(record);

    qint64 stayRunningTime = 0;
    const QString stayRunningText = argumentValue(arguments, QStringLiteral("--stay-running-ms"));
    if (!stayRunningText.isEmpty())
        stayRunningTime = stayRunningText.toLongLong();
    stayRunning(stayRunningTime);
    return Success;
}

} // namespace

int main(int argc, char **argv)
{
    // Before anything else: while the helper tests this client, its update is still in progress.
    const auto makeApplication
            = [](int &argc, char **argv) { return std::make_unique<QGuiApplication>(argc, argv); };
    if (const std::optional<int> exitCode
        = UpdateClient::runSelfTest(argc, argv, SelfTestArgument, makeApplication, checkSelf))
        return *exitCode;

    // A window only where the fetch is to be shown; otherwise no display is needed.
    const bool window = std::any_of(argv, argv + argc, [](const char *argument) {
        return qstrcmp(argument, "--window") == 0;
    });
    std::unique_ptr<QCoreApplication> application = window
            ? std::make_unique<QApplication>(argc, argv)
            : std::make_unique<QCoreApplication>(argc, argv);
    const QStringList arguments = application->arguments();
    if (arguments.size() > 1 && arguments.at(1) == QLatin1String("update"))
        return runUpdate(arguments.mid(1));
    if (arguments.size() > 1 && arguments.at(1) == QLatin1String("check"))
        return runCheck(arguments.mid(1));
    return runLaunched(arguments.mid(1));
}
