#pragma once

#include "update_tool_tie.h"

#include <QByteArray>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QTimer>

// Starts the newly installed client once, with the one argument it answers a self-test with, in
// the installation directory, and judges how it ends. Only a normal exit with code 0 within the
// time limit passes; a client that does not answer in time is ended, with what it started as far
// as UpdateToolTie reaches (the job on Windows, its process group on Linux). The client also ends
// with the helper, so that a helper killed meanwhile leaves an interrupted update and no client
// running on the files the next helper puts back.
class UpdateSelfTest : public QObject
{
    Q_OBJECT

public:
    // As long as the client is given to exit: room for a cold start from a slow disk, with a
    // virus scanner reading every new file first.
    static constexpr int TimeLimit = 30000;

    struct Verdict
    {
        bool passed = false;
        // Why it failed: for the user and the failure record (Russian), and the log line (English).
        QString message;
        QByteArray logLine;
    };

    explicit UpdateSelfTest(QObject *parent = nullptr);
    ~UpdateSelfTest() override;

    // Once. The client's output, both channels, comes through output(); the verdict once through
    // judged(), never from inside this call, and only after the client has ended.
    void start(const QString &program, const QString &argument, const QString &workingDirectory);

signals:
    void output(const QByteArray &bytes);
    void judged(const UpdateSelfTest::Verdict &verdict);

private:
    void onFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void onTimeLimit();
    void judge(bool passed, const QString &message, const QByteArray &logLine);

    UpdateToolTie tie {true};
    QProcess process;
    QTimer limit;
    bool timedOut = false;
    bool done = false;
};
