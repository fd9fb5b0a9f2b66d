#include "helper_runs.h"

#include "process_tools.h"
#include "sample_installation.h"

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
    return pressKeyUntilClosed(display(), ErrorBoxTitle, QStringLiteral("Return"), timeoutMs,
                               helper.processId())
            && pressKeyUntilClosed(display(), DialogTitle, QStringLiteral("Escape"), 15000,
                                   helper.processId())
            && helper.waitForFinished(15000) && helper.exitStatus() == QProcess::NormalExit
            && helper.exitCode() == 0;
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
