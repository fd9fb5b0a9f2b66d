#include "helper_runner.h"

#include "sample_installation.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QThread>

namespace {

QString fromEnvironment(const char *name, const QString &fallback)
{
    const QString value = qEnvironmentVariable(name);
    return value.isEmpty() ? fallback : QFileInfo(value).absoluteFilePath();
}

} // namespace

HelperRunner::HelperRunner(const QString &helper, const QString &tool, const QString &client)
    : helper(fromEnvironment("UPDATER_HELPER", helper)),
      tool(fromEnvironment("UPDATER_SAMPLE_TOOL", tool)),
      client(fromEnvironment("UPDATER_SAMPLE_CLIENT", client)),
      launcher(qEnvironmentVariable("UPDATER_LAUNCHER").split(u' ', Qt::SkipEmptyParts)),
      executableSuffix(this->helper.endsWith(QLatin1String(".exe"), Qt::CaseInsensitive)
                               ? QStringLiteral(".exe")
                               : QString())
{ }

HelperRunner::~HelperRunner()
{
    endAll();
    if (server.state() != QProcess::NotRunning) {
        server.kill();
        server.waitForFinished(5000);
    }
}

bool HelperRunner::startServer(QString &error)
{
    // Display numbers are shared by everything on the machine: start from one derived from the
    // process id and take the first that is free.
    const int first = 100 + int(QCoreApplication::applicationPid() % 400) * 2;
    for (int number = first; number < first + 40; ++number) {
        const QString socket = QStringLiteral("/tmp/.X11-unix/X%1").arg(number);
        if (QFileInfo::exists(QStringLiteral("/tmp/.X%1-lock").arg(number))
            || QFileInfo::exists(socket))
            continue;
        // -noreset: the server would reset whenever its last client leaves, and a helper that
        // connects meanwhile fails. -r: no auto-repeat of a key whose release comes late.
        server.start(QStringLiteral("Xvfb"),
                     {QStringLiteral(":%1").arg(number), QStringLiteral("-noreset"),
                      QStringLiteral("-r"), QStringLiteral("-screen"), QStringLiteral("0"),
                      QStringLiteral("1024x768x24"), QStringLiteral("-nolisten"),
                      QStringLiteral("tcp")});
        QDeadlineTimer deadline(10000);
        while (server.state() != QProcess::NotRunning && !QFileInfo::exists(socket)
               && !deadline.hasExpired())
            server.waitForFinished(20);
        if (server.state() == QProcess::Running && QFileInfo::exists(socket)) {
            display = QStringLiteral(":%1").arg(number);
            return runtime.isValid();
        }
        server.kill();
        server.waitForFinished(2000);
    }
    error = QStringLiteral("Xvfb could not be started: ") + server.errorString();
    return false;
}

QString HelperRunner::temporaryDirectory(const SampleInstallation &installation) const
{
    return installation.base + QStringLiteral("/tmp");
}

QString HelperRunner::asProgramsSeeIt(const QString &path) const
{
    return QFileInfo(path).canonicalFilePath();
}

QString HelperRunner::logPath(const SampleInstallation &installation) const
{
    return temporaryDirectory(installation) + QStringLiteral("/Corvane-update.log");
}

QString HelperRunner::lockFileName(const QString &clientPath) const
{
    const QString key = QFileInfo(clientPath).canonicalFilePath().toCaseFolded();
    return QStringLiteral("Kestrova-update-%1.lock")
            .arg(QString::fromLatin1(
                    QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha256).toHex()));
}

QStringList HelperRunner::leftovers(const SampleInstallation &installation) const
{
    QStringList entries = QDir(temporaryDirectory(installation))
                                  .entryList(QDir::AllEntries | QDir::Hidden | QDir::System
                                             | QDir::NoDotAndDotDot);
    entries.removeAll(QStringLiteral("Corvane-update.log"));
    return entries;
}

SampleInstallation HelperRunner::installation(const QString &base, const QString &name) const
{
    return SampleInstallation(base,
                              QStringLiteral("%1-%2%3")
                                      .arg(name)
                                      .arg(QCoreApplication::applicationPid())
                                      .arg(executableSuffix));
}

QProcessEnvironment HelperRunner::environment(const SampleInstallation &installation) const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), display);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.insert(QStringLiteral("TMPDIR"), temporaryDirectory(installation));
    // Qt makes its runtime directory in the temporary directory when none is set.
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
    environment.insert(QStringLiteral("SAMPLE_CLIENT_RECORD"), installation.launchRecord);
    environment.insert(QStringLiteral("SAMPLE_TOOL_RECORD"), installation.toolRecord);
    return environment;
}

QProcess *HelperRunner::start(const SampleInstallation &installation, const QStringList &arguments,
                              const QString &workingDirectory, QString program)
{
    QDir().mkpath(temporaryDirectory(installation));
    auto process = std::make_unique<QProcess>();
    process->setProcessEnvironment(environment(installation));
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->setWorkingDirectory(workingDirectory);
    if (program.isEmpty())
        program = installation.clientPath;
    const QStringList command = launcher + QStringList {program} + arguments;
    process->start(command.constFirst(), command.mid(1));
    process->waitForStarted();
    processes.push_back(std::move(process));
    return processes.back().get();
}

QString HelperRunner::xdotool(const QStringList &arguments) const
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), display);
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral("xdotool"), arguments);
    if (!process.waitForFinished(15000))
        process.kill();
    return QString::fromUtf8(process.readAllStandardOutput());
}

QStringList HelperRunner::windows(const QString &title) const
{
    return xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                    QStringLiteral("--name"), QLatin1Char('^') + title + QLatin1Char('$')})
            .split(u'\n', Qt::SkipEmptyParts);
}

bool HelperRunner::pressKey(const QString &title, const QString &key) const
{
    const QStringList found = windows(title);
    for (const QString &window : found) {
        // Keys go through XTEST to the focused window: Qt ignores events sent to a window
        // directly, as synthetic.
        xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), window});
        xdotool({QStringLiteral("key"), key});
    }
    return !found.isEmpty();
}

bool HelperRunner::closeAfterFailure(const QList<QProcess *> &helpers, const QString &closeKey,
                                     int exitCode)
{
    QDeadlineTimer deadline(40000);
    for (;;) {
        bool ended = true;
        for (QProcess *helper : helpers)
            ended = (helper->state() == QProcess::NotRunning || helper->waitForFinished(50))
                    && ended;
        if (ended)
            break;
        if (deadline.hasExpired()) {
            qWarning("the helpers did not end; windows open: %s",
                     qPrintable(xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                         QStringLiteral("--name"), QStringLiteral(".")})));
            return false;
        }
        if (pressKey(ErrorBoxTitle, QStringLiteral("Return"))) {
            // A key that reaches a box still being mapped may be lost: give it time to go
            // before pressing again, so that a second press never lands elsewhere.
            QDeadlineTimer pause(1500);
            while (!windows(ErrorBoxTitle).isEmpty() && !pause.hasExpired())
                QThread::msleep(50);
        } else if (pressKey(DialogTitle, closeKey)) {
            QThread::msleep(100);
        }
    }
    for (QProcess *helper : helpers) {
        if (helper->exitStatus() != QProcess::NormalExit || helper->exitCode() != exitCode)
            return false;
    }
    return true;
}

void HelperRunner::endAll()
{
    for (const auto &process : processes) {
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(5000);
        }
    }
    processes.clear();
}
