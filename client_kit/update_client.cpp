#include "update_client.h"

#include "helper_copy.h"
#include "private_directory.h"
#include "update_handoff.h"
#include "update_journal.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTimer>

#include <cstdio>

namespace {

QString absolutePath(const QString &path)
{
    if (path.isEmpty() || QDir::isAbsolutePath(path))
        return path;
    return QDir::current().absoluteFilePath(path);
}

QString option(const char *name, const QString &value)
{
    return QLatin1String("--") + QLatin1String(name) + QLatin1Char('=') + value;
}

void printLine(const QString &line)
{
    std::fputs(qPrintable(line + QLatin1Char('\n')), stderr);
    std::fflush(stderr);
}

// What the kit can see of a GUI application without linking Qt GUI: its meta-object.
QString guiApplicationError(const QCoreApplication *application)
{
    if (!application || !application->inherits("QGuiApplication"))
        return QStringLiteral("the application object is not a QGuiApplication");
    if (application->property("platformName").toString().isEmpty())
        return QStringLiteral("the application has no platform plugin");
    if (!application->property("primaryScreen").value<QObject *>())
        return QStringLiteral("the platform plugin reports no screen");
    return QString();
}

} // namespace

namespace UpdateClient {

QStringList helperArguments(const UpdateHelperSettings &settings)
{
    QStringList arguments = {
            option("maintenance-tool", absolutePath(settings.maintenanceToolPath)),
            option("repository", settings.repositoryUrl),
            option("application", absolutePath(settings.applicationPath)),
            option("working-directory", absolutePath(settings.workingDirectory)),
    };
    if (!settings.handoffFilePath.isEmpty())
        arguments.append(option("handoff-file", absolutePath(settings.handoffFilePath)));
    for (const QString &argument : settings.applicationArguments)
        arguments.append(option("application-argument", argument));
    if (!settings.expectedVersion.isEmpty())
        arguments.append(option("expected-version", settings.expectedVersion));
    if (!settings.selfTestArgument.isEmpty())
        arguments.append(option("self-test-argument", settings.selfTestArgument));
    return arguments;
}

bool startHelper(const UpdateHelperSettings &settings, QString &error, qint64 *processId)
{
    // The helper refuses an empty required value only after it has shown a message box.
    const struct
    {
        const char *name;
        const QString &value;
    } required[] = {
            {"helper path", settings.helperPath},
            {"maintenance tool path", settings.maintenanceToolPath},
            {"repository URL", settings.repositoryUrl},
            {"application path", settings.applicationPath},
            {"working directory", settings.workingDirectory},
    };
    for (const auto &value : required) {
        if (value.value.isEmpty()) {
            error = QStringLiteral("The %1 is empty.").arg(QLatin1String(value.name));
            return false;
        }
    }

    const QString handoffFilePath = absolutePath(settings.handoffFilePath);
    if (!handoffFilePath.isEmpty() && !UpdateHandoff::clear(handoffFilePath)) {
        error = QStringLiteral("Cannot empty the handoff file %1.").arg(handoffFilePath);
        return false;
    }

    // A helper inside the installation runs from a private copy (see HelperCopy), made afresh
    // for every start; the copies of earlier starts go once their helpers have ended. Whatever
    // goes wrong with the copy, the helper starts in place, as it would without one. Where it
    // runs changes no path it is given: every path is absolute by now, and it runs in the
    // installation directory all the same.
    const QString helperPath = absolutePath(settings.helperPath);
    const QString workingDirectory = absolutePath(settings.workingDirectory);
    const QString copyDirectory = PrivateDirectory::defaultPath();
    QString copyPath;
    if (!copyDirectory.isEmpty() && PrivateDirectory::make(copyDirectory)) {
        HelperCopy::removeOld(copyDirectory);
        if (HelperCopy::liesInside(helperPath, workingDirectory))
            copyPath = HelperCopy::make(helperPath, copyDirectory);
    }

    QProcess helper;
    helper.setProgram(copyPath.isEmpty() ? helperPath : copyPath);
    helper.setArguments(helperArguments(settings));
    helper.setWorkingDirectory(workingDirectory);
    // The helper outlives the client. Left to inherit the client's standard streams, it (and the
    // client it restarts) would write into pipes that may close when the client exits, and be
    // killed by SIGPIPE.
    helper.setStandardInputFile(QProcess::nullDevice());
    helper.setStandardOutputFile(QProcess::nullDevice());
    helper.setStandardErrorFile(QProcess::nullDevice());
    if (helper.startDetached(processId))
        return true;
    // A copy that did not start is removed by a later start.
    if (!copyPath.isEmpty()) {
        helper.setProgram(helperPath);
        if (helper.startDetached(processId))
            return true;
    }
    error = QStringLiteral("Cannot start %1.").arg(helperPath);
    return false;
}

bool interruptedUpdatePending(const QString &applicationPath)
{
    const QFileInfo record(UpdateJournal::filePath(absolutePath(applicationPath)));
    return record.exists() || record.isSymLink();
}

std::optional<int> runSelfTest(int &argc, char **argv, const QString &argument,
                               const ApplicationFactory &makeApplication,
                               const SelfTestCheck &check)
{
    if (argument.isEmpty() || argc != 2 || QString::fromLocal8Bit(argv[1]) != argument)
        return std::nullopt;

    const std::unique_ptr<QCoreApplication> application = makeApplication(argc, argv);
    QString error = guiApplicationError(application.get());
    if (!error.isEmpty()) {
        printLine(QStringLiteral("Client self-test failed: ") + error);
        return SelfTestFailed;
    }
    // The check runs once the event loop does, so that it may wait for signals itself.
    QTimer::singleShot(0, application.get(), [&error, &check] {
        const bool passed = !check || check(error);
        QCoreApplication::exit(passed ? 0 : SelfTestFailed);
    });
    if (application->exec() != 0) {
        printLine(QStringLiteral("Client self-test failed: ")
                  + (error.isEmpty() ? QStringLiteral("the client's own check failed") : error));
        return SelfTestFailed;
    }
    printLine(QStringLiteral("Client self-test passed on the platform ")
              + application->property("platformName").toString());
    return 0;
}

} // namespace UpdateClient
