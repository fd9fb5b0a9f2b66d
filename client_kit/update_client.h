#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

class QCoreApplication;

// Everything updater_helper needs to update the client's installation and restart the client.
struct UpdateHelperSettings
{
    QString helperPath;
    QString maintenanceToolPath;
    QString repositoryUrl;
    // The client's own executable and its installation directory, which is also the directory
    // the client is restarted in.
    QString applicationPath;
    QString workingDirectory;
    // Empty: no start-up handoff; the helper then only waits for the client to exit.
    QString handoffFilePath;
    // The arguments the client is restarted with, in order; empty ones are kept.
    QStringList applicationArguments;
    // Empty: the helper does not check the installed version.
    QString expectedVersion;
    // Not empty: once the update is installed, the helper starts the new client with this one
    // argument and keeps the update only when it exits with code 0 (see runSelfTest); anything
    // else rolls the update back. Empty: no such start.
    QString selfTestArgument;
};

namespace UpdateClient {

// The helper's command line. Every value travels in one argument as --name=value, so a value
// that starts with "-" can never be taken for an option. Relative paths are made absolute
// against the client's current directory, because the helper runs in the installation
// directory. Optional values are left out when empty; the repository is passed unchanged.
QStringList helperArguments(const UpdateHelperSettings &settings);

// Empties the handoff file, so that no record of an earlier run can be taken for this one's,
// and starts the helper detached, in the installation directory. A helper whose file lies inside
// the installation is started from a fresh private copy in the kit's per-user directory (beside
// the default handoff files), so that it never holds a file of the installation it updates; if
// the copy cannot be made or started, the helper starts in place. Copies left by earlier starts
// are removed once no process runs them. On failure returns false with an English description in
// `error`.
bool startHelper(const UpdateHelperSettings &settings, QString &error, qint64 *processId = nullptr);

// True when the helper has left the record of an update in progress for the installation of the
// client at `applicationPath` (the client's own executable). Seen at the client's start, the
// helper that was changing the installation was killed (a power cut, a forced shutdown): the
// installation may hold files of two versions, and the client should start the helper at once,
// before doing anything else; the helper puts the old files back first, then updates. The record
// is also there while a helper is at work; one started then fails at the installation lock
// ("Обновление этой установки уже выполняется.").
bool interruptedUpdatePending(const QString &applicationPath);

// Makes the client's application object as its main makes it: its own class, set up alike.
using ApplicationFactory = std::function<std::unique_ptr<QCoreApplication>(int &argc, char **argv)>;
// A check of the client's own, such as opening its database read-only; false fails the
// self-test, with the reason in `error`.
using SelfTestCheck = std::function<bool(QString &error)>;

// The exit code of a self-test that failed.
constexpr int SelfTestFailed = 3;

// The first call in the main of a client that sets UpdateHelperSettings::selfTestArgument, before
// anything else (interruptedUpdatePending among it: the helper's record is there while the new
// client is tested). When the command line is exactly the program and `argument`, as the helper
// starts the newly installed client, it makes the application object with `makeApplication`,
// checks without showing any window that a GUI application came up with its platform plugin and
// a screen and that its event loop runs, then runs `check` inside that loop. It writes the
// outcome to standard error, which the helper keeps in its update log, and returns the exit
// code for main: 0 when everything passed, SelfTestFailed otherwise. For any other command line
// it returns nothing and makes nothing. A platform plugin that cannot be loaded ends the process
// inside Qt, which the helper also takes for a failure.
std::optional<int> runSelfTest(int &argc, char **argv, const QString &argument,
                               const ApplicationFactory &makeApplication,
                               const SelfTestCheck &check = {});

} // namespace UpdateClient
