#include "helper_runs.h"

#include "process_tools.h"
#include "sample_installation.h"

#include <QDeadlineTimer>
#include <QThread>

namespace {

const QString DialogTitle = QStringLiteral("Обновление Corvane");
const QString ErrorBoxTitle = QStringLiteral("Ошибка обновления Corvane");

} // namespace

bool HelperRuns::startServer(QString &error)
{
    if (!runtime.isValid()) {
        error = runtime.errorString();
        return false;
    }
    return server.start(error);
}

std::shared_ptr<QProcess> HelperRuns::start(const SampleInstallation &installation,
                                            const QStringList &arguments,
                                            const QString &workingDirectory)
{
    auto helper = std::make_shared<QProcess>();
    helper->setProcessEnvironment(installation.environment(display(), runtimeDirectory()));
    helper->setProcessChannelMode(QProcess::ForwardedChannels);
    if (!workingDirectory.isEmpty())
        helper->setWorkingDirectory(workingDirectory);
    helper->start(QStringLiteral(UPDATER_HELPER_PATH), arguments);
    helper->waitForStarted();
    processes.append(helper);
    return helper;
}

bool HelperRuns::closeAfterFailure(QProcess &helper, int timeoutMs)
{
    if (!pressKeyUntilClosed(display(), ErrorBoxTitle, QStringLiteral("Return"), timeoutMs,
                             helper.processId())) {
        reportWindows(helper);
        return false;
    }
    return closeDialog(helper);
}

bool HelperRuns::closeAfterFailures(const QList<std::shared_ptr<QProcess>> &helpers, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    for (const auto &helper : helpers) {
        while (findWindows(display(), ErrorBoxTitle, helper->processId()).isEmpty()) {
            if (deadline.hasExpired()) {
                reportWindows(*helper);
                return false;
            }
            QThread::msleep(50);
        }
    }
    // Several boxes are open at once, and a key pressed before the focus has settled on one may
    // answer another: a box or dialog that is already gone counts as answered.
    for (const auto &helper : helpers) {
        if (!findWindows(display(), ErrorBoxTitle, helper->processId()).isEmpty())
            pressKeyUntilClosed(display(), ErrorBoxTitle, QStringLiteral("Return"), 15000,
                                helper->processId());
        if (!closeDialog(*helper))
            return false;
    }
    return true;
}

bool HelperRuns::closeDialog(QProcess &helper)
{
    if (!findWindows(display(), DialogTitle, helper.processId()).isEmpty())
        pressKeyUntilClosed(display(), DialogTitle, QStringLiteral("Escape"), 15000,
                            helper.processId());
    const bool ended = helper.waitForFinished(15000) && helper.exitStatus() == QProcess::NormalExit
            && helper.exitCode() == 0;
    if (!ended)
        reportWindows(helper);
    return ended;
}

void HelperRuns::reportWindows(const QProcess &helper) const
{
    const QStringList windows = xdotool(display(),
                                        {QStringLiteral("search"), QStringLiteral("--pid"),
                                         QString::number(helper.processId())})
                                        .split(u'\n', Qt::SkipEmptyParts);
    QStringList titles;
    for (const QString &window : windows)
        titles += xdotool(display(), {QStringLiteral("getwindowname"), window});
    qWarning("helper %lld: state %d, exit code %d, windows: %s", helper.processId(),
             int(helper.state()), helper.exitCode(), qPrintable(titles.join(QLatin1String("; "))));
}

void HelperRuns::track(qint64 processId, const QString &executableFileName)
{
    tracked.append({processId, executableFileName});
}

void HelperRuns::endAll()
{
    for (const auto &process : std::as_const(processes)) {
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(5000);
        }
    }
    processes.clear();
    for (const auto &[processId, executableFileName] : std::as_const(tracked))
        ProcessTools::killIfRunning(processId, executableFileName);
    tracked.clear();
}
