#include "sample_installer.h"
#include "sample_repository.h"
#include "tool_output.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QThread>

#include <cstdlib>

#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

namespace {

constexpr int UsageExitCode = 64;
constexpr int FailureExitCode = 1;
constexpr int StoppedExitCode = 3;
constexpr int WaitPollInterval = 20;
const char LingerOption[] = "--linger-ms";

const char Usage[] = "Usage: sample_maintenance_tool --cache-path DIR --set-temp-repository REPO "
                     "--default-answer --accept-licenses --confirm-command update\n";

// Accepts only the command line the update helper builds, value for value in its order.
bool parseArguments(const QStringList &arguments, QString &repository)
{
    if (arguments.size() != 8)
        return false;
    const bool shapeMatches = arguments.at(0) == QLatin1String("--cache-path")
            && !arguments.at(1).isEmpty()
            && arguments.at(2) == QLatin1String("--set-temp-repository")
            && !arguments.at(3).isEmpty() && arguments.at(4) == QLatin1String("--default-answer")
            && arguments.at(5) == QLatin1String("--accept-licenses")
            && arguments.at(6) == QLatin1String("--confirm-command")
            && arguments.at(7) == QLatin1String("update");
    if (shapeMatches)
        repository = arguments.at(3);
    return shapeMatches;
}

// Counts this run among the runs that share the cache directory, as the runs of one update do:
// 1 for the first, or when there is no directory to count in.
int countRun(const QString &cachePath)
{
    const QString path = QDir(cachePath).filePath(QStringLiteral("sample-tool-runs"));
    QFile earlier(path);
    const int run = earlier.open(QIODevice::ReadOnly) ? earlier.readAll().toInt() + 1 : 1;
    earlier.close(); // on Windows an open file cannot be replaced
    QSaveFile counter(path);
    if (counter.open(QIODevice::WriteOnly) && counter.write(QByteArray::number(run)) > 0)
        counter.commit();
    return run;
}

// One value per record line: backslashes, line feeds and carriage returns are escaped so that
// any argument fits on its line.
QByteArray recordValue(const QString &text)
{
    QByteArray bytes = text.toUtf8();
    bytes.replace('\\', "\\\\").replace('\n', "\\n").replace('\r', "\\r");
    return bytes;
}

void appendRecord(const QByteArray &lines)
{
    const QString recordPath = qEnvironmentVariable("SAMPLE_TOOL_RECORD");
    if (recordPath.isEmpty())
        return;
    QFile record(recordPath);
    if (record.open(QIODevice::WriteOnly | QIODevice::Append))
        record.write(lines);
}

void recordStart(const QStringList &arguments)
{
    QByteArray lines = "started " + QByteArray::number(QDateTime::currentMSecsSinceEpoch()) + '\n';
    for (const QString &argument : arguments)
        lines += "argument " + recordValue(argument) + '\n';
    lines += "working-directory " + recordValue(QDir::currentPath()) + '\n';
    appendRecord(lines);
}

void recordFinish(const QByteArray &outcome)
{
    appendRecord("finished " + QByteArray::number(QDateTime::currentMSecsSinceEpoch()) + ' '
                 + outcome + '\n');
}

int fail(ToolOutput &output, const QString &error)
{
    output.errorLine(QStringLiteral("Error: %1").arg(error));
    recordFinish("exit " + QByteArray::number(FailureExitCode));
    return FailureExitCode;
}

// Waits until the file exists. One that says "stop" ends the run there, as if the tool were
// ended from outside, so that a test can end a run it no longer waits for.
void waitForFile(ToolOutput &output, const QString &path)
{
    output.line(QStringLiteral("Waiting for %1").arg(path));
    while (!QFileInfo::exists(path))
        QThread::msleep(WaitPollInterval);
    QFile file(path);
    if (file.open(QIODevice::ReadOnly) && file.readAll().trimmed() == "stop") {
        recordFinish("stopped");
        std::exit(StoppedExitCode);
    }
}

[[noreturn]] void crash()
{
    recordFinish("crash");
#ifdef Q_OS_LINUX
    // A core file could land in the installation, which is the working directory.
    prctl(PR_SET_DUMPABLE, 0);
#endif
    std::abort();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = application.arguments().mid(1);

    // The process a run leaves running: it records its end, unless it is ended before.
    if (arguments.size() == 2 && arguments.at(0) == QLatin1String(LingerOption)) {
        QThread::msleep(arguments.at(1).toULong());
        appendRecord("lingered " + arguments.at(1).toUtf8() + '\n');
        return 0;
    }

    QString repositoryLocation;
    if (!parseArguments(arguments, repositoryLocation)) {
        fputs(Usage, stderr);
        return UsageExitCode;
    }

    recordStart(arguments);
    ToolOutput output;
    const QString installationDirectory = QDir::currentPath();

    SampleRepository repository;
    QString error;
    if (!SampleRepository::load(repositoryLocation, countRun(arguments.at(1)), repository, error))
        return fail(output, error);

    if (repository.startDelayMs > 0)
        QThread::msleep(ulong(repository.startDelayMs));

    output.line(QStringLiteral("Updating %1 from %2").arg(installationDirectory, repository.path));
    output.errorLine(QStringLiteral("Using repository %1").arg(repositoryLocation));

    if (repository.markers) {
        output.line(QStringLiteral("stopProcessesForUpdates"));
        output.errorLine(QStringLiteral("Update aborted!"));
    }

    const auto waitAt = [&](const QString &point) {
        if (!repository.waitForFile.isEmpty() && repository.waitPoint == point)
            waitForFile(output, repository.waitForFile);
    };
    waitAt(QStringLiteral("start"));

    if (repository.applyPayload) {
        SampleInstaller installer(installationDirectory, output);
        const auto waitHalfway = [&] { waitForFile(output, repository.waitForFile); };
        if (repository.removeOldFiles && !installer.removeOldFiles(error))
            return fail(output, error);
        waitAt(QStringLiteral("removed"));
        if (!installer.installPayload(repository, waitHalfway, error)
            || !installer.removePaths(repository.remove, error)
            || !installer.installComponents(repository, error))
            return fail(output, error);
    } else {
        output.line(QStringLiteral("Payload not applied"));
    }

    if (repository.floodBytes > 0) {
        output.flood(repository.floodBytes);
        output.line(QString());
    }

    waitAt(QStringLiteral("end"));

    if (repository.crash)
        crash();

    if (repository.leaveRunningMs > 0) {
        qint64 pid = 0;
        QProcess::startDetached(
                QCoreApplication::applicationFilePath(),
                {QLatin1String(LingerOption), QString::number(repository.leaveRunningMs)},
                QString(), &pid);
        output.line(QStringLiteral("Left running: process %1").arg(pid));
    }

    if (!repository.says.isEmpty())
        output.line(repository.says);
    output.line(QStringLiteral("Finished with exit code %1").arg(repository.exitCode));
    recordFinish("exit " + QByteArray::number(repository.exitCode));
    return repository.exitCode;
}
