#include "xvfb_server.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QThread>

XvfbServer::~XvfbServer()
{
    if (server.state() != QProcess::NotRunning) {
        server.terminate();
        if (!server.waitForFinished(5000)) {
            server.kill();
            server.waitForFinished(5000);
        }
    }
}

bool XvfbServer::start(QString &error)
{
    // Display numbers are shared by every test running on the machine: start from one derived
    // from our pid and take the first whose lock is free.
    const int first = 100 + int(QCoreApplication::applicationPid() % 400) * 2;
    for (int number = first; number < first + 40; ++number) {
        if (QFileInfo::exists(QStringLiteral("/tmp/.X%1-lock").arg(number))
            || QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number)))
            continue;
        const QString name = QStringLiteral(":%1").arg(number);
        server.setProgram(QStringLiteral("Xvfb"));
        // -noreset: by default the server resets whenever its last client leaves, and a helper
        // connecting during the reset fails to start. -r: no auto-repeat, so a key whose release
        // comes late on a loaded machine does not repeat into the next window.
        server.setArguments({name, QStringLiteral("-noreset"), QStringLiteral("-r"),
                             QStringLiteral("-screen"), QStringLiteral("0"),
                             QStringLiteral("1024x768x24"), QStringLiteral("-nolisten"),
                             QStringLiteral("tcp")});
        server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        server.start();
        if (!server.waitForStarted(5000)) {
            error = QStringLiteral("Xvfb did not start: %1").arg(server.errorString());
            return false;
        }
        const QString socket = QStringLiteral("/tmp/.X11-unix/X%1").arg(number);
        QDeadlineTimer deadline(10000);
        while (!QFileInfo::exists(socket) && server.state() == QProcess::Running
               && !deadline.hasExpired())
            QThread::msleep(20);
        if (server.state() == QProcess::Running && QFileInfo::exists(socket)) {
            displayName = name;
            return true;
        }
        server.kill();
        server.waitForFinished(2000);
    }
    error = QStringLiteral("no free X display for Xvfb");
    return false;
}

QString xdotool(const QString &display, const QStringList &arguments, bool *ok, int timeoutMs)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), display);
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral("xdotool"), arguments);
    const bool finished = process.waitForFinished(timeoutMs);
    if (!finished) {
        process.kill();
        process.waitForFinished(2000);
    }
    if (ok)
        *ok = finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

QStringList findWindows(const QString &display, const QString &title, qint64 processId)
{
    // xdotool takes a POSIX extended expression: escape its special characters only, so the
    // Cyrillic letters of a title reach it as plain UTF-8.
    QString pattern = QStringLiteral("^");
    for (const QChar c : title) {
        if (QStringLiteral(".[]{}()*+?^$|\\").contains(c))
            pattern += QLatin1Char('\\');
        pattern += c;
    }
    pattern += QLatin1Char('$');

    // Conditions are or-ed unless --all is given.
    QStringList arguments
            = {QStringLiteral("search"), QStringLiteral("--all"), QStringLiteral("--onlyvisible")};
    if (processId != 0)
        arguments << QStringLiteral("--pid") << QString::number(processId);
    arguments << QStringLiteral("--name") << pattern;
    return xdotool(display, arguments).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool pressKeyInWindow(const QString &display, const QString &title, const QString &key,
                      int timeoutMs, qint64 processId)
{
    QDeadlineTimer deadline(timeoutMs);
    QStringList windows;
    while ((windows = findWindows(display, title, processId)).isEmpty()) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(50);
    }
    bool ok = false;
    xdotool(display, {QStringLiteral("windowfocus"), QStringLiteral("--sync"), windows.last()},
            &ok);
    if (!ok)
        return false;
    // Keys go through XTEST to the focused window; events sent to a window directly are marked
    // synthetic and Qt ignores them.
    xdotool(display, {QStringLiteral("key"), key}, &ok);
    return ok;
}

bool pressKeyUntilClosed(const QString &display, const QString &title, const QString &key,
                         int timeoutMs, qint64 processId)
{
    QDeadlineTimer deadline(timeoutMs);
    bool seen = false;
    while (!deadline.hasExpired()) {
        const QStringList windows = findWindows(display, title, processId);
        if (windows.isEmpty()) {
            if (seen)
                return true;
            QThread::msleep(50);
            continue;
        }
        seen = true;
        // The focus may not be confirmed for a window that is still being mapped; the key is
        // pressed all the same, and again if the window stays.
        xdotool(display, {QStringLiteral("windowfocus"), QStringLiteral("--sync"), windows.last()},
                nullptr, 2000);
        xdotool(display, {QStringLiteral("key"), key});
        QDeadlineTimer pause(1500);
        while (!pause.hasExpired() && !findWindows(display, title, processId).isEmpty())
            QThread::msleep(50);
    }
    qWarning("window '%s' %s", qPrintable(title), seen ? "did not close" : "never appeared");
    return false;
}
