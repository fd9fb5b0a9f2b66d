#include "update_elevation.h"

#include "atomic_replacement.h"
#include "helper_copy.h"
#include "shared_file_read.h"
#include "update_processes.h"
#include "update_rights.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <algorithm>
#include <utility>

namespace {

constexpr int PollInterval = 100;
constexpr qsizetype RunNameSize = 32;
// A state is a line and a message; a request, a handful of paths.
constexpr qint64 MaximumStateSize = 64 * 1024;
constexpr qint64 MaximumRequestSize = 64 * 1024;
// As much of the elevated part's log as the unelevated helper copies into its own.
constexpr qint64 MaximumLogSize = 16 * 1024 * 1024;
constexpr qsizetype MaximumRepositorySize = 4096;
// Runs whose files are older than this have long ended; their unelevated helper is gone.
constexpr qint64 RunFileLifetime = 24 * 60 * 60;

const QLatin1String RunFilePrefix("Kestrova-update-run-");

QString runFilePath(const QString &run, QLatin1String suffix)
{
    return QDir(UpdateRights::elevatedDirectory()).filePath(RunFilePrefix + run + suffix);
}

bool hasControlCharacters(const QString &text)
{
    return std::any_of(text.cbegin(), text.cend(),
                       [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
}

// Lexically, which is enough for clean paths in an installation only administrators can change:
// nobody else can have put a link into it.
bool liesBelow(const QString &path, const QString &directory)
{
    const QString prefix
            = directory.endsWith(QLatin1Char('/')) ? directory : directory + QLatin1Char('/');
    return path.size() > prefix.size() && path.toCaseFolded().startsWith(prefix.toCaseFolded());
}

// Every run leaves its state for the unelevated helper, which cannot remove it; the relay clears
// what earlier runs left.
void removeOldRunFiles(const QString &directory)
{
    const QDateTime oldest = QDateTime::currentDateTimeUtc().addSecs(-RunFileLifetime);
    const QFileInfoList files = QDir(directory).entryInfoList(
            {RunFilePrefix + QLatin1Char('*')}, QDir::Files | QDir::Hidden | QDir::System);
    for (const QFileInfo &file : files) {
        if (file.lastModified().toUTC() < oldest)
            QFile::remove(file.filePath());
    }
}

QJsonObject toJson(const UpdateElevation::Request &request)
{
    return {{QStringLiteral("maintenanceTool"), request.maintenanceToolPath},
            {QStringLiteral("repository"), request.repositoryUrl},
            {QStringLiteral("application"), request.applicationPath},
            {QStringLiteral("installation"), request.installationDirectory},
            {QStringLiteral("expectedVersion"), request.expectedVersion},
            {QStringLiteral("selfTestArgument"), request.selfTestArgument},
            {QStringLiteral("goFile"), request.goFilePath}};
}

bool fromJson(const QJsonObject &object, UpdateElevation::Request &request)
{
    const auto take = [&object](const char *name, QString &value) {
        const QJsonValue found = object.value(QLatin1String(name));
        value = found.toString();
        return found.isString();
    };
    return take("maintenanceTool", request.maintenanceToolPath)
            && take("repository", request.repositoryUrl)
            && take("application", request.applicationPath)
            && take("installation", request.installationDirectory)
            && take("expectedVersion", request.expectedVersion)
            && take("selfTestArgument", request.selfTestArgument)
            && take("goFile", request.goFilePath);
}

} // namespace

UpdateElevation::UpdateElevation(QObject *parent) : QObject(parent)
{
    timer.setInterval(PollInterval);
    timer.setTimerType(Qt::PreciseTimer);
    connect(&timer, &QTimer::timeout, this, [this] { poll(); });
}

UpdateElevation::~UpdateElevation()
{
    closeProcess(relayProcess);
}

bool UpdateElevation::start(const QString &installedHelper, const Request &request, QWidget *window,
                            QString &error)
{
    run = newRunName();
    const QStringList arguments = {
            QStringLiteral("--maintenance-tool=") + request.maintenanceToolPath,
            QStringLiteral("--repository=") + request.repositoryUrl,
            QStringLiteral("--application=") + request.applicationPath,
            QStringLiteral("--working-directory=") + request.installationDirectory,
            QStringLiteral("--expected-version=") + request.expectedVersion,
            QStringLiteral("--self-test-argument=") + request.selfTestArgument,
            QStringLiteral("--elevated-go-file=") + request.goFilePath,
            QStringLiteral("--elevated-part=") + run,
    };
    goFilePath = request.goFilePath;
    helperFileName = QFileInfo(installedHelper).fileName();
    QFile::remove(goFilePath);
    if (!launchElevated(installedHelper, arguments, request.installationDirectory, window,
                        relayProcess, error))
        return false;
    phase = Phase::Relaying;
    timer.start();
    return true;
}

void UpdateElevation::begin()
{
    QFile go(goFilePath);
    go.open(QIODevice::WriteOnly);
}

QByteArray UpdateElevation::elevatedLog() const
{
    // The folder's log is the last elevated part's, of this run only once it was prepared.
    QByteArray log;
    if (elevatedProcessId.isEmpty())
        return log;
    SharedFileRead::read(
            QDir(UpdateRights::elevatedDirectory()).filePath(QStringLiteral("Corvane-update.log")),
            MaximumLogSize, log);
    return log;
}

void UpdateElevation::serve(const QString &run, const QString &goFilePath)
{
    this->run = run;
    this->goFilePath = goFilePath;
    AtomicReplacement::replaceContents(
            stateFilePath(),
            "prepared " + QByteArray::number(QCoreApplication::applicationPid()) + '\n');
    phase = Phase::Serving;
    elapsed.start();
    timer.start();
}

void UpdateElevation::finish(const Outcome &outcome)
{
    timer.stop();
    phase = Phase::Done;
    const QByteArray state = outcome.kind == Outcome::Kind::Succeeded
            ? QByteArrayLiteral("succeeded\n")
            : "failed " + QByteArray(outcome.restartApplication ? "1" : "0") + '\n'
                    + outcome.message.toUtf8();
    AtomicReplacement::replaceContents(stateFilePath(), state);
}

void UpdateElevation::poll()
{
    if (phase == Phase::Serving) {
        // Only when to begin comes from here; the elevated part checks again that no client runs.
        if (QFileInfo::exists(goFilePath)) {
            timer.stop();
            emit mayBegin();
        } else if (elapsed.elapsed() > BeginTimeLimit - 1) {
            timer.stop();
            emit abandoned();
        }
        return;
    }

    int exitCode = 0;
    if (phase == Phase::Relaying) {
        if (!processEnded(relayProcess, exitCode))
            return;
        closeProcess(std::exchange(relayProcess, 0));
        phase = Phase::Preparing;
        elapsed.start();
        if (exitCode != 0) {
            QByteArray state;
            if (!readState(state) || !state.startsWith("failed ")) {
                end({Outcome::Kind::Failed,
                     tr("Не удалось начать обновление с правами администратора (код %1).")
                             .arg(exitCode),
                     false});
                return;
            }
        }
    }

    QByteArray state;
    const bool known = readState(state);
    if (known && state.startsWith("failed ")) {
        const qsizetype lineEnd = state.indexOf('\n');
        end({Outcome::Kind::Failed, QString::fromUtf8(state.mid(lineEnd + 1)),
             phase == Phase::Prepared && state.startsWith("failed 1\n")});
        return;
    }
    if (phase == Phase::Preparing) {
        if (known && state.startsWith("prepared ")) {
            elevatedProcessId = QString::fromLatin1(state.mid(9).trimmed());
            phase = Phase::Prepared;
            emit prepared();
        } else if (elapsed.elapsed() > PreparedTimeLimit - 1) {
            end({Outcome::Kind::Failed,
                 tr("Программа обновления с правами администратора не ответила."), false});
        }
        return;
    }
    if (known && state == "succeeded\n") {
        end({Outcome::Kind::Succeeded, QString(), false});
        return;
    }
    // Its last word may have come just before its end.
    const RunningProcesses running = UpdateProcesses::running(helperFileName);
    if (running.windowsError == 0 && !running.processIds.contains(elevatedProcessId)) {
        if (readState(state) && (state.startsWith("failed ") || state == "succeeded\n"))
            return;
        end({Outcome::Kind::Vanished, QString(), false});
    }
}

void UpdateElevation::end(const Outcome &outcome)
{
    timer.stop();
    phase = Phase::Done;
    emit ended(outcome);
}

QString UpdateElevation::stateFilePath() const
{
    return runFilePath(run, QLatin1String(".state"));
}

bool UpdateElevation::readState(QByteArray &state) const
{
    return SharedFileRead::read(stateFilePath(), MaximumStateSize, state);
}

int UpdateElevation::relay(const QString &run, const Request &request)
{
    const QString directory = UpdateRights::elevatedDirectory();
    QString error;
    // Without a run's name or its folder there is nowhere to say why.
    if (!isRunName(run) || directory.isEmpty() || !makeElevatedDirectory(directory, error))
        return 2;
    UpdateElevation reporter;
    reporter.run = run;
    const QString own = QCoreApplication::applicationFilePath();
    error = untrustedRequest(request, own);
    QString copy;
    if (error.isEmpty()) {
        removeOldRunFiles(directory);
        HelperCopy::removeOld(directory);
        copy = HelperCopy::make(own, directory);
        if (copy.isEmpty())
            error = QStringLiteral("cannot copy %1 into %2").arg(own, directory);
    }
    if (error.isEmpty()
        && !AtomicReplacement::replaceContents(runFilePath(run, QLatin1String(".request")),
                                               QJsonDocument(toJson(request)).toJson()))
        error = QStringLiteral("cannot write the request into ") + directory;
    if (error.isEmpty()
        && !QProcess::startDetached(copy, {QStringLiteral("--elevated-part=") + run},
                                    request.installationDirectory))
        error = QStringLiteral("cannot start ") + copy;
    if (error.isEmpty())
        return 0;
    reporter.finish({Outcome::Kind::Failed,
                     tr("Не удалось начать обновление с правами администратора: %1").arg(error),
                     false});
    return 1;
}

bool UpdateElevation::takeRequest(const QString &run, Request &request, QString &error)
{
    const QString path = runFilePath(run, QLatin1String(".request"));
    QByteArray content;
    if (!isRunName(run) || !runsAsElevatedPart()
        || !SharedFileRead::read(path, MaximumRequestSize, content)) {
        error = QStringLiteral("no request for the run ") + run;
        return false;
    }
    QFile::remove(path);
    const QJsonDocument document = QJsonDocument::fromJson(content);
    if (!document.isObject() || !fromJson(document.object(), request)) {
        error = QStringLiteral("a damaged request: ") + path;
        return false;
    }
    error = untrustedRequest(request);
    if (!error.isEmpty())
        return false;
    enterElevatedDirectory(UpdateRights::elevatedDirectory());
    return true;
}

bool UpdateElevation::runsAsElevatedPart()
{
    const QString directory = UpdateRights::elevatedDirectory();
    return !directory.isEmpty()
            && HelperCopy::liesInside(QCoreApplication::applicationFilePath(), directory);
}

QString UpdateElevation::untrustedRequest(const Request &request, const QString &ownPath)
{
    const auto clean = [](const QString &path) {
        return isLocalPath(path) && QDir::cleanPath(path) == path && !hasControlCharacters(path);
    };
    static const QRegularExpression version(QStringLiteral("^[0-9]{1,9}(\\.[0-9]{1,9}){0,7}$"));
    static const QRegularExpression argument(
            QStringLiteral("^-{0,2}[A-Za-z0-9][A-Za-z0-9._-]{0,63}$"));
    const QString &installation = request.installationDirectory;
    if (!clean(installation) || !QFileInfo(installation).isDir())
        return QStringLiteral("not an installation folder: ") + installation;
    if (!ownPath.isEmpty() && !HelperCopy::liesInside(ownPath, installation))
        return QStringLiteral("the helper does not belong to the installation: ") + ownPath;
    if (!clean(request.maintenanceToolPath) || !liesBelow(request.maintenanceToolPath, installation)
        || !QFileInfo(request.maintenanceToolPath).isFile())
        return QStringLiteral("not a maintenance tool of the installation: ")
                + request.maintenanceToolPath;
    // The client may be gone: an interrupted update can have removed it.
    if (!clean(request.applicationPath) || !liesBelow(request.applicationPath, installation))
        return QStringLiteral("not a client of the installation: ") + request.applicationPath;
    if (!clean(request.goFilePath))
        return QStringLiteral("not a local path: ") + request.goFilePath;
    if (!request.expectedVersion.isEmpty() && !version.match(request.expectedVersion).hasMatch())
        return QStringLiteral("not a version: ") + request.expectedVersion;
    if (!request.selfTestArgument.isEmpty() && !argument.match(request.selfTestArgument).hasMatch())
        return QStringLiteral("not a self-test argument: ") + request.selfTestArgument;
    // The repository goes to the tool as it is; once repositories are signed, the elevated part
    // copies the one it is given into its folder and verifies it there before the tool reads it.
    if (request.repositoryUrl.isEmpty() || request.repositoryUrl.size() > MaximumRepositorySize
        || hasControlCharacters(request.repositoryUrl))
        return QStringLiteral("not a repository: ") + request.repositoryUrl.left(200);
    return QString();
}

QString UpdateElevation::newRunName()
{
    quint32 words[RunNameSize / 8];
    QRandomGenerator::system()->fillRange(words);
    return QString::fromLatin1(
            QByteArray(reinterpret_cast<const char *>(words), sizeof(words)).toHex());
}

bool UpdateElevation::isRunName(const QString &text)
{
    static const QRegularExpression name(QStringLiteral("^[0-9a-f]{32}$"));
    return name.match(text).hasMatch();
}
