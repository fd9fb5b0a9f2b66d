#pragma once

#include "xvfb_server.h"

#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

class SampleInstallation;

// Runs the real updater_helper on a private X server, as the client would start it, and ends
// whatever a test left running.
class HelperRuns
{
public:
    bool startServer(QString &error);
    QString display() const { return server.display(); }
    QString runtimeDirectory() const { return runtime.path(); }

    // workingDirectory empty: the test's own.
    std::shared_ptr<QProcess> start(const SampleInstallation &installation,
                                    const QStringList &arguments,
                                    const QString &workingDirectory = QString());

    // What a user does after a failure: answers the message box, then closes the dialog with
    // Escape. True when the helper then ended with exit code 0.
    bool closeAfterFailure(QProcess &helper, int timeoutMs = 30000);
    // The same for helpers that fail at the same time: waits until each shows its box, then
    // closes them one after the other.
    bool closeAfterFailures(const QList<std::shared_ptr<QProcess>> &helpers, int timeoutMs = 30000);

    // A process that is not our child (a helper started by a client, a tool left behind by a
    // killed helper), killed by endAll() if it still runs that executable.
    void track(qint64 processId, const QString &executableFileName);
    void endAll();

private:
    bool closeDialog(QProcess &helper);
    void reportWindows(const QProcess &helper) const;

    XvfbServer server;
    QTemporaryDir runtime;
    QList<std::shared_ptr<QProcess>> processes;
    QList<QPair<qint64, QString>> tracked;
};
