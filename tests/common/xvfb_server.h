#pragma once

#include <QProcess>
#include <QString>

// A private X server for the black-box tests: the real binary opens real windows on it and
// xdotool presses keys there, as a user would.
class XvfbServer
{
public:
    XvfbServer() = default;
    ~XvfbServer();

    XvfbServer(const XvfbServer &) = delete;
    XvfbServer &operator=(const XvfbServer &) = delete;

    bool start(QString &error);
    QString display() const { return displayName; }

private:
    QProcess server;
    QString displayName;
};

// Runs one xdotool command on the given display; returns its standard output, trimmed.
// ok is false when the command failed or timed out.
QString xdotool(const QString &display, const QStringList &arguments, bool *ok = nullptr,
                int timeoutMs = 15000);

// Finds the window whose title is exactly title (waits up to timeoutMs), focuses it and presses
// key. A processId other than 0 limits the search to that process's windows. Returns false when
// no such window appeared.
bool pressKeyInWindow(const QString &display, const QString &title, const QString &key,
                      int timeoutMs = 15000, qint64 processId = 0);

// Presses key in the window titled title until that window has gone (a key that reaches a window
// just mapped may be lost: the press is repeated, at most every 1.5 s). Returns false when the
// window never appeared or did not go within timeoutMs.
bool pressKeyUntilClosed(const QString &display, const QString &title, const QString &key,
                         int timeoutMs = 15000, qint64 processId = 0);

// The ids of the windows titled exactly title that are mapped now (of one process, when
// processId is not 0).
QStringList findWindows(const QString &display, const QString &title, qint64 processId = 0);
