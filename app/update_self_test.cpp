#include "update_self_test.h"

namespace {

// Windows reports a crash as the exception's status, which reads in hex (0xC0000005); Linux
// as the number of the signal.
QString codeText(int code)
{
    return code < 0 ? QLatin1String("0x") + QString::number(uint(code), 16).toUpper()
                    : QString::number(code);
}

} // namespace

UpdateSelfTest::UpdateSelfTest(QObject *parent) : QObject(parent)
{
    limit.setSingleShot(true);
    limit.setTimerType(Qt::PreciseTimer);
    limit.setInterval(TimeLimit);
    connect(&limit, &QTimer::timeout, this, &UpdateSelfTest::onTimeLimit);

    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardInputFile(QProcess::nullDevice());
    tie.prepare(process);
    connect(&process, &QProcess::started, this, [this] { tie.attach(process); });
    connect(&process, &QIODevice::readyRead, this, [this] { emit output(process.readAll()); });
    connect(&process, &QProcess::finished, this, &UpdateSelfTest::onFinished);
    // Queued, so that a client that cannot start is judged after start() has returned.
    connect(
            &process, &QProcess::errorOccurred, this,
            [this](QProcess::ProcessError error) {
                if (error != QProcess::FailedToStart)
                    return;
                judge(false,
                      tr("Не удалось запустить новую версию Corvane для проверки: %1")
                              .arg(process.errorString()),
                      "Self-test failed: the client could not be started: "
                              + process.errorString().toUtf8() + '\n');
            },
            Qt::QueuedConnection);
}

UpdateSelfTest::~UpdateSelfTest()
{
    // The end brought about here is judged by nobody: whoever listens may be going as well.
    process.disconnect(this);
    if (process.state() != QProcess::NotRunning) {
        tie.end(process);
        process.waitForFinished(5000);
    }
}

void UpdateSelfTest::start(const QString &program, const QString &argument,
                           const QString &workingDirectory)
{
    process.setProgram(program);
    process.setArguments({argument});
    process.setWorkingDirectory(workingDirectory);
    process.start(QIODevice::ReadOnly);
    limit.start();
}

void UpdateSelfTest::onFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    emit output(process.readAll());
    if (done || timedOut)
        return;
    // Whatever the client left running of what it started holds files on Windows that a rollback
    // may have to put back.
    tie.end(process);
    const QString code = codeText(exitCode);
    if (exitStatus == QProcess::CrashExit) {
        judge(false,
              tr("Новая версия Corvane аварийно завершилась при проверке запуска (код %1).")
                      .arg(code),
              "Self-test failed: the client crashed (code " + code.toUtf8() + ").\n");
    } else if (exitCode != 0) {
        judge(false,
              tr("Новая версия Corvane не прошла проверку запуска: код завершения %1.").arg(code),
              "Self-test failed: exit code " + code.toUtf8() + ".\n");
    } else {
        judge(true, QString(), "Self-test passed.\n");
    }
}

void UpdateSelfTest::onTimeLimit()
{
    // The end the kill brings about is not the client's own.
    timedOut = true;
    tie.end(process);
    process.waitForFinished(5000);
    judge(false,
          tr("Новая версия Corvane не завершила проверку запуска за %1 с.").arg(TimeLimit / 1000),
          "Self-test failed: no answer within " + QByteArray::number(TimeLimit / 1000)
                  + " s; the client was ended.\n");
}

void UpdateSelfTest::judge(bool passed, const QString &message, const QByteArray &logLine)
{
    if (done)
        return;
    done = true;
    limit.stop();
    Verdict verdict;
    verdict.passed = passed;
    verdict.message = message;
    verdict.logLine = logLine;
    emit judged(verdict);
}
