#pragma once

#include "update_backup.h"
#include "update_elevation.h"
#include "update_session_guard.h"
#include "update_tool_tie.h"

#include <QByteArray>
#include <QDialog>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

class QCloseEvent;
class QLabel;
class QLockFile;
class QProgressBar;
class QPushButton;
class UpdateSelfTest;

namespace UpdateJournal {
struct Record;
}

// The helper's only window. It holds the state of one update and drives it, from taking the
// installation lock to restarting the client, as a chain of single-shot timers and process
// signals on the GUI thread. It refuses to close until the update has ended.
class UpdateDialog : public QDialog
{
public:
    UpdateDialog(QString maintenanceToolPath, QString repositoryUrl, QString applicationPath,
                 QString workingDirectory, QString handoffFilePath,
                 QStringList applicationArguments, QString expectedVersion,
                 QWidget *parent = nullptr);
    ~UpdateDialog() override;

    // The run a logon entry starts after an update was cut off: it only puts the installation
    // back and starts the client, and ends quietly when there is nothing to put back. It is told
    // only the installation's short key (UpdateJournal::shortKey); everything else, the options
    // given to the constructor included, comes from the record of the interrupted update. Set
    // before the event loop runs.
    void setRecoveryOnly(const QString &shortKey)
    {
        recoveryOnly = true;
        recoveryKey = shortKey;
    }
    // The argument the new client is started with once the update is installed, to prove that it
    // starts before the old version is let go (see UpdateSelfTest); empty: no such start. Set
    // before the event loop runs.
    void setSelfTestArgument(const QString &argument) { selfTestArgument = argument; }
    // The elevated part of an update of an installation only administrators can write (see
    // UpdateElevation): no window, no handoff and no restart of the client; it waits for the
    // unelevated helper to let it begin and leaves the outcome for it. Set before the event loop
    // runs.
    void setElevatedPart(const QString &run, const QString &goFilePath)
    {
        elevatedRun = run;
        elevatedGoFile = goFilePath;
    }
    // Test builds only: Wine gives every program an administrator's token, and the elevation rows
    // need the token of a user's Windows, without Administrators.
    void setTestBuildTokenWithoutAdministrators() { testBuildTokenWithoutAdministrators = true; }

protected:
    void closeEvent(QCloseEvent *event) override;
    void reject() override;

private:
    friend class TestUpdateDialog;

    void appendLog(const QByteArray &bytes);
    // Appends line, which ends with a line feed, on a line of its own.
    void appendLogLine(const QByteArray &line);
    bool writeHandoff(const QByteArray &record);

    void prepareUpdate();
    void waitForConfirmation();
    void waitForApplicationExit();
    void startUpdate();
    bool takeRecordedOptions();
    void startTool();
    bool recoverInterruptedUpdate();
    void refuseInterruptedUpdate(const QString &backupPath);
    void reportLeftoverBackups();
    bool recordUpdateInProgress();
    void recordOptions(UpdateJournal::Record &record) const;
    void clearUpdateRecord();
    bool filesArePresent();
    bool rightsSuffice();
    bool secureRepository();
    QString rightsMessage() const;
    void startElevation();
    void onElevationEnded(const UpdateElevation::Outcome &outcome);
    void handOver();
    void writeLogonEntry();
    void removeLogonEntry();
    void endQuietly();
    void relaunch(const QString &status, const QString &startFailure);
    void onProcessOutput();
    void onProcessError(QProcess::ProcessError error);
    void onProcessFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void waitForToolJob(int exitCode, QProcess::ExitStatus exitStatus);
    void judgeToolRun(int exitCode, QProcess::ExitStatus exitStatus);
    void startSelfTest();
    void completeUpdate();
    void finishWithError(const QString &message, bool restartApplication);

    // First, so that it goes last: a tool that still runs is ended after the lock is released and
    // the temporary directory removed.
    UpdateToolTie toolTie;
    QString maintenanceToolPath;
    QString repositoryUrl;
    QString applicationPath;
    QString workingDirectory;
    QString handoffFilePath;
    QStringList applicationArguments;
    QString expectedVersion;
    UpdateBackup backup;
    QTemporaryDir temporaryDirectory;
    std::unique_ptr<QLockFile> lockFile;
    QLabel *statusLabel;
    QProgressBar *progressBar;
    QPushButton *closeButton;
    QProcess *process;
    QFile logFile;
    bool finished = false;
    QElapsedTimer waitTimer;
    // The end of the current tool run's output, where its markers are looked for.
    QByteArray logTail;
    int toolRuns = 0;
    // The record of this update in progress (see UpdateJournal), named with the lock; written
    // once the backup is complete, cleared when the installation is consistent again.
    QString journalFilePath;
    bool journalWritten = false;
    // The "run at next logon" entry that lives as long as the record (UpdateLogonEntry), and the
    // copy of the helper it starts when the helper runs from inside the installation.
    QString logonEntryName;
    QString logonCopy;
    bool ownsLogonEntry = false;
    bool recoveryOnly = false;
    QString recoveryKey;
    UpdateSessionGuard sessionGuard;
    QString selfTestArgument;
    bool testBuildTokenWithoutAdministrators = false;
    // The unelevated side of an elevated update: the elevated part does the installation's share.
    bool elevated = false;
    // The elevated side: the run's name and the file whose existence lets it begin.
    QString elevatedRun;
    QString elevatedGoFile;
    UpdateElevation elevation;
    // Last, so that a client still under test is ended before the lock is released.
    std::unique_ptr<UpdateSelfTest> selfTest;
};
