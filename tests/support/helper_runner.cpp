#include "helper_runner.h"

#include "sample_installation.h"
#include "test_files.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QThread>

using namespace Qt::StringLiterals;

namespace {

QString fromEnvironment(const char *name, const QString &fallback)
{
    const QString value = qEnvironmentVariable(name);
    return value.isEmpty() ? fallback : QFileInfo(value).absoluteFilePath();
}

} // namespace

QString missingPrograms(const QStringList &names)
{
    QStringList missing;
    for (const QString &name : names) {
        if (QStandardPaths::findExecutable(name).isEmpty())
            missing.append(name);
    }
    return missing.join(u", "_s);
}

HelperRunner::HelperRunner(const QString &helper, const QString &tool, const QString &client)
    : helper(fromEnvironment("UPDATER_HELPER", helper)),
      tool(fromEnvironment("UPDATER_SAMPLE_TOOL", tool)),
      client(fromEnvironment("UPDATER_SAMPLE_CLIENT", client)),
      launcher(qEnvironmentVariable("UPDATER_LAUNCHER").split(u' ', Qt::SkipEmptyParts)),
      executableSuffix(this->helper.endsWith(QLatin1String(".exe"), Qt::CaseInsensitive)
                               ? u".exe"_s
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
    QStringList programs = {u"Xvfb"_s, u"xdotool"_s};
    if (!launcher.isEmpty())
        programs.append(launcher.constFirst());
    if (!qEnvironmentVariableIsEmpty("UPDATER_SCREENSHOTS"))
        programs.append(u"import"_s);
    error = u"not installed: "_s + missingPrograms(programs);
    if (!error.endsWith(u": "_s))
        return false;
    // Xvfb takes a free display itself and names it on the descriptor given once it is ready.
    // -noreset: the server would reset whenever its last client leaves, and a helper that
    // connects meanwhile fails. -r: no auto-repeat of a key whose release comes late.
    server.start(u"Xvfb"_s,
                 {u"-displayfd"_s, u"1"_s, u"-noreset"_s, u"-r"_s, u"-screen"_s, u"0"_s,
                  u"1024x768x24"_s, u"-nolisten"_s, u"tcp"_s});
    while (server.waitForReadyRead(15000) && !server.canReadLine()) { }
    display = QLatin1Char(':') + QString::fromLatin1(server.readLine().trimmed());
    qputenv("DISPLAY", display.toLatin1()); // for xdotool
    error = u"Xvfb did not start: "_s + server.errorString();
    return display.size() > 1 && runtime.isValid();
}

QString HelperRunner::temporaryDirectory(const SampleInstallation &installation) const
{
    return installation.base + u"/tmp"_s;
}

QString HelperRunner::asProgramsSeeIt(const QString &path) const
{
    // Wine maps its prefix's drive_c to C: and the Unix root to Z:, and Windows programs report
    // their paths that way.
    const QString canonical = QFileInfo(path).canonicalFilePath();
    if (!runsWindowsPrograms())
        return canonical;
    const QString driveC
            = QFileInfo(qEnvironmentVariable("WINEPREFIX") + u"/drive_c"_s).canonicalFilePath();
    return !driveC.isEmpty() && canonical.startsWith(driveC + u'/')
            ? u"C:"_s + canonical.mid(driveC.size())
            : u"Z:"_s + canonical;
}

QString HelperRunner::logPath(const SampleInstallation &installation) const
{
    return temporaryDirectory(installation) + u"/Corvane-update.log"_s;
}

QString HelperRunner::lockFileName(const QString &clientPath) const
{
    const QString key = asProgramsSeeIt(clientPath).toCaseFolded();
    return u"Kestrova-update-%1.lock"_s.arg(QString::fromLatin1(
            QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha256).toHex()));
}

QStringList HelperRunner::leftovers(const SampleInstallation &installation) const
{
    QStringList entries = QDir(temporaryDirectory(installation))
                                  .entryList(QDir::AllEntries | QDir::Hidden | QDir::System
                                             | QDir::NoDotAndDotDot);
    entries.removeAll(u"Corvane-update.log"_s);
    return entries;
}

QMap<QString, QString> HelperRunner::logonEntries(const SampleInstallation &installation) const
{
    QMap<QString, QString> entries;
    if (!runsWindowsPrograms()) {
        const QDir autostart(installation.base + u"/config/autostart"_s);
        for (const QString &name : autostart.entryList(QDir::Files)) {
            const QStringList lines
                    = QString::fromUtf8(readFile(autostart.filePath(name))).split(u'\n');
            for (const QString &line : lines) {
                if (line.startsWith(u"Exec="_s))
                    entries.insert(name, line.mid(5));
            }
        }
        return entries;
    }
    // reg query prints in the console's code page; an export keeps every character (UTF-16).
    const QString exported = runtime.filePath(u"RunOnce.reg"_s);
    QFile::remove(exported);
    QProcess reg;
    reg.setProcessEnvironment(environment(installation));
    reg.start(launcher.constFirst(),
              launcher.mid(1)
                      + QStringList {u"reg"_s, u"export"_s, RunOnceKey,
                                     u"Z:"_s + QDir::toNativeSeparators(exported), u"/y"_s});
    reg.waitForFinished(30000);
    const QByteArray bytes = readFile(exported);
    const QString text = QString::fromUtf16(reinterpret_cast<const char16_t *>(bytes.constData()),
                                            bytes.size() / 2);
    // The prefix is shared by every installation; an entry is named after its installation's
    // key: the client's path as the programs see it, from its nearest folder that still exists.
    QString existing = QFileInfo(installation.clientPath).absolutePath();
    QString rest = u'/' + QFileInfo(installation.clientPath).fileName();
    while (!QFileInfo::exists(existing)) {
        rest.prepend(u'/' + QFileInfo(existing).fileName());
        existing = QFileInfo(existing).absolutePath();
    }
    const QString key = (asProgramsSeeIt(existing) + rest).toCaseFolded();
    const QString name
            = u"Kestrova-update-"_s
            + QString::fromLatin1(
                      QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha256).toHex());
    // "NAME"="COMMAND" per value, a backslash before each quote and backslash of the command
    const QString prefix = u'"' + name + u"\"=\""_s;
    for (QString line : text.split(u'\n')) {
        if (line.endsWith(u'\r'))
            line.chop(1);
        if (!line.startsWith(prefix) || !line.endsWith(u'"'))
            continue;
        QString command;
        for (qsizetype i = prefix.size(); i + 1 < line.size(); ++i)
            command += line.at(line.at(i) == u'\\' ? ++i : i);
        entries.insert(name, command);
    }
    return entries;
}

QString HelperRunner::localDataDirectory(const SampleInstallation &installation) const
{
    return installation.profile
            + (runsWindowsPrograms() ? u"/AppData/Local"_s : u"/.local/share"_s);
}

SampleInstallation HelperRunner::installation(const QString &base, const QString &name) const
{
    return SampleInstallation(
            base,
            u"%1-%2%3"_s.arg(name).arg(QCoreApplication::applicationPid()).arg(executableSuffix));
}

QProcessEnvironment HelperRunner::environment(const SampleInstallation &installation) const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"DISPLAY"_s, display);
    environment.insert(u"QT_QPA_PLATFORM"_s, u"xcb"_s);
    // Wine keeps the Unix TEMP to itself, and its own Unix side would leave files in TMPDIR; the
    // prefix (tests/support/wine_prefix.sh) takes the Windows TEMP and TMP from UPDATER_TEMP.
    environment.insert(runsWindowsPrograms() ? u"UPDATER_TEMP"_s : u"TMPDIR"_s,
                       temporaryDirectory(installation));
    // Qt makes its runtime directory in the temporary directory when none is set.
    environment.insert(u"XDG_RUNTIME_DIR"_s, runtime.path());
    // Logon entries go to a folder of the installation's own, and a session started for them
    // (dex) finds no system-wide ones.
    environment.insert(u"XDG_CONFIG_HOME"_s, installation.base + u"/config"_s);
    environment.insert(u"XDG_CONFIG_DIRS"_s, installation.base + u"/no-system-config"_s);
    // A Unix path names a file on a Windows program's current drive, which is C: for a program
    // started in a folder there: Windows programs get the paths on drive Z:.
    const auto onItsDrive = [this](const QString &path) {
        return runsWindowsPrograms() ? u"Z:"_s + QDir::toNativeSeparators(path) : path;
    };
    // The prefix takes the Windows local application data folder from UPDATER_LOCAL_APPDATA.
    environment.insert(runsWindowsPrograms() ? u"UPDATER_LOCAL_APPDATA"_s : u"XDG_DATA_HOME"_s,
                       onItsDrive(localDataDirectory(installation)));
    environment.insert(u"SAMPLE_CLIENT_RECORD"_s, onItsDrive(installation.launchRecord));
    environment.insert(u"SAMPLE_TOOL_RECORD"_s, onItsDrive(installation.toolRecord));
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
    process.start(u"xdotool"_s, arguments);
    if (!process.waitForFinished(15000))
        process.kill();
    return QString::fromUtf8(process.readAllStandardOutput());
}

QStringList HelperRunner::windows(const QString &title) const
{
    return xdotool({u"search"_s, u"--onlyvisible"_s, u"--name"_s,
                    QLatin1Char('^') + title + QLatin1Char('$')})
            .split(u'\n', Qt::SkipEmptyParts);
}

bool HelperRunner::pressKey(const QString &title, const QString &key) const
{
    const QStringList found = windows(title);
    for (const QString &window : found) {
        // Keys go through XTEST to the focused window: Qt ignores events sent to a window
        // directly, as synthetic. Wine moves its own focus only on a click, as Windows does, so
        // there the window is raised and clicked first (on its icon or text, never a button).
        if (runsWindowsPrograms()) {
            xdotool({u"windowraise"_s, window});
            xdotool({u"mousemove"_s, u"--window"_s, window, u"20"_s, u"20"_s, u"click"_s, u"1"_s});
        }
        xdotool({u"windowfocus"_s, u"--sync"_s, window});
        xdotool({u"key"_s, key});
    }
    return !found.isEmpty();
}

bool HelperRunner::savePicture(const QString &title, const QString &name) const
{
    const QString folder = qEnvironmentVariable("UPDATER_SCREENSHOTS");
    if (folder.isEmpty())
        return true;
    const QStringList found = windows(title);
    if (found.isEmpty() || !QDir().mkpath(folder))
        return false;
    QThread::msleep(500); // until it is painted
    return QProcess::execute(u"import"_s,
                             {u"-silent"_s, u"-window"_s, found.constFirst(), u"-strip"_s,
                              u"-define"_s, u"png:exclude-chunks=date,time"_s,
                              u"png:"_s + folder + u'/' + name + u".png"_s})
            == 0;
}

bool HelperRunner::closeAfterFailure(const QList<QProcess *> &helpers, const QString &closeKey,
                                     int exitCode)
{
    QDeadlineTimer deadline(30000 + 10000 * helpers.size());
    for (;;) {
        bool ended = true;
        for (QProcess *helper : helpers)
            ended = (helper->state() == QProcess::NotRunning || helper->waitForFinished(50))
                    && ended;
        if (ended)
            break;
        if (deadline.hasExpired())
            return false;
        if (pressKey(ErrorBoxTitle, u"Return"_s) || pressKey(ParserBoxTitle, u"Return"_s)) {
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
