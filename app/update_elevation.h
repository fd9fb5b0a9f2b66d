#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

class QWidget;

// The part of an update that changes an installation only administrators can write (on Windows,
// one in Program Files), run with administrator's rights: one prompt, before the client is asked
// to exit.
//
// The unelevated helper asks Windows to start the installation's own helper with the "runas" verb
// (UAC shows the prompt), naming a file users cannot replace. That process, the relay, checks the
// request it is given, copies itself into the elevated folder (UpdateRights::elevatedDirectory),
// which only administrators can write, leaves the checked request there and starts the copy with
// nothing but the run's name. The copy is the elevated part: it takes the lock and keeps the log,
// the record and the backup in that folder, tells the unelevated helper that it is prepared, and
// waits. The unelevated helper hands over to the client and waits for it to exit, then lets the
// elevated part begin: backup, tool, version check, self-test, flush or rollback. How that ended
// is left in a state file in the folder; the unelevated helper reads it, writes the handoff
// record, tells the user, and starts the client again itself, as the user.
//
// Nothing the user can change reaches the elevated part but the repository it is given (to be
// verified there once repositories are signed) and whether a file of the unelevated helper's
// exists, which only says when to begin: it checks again that no client runs.
class UpdateElevation : public QObject
{
    Q_OBJECT

public:
    // What the elevated part is to do. Every path is absolute, with "/" separators.
    struct Request
    {
        QString maintenanceToolPath;
        QString repositoryUrl;
        QString applicationPath;
        QString installationDirectory;
        QString expectedVersion;
        QString selfTestArgument;
        // Made by the unelevated helper once the client has gone.
        QString goFilePath;
    };

    struct Outcome
    {
        enum class Kind {
            Succeeded,
            Failed,
            // It ended without saying how: killed, or crashed. Its record stays for the next one.
            Vanished,
        };
        Kind kind = Kind::Vanished;
        // Failed: the user's message, and whether the client may be started again.
        QString message;
        bool restartApplication = false;
    };

    // How long the elevated part waits for begin(): the client's confirmation and its exit, with
    // room to spare.
    static constexpr int BeginTimeLimit = 60000;
    // How long the unelevated helper waits for the elevated part to say it is prepared, once the
    // relay has ended.
    static constexpr int PreparedTimeLimit = 30000;

    explicit UpdateElevation(QObject *parent = nullptr);
    ~UpdateElevation() override;

    // The unelevated side. Asks for the rights and starts the relay of installedHelper with the
    // request; false when Windows does not start it (the prompt refused, or no elevation here),
    // with the reason in error (English, for the log). Then prepared() once the elevated part
    // waits for begin(), and ended() once, also when it fails before that.
    bool start(const QString &installedHelper, const Request &request, QWidget *window,
               QString &error);
    // The client has gone: the elevated part may change the installation.
    void begin();
    // The elevated part's log, for the unelevated helper's.
    QByteArray elevatedLog() const;

    // The elevated side, in the elevated part: the run it serves, for an outcome it leaves
    // (finish()) before it is prepared.
    void takeRun(const QString &runName) { run = runName; }
    // Says it is prepared and waits: mayBegin() once the
    // unelevated helper lets it, or abandoned() after BeginTimeLimit.
    void serve(const QString &run, const QString &goFilePath);
    // Leaves the outcome for the unelevated helper.
    void finish(const Outcome &outcome);

    // The relay: checks the request (untrusted: anyone may start the installation's helper
    // elevated with any arguments), copies this program into the elevated folder, leaves the
    // request there and starts the copy. The exit code for main.
    static int relay(const QString &run, const Request &request);
    // In the elevated part: takes the request the relay left for the run, and makes the elevated
    // folder the temporary directory, where the lock, the log, the record and the backup go.
    static bool takeRequest(const QString &run, Request &request, QString &error);
    // True when this program runs from a copy in the elevated folder.
    static bool runsAsElevatedPart();

    // A reason (English) why the request cannot be trusted, or an empty string. ownPath, when not
    // empty, is the relay's own file, which must lie in the installation.
    static QString untrustedRequest(const Request &request, const QString &ownPath = QString());
    // A run's name: 32 lowercase hexadecimal digits.
    static QString newRunName();
    static bool isRunName(const QString &text);

signals:
    void prepared();
    void ended(const UpdateElevation::Outcome &outcome);
    void mayBegin();
    void abandoned();

private:
    enum class Phase { Idle, Relaying, Preparing, Prepared, Serving, Done };

    void poll();
    void end(const Outcome &outcome);
    QString stateFilePath() const;
    bool readState(QByteArray &state) const;

    // Platform parts.
    static bool launchElevated(const QString &program, const QStringList &arguments,
                               const QString &directory, QWidget *window, qintptr &process,
                               QString &error);
    // True once the process has ended; exitCode then holds its code.
    static bool processEnded(qintptr process, int &exitCode);
    static void closeProcess(qintptr process);
    static bool makeElevatedDirectory(const QString &path, QString &error);
    static void enterElevatedDirectory(const QString &path);
    static bool isLocalPath(const QString &path);

    Phase phase = Phase::Idle;
    QString run;
    QString goFilePath;
    qintptr relayProcess = 0;
    // The elevated part, as the process list shows it: Windows lets a user open an elevated
    // process of another account (an administrator who typed a password at the prompt) only when
    // that account allows it.
    QString helperFileName;
    QString elevatedProcessId;
    QTimer timer;
    QElapsedTimer elapsed;
};
