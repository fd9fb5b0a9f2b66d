#include "update_dialog.h"
#include "update_elevation.h"
#include "update_journal.h"

#include <QApplication>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QMessageBox>

int main(int argc, char **argv)
{
    QApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Corvane Updater"));
    QGuiApplication::setQuitOnLastWindowClosed(true);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Corvane automatic update helper"));
    parser.addHelpOption();

    const QCommandLineOption maintenanceToolOption(QStringLiteral("maintenance-tool"),
                                                   QStringLiteral("Path to maintenancetool.exe."),
                                                   QStringLiteral("path"));
    const QCommandLineOption repositoryOption(QStringLiteral("repository"),
                                              QStringLiteral("Qt IFW update repository URL."),
                                              QStringLiteral("url"));
    const QCommandLineOption applicationOption(QStringLiteral("application"),
                                               QStringLiteral("Path to Corvane.exe."),
                                               QStringLiteral("path"));
    const QCommandLineOption workingDirectoryOption(
            QStringLiteral("working-directory"), QStringLiteral("Application working directory."),
            QStringLiteral("path"));
    const QCommandLineOption handoffFileOption(QStringLiteral("handoff-file"),
                                               QStringLiteral("Private startup handshake file."),
                                               QStringLiteral("path"));
    const QCommandLineOption applicationArgumentOption(
            QStringLiteral("application-argument"),
            QStringLiteral("Argument preserved when restarting the client (repeatable)."),
            QStringLiteral("argument"));
    const QCommandLineOption expectedVersionOption(
            QStringLiteral("expected-version"),
            QStringLiteral("Expected installed package version."), QStringLiteral("version"));
    const QCommandLineOption recoverOnlyOption(
            QStringLiteral("recover-only"),
            QStringLiteral("Only undo the interrupted update of the installation named by key and "
                           "start the client (logon entry); the other options come from its "
                           "record."),
            QStringLiteral("key"));
    const QCommandLineOption selfTestArgumentOption(
            QStringLiteral("self-test-argument"),
            QStringLiteral("Start the updated client once with this argument; only exit code 0 "
                           "keeps the update."),
            QStringLiteral("argument"));
    const QCommandLineOption elevatedPartOption(
            QStringLiteral("elevated-part"),
            QStringLiteral("Run the part of an update that needs administrator's rights (started "
                           "by the helper itself)."),
            QStringLiteral("run"));
    const QCommandLineOption elevatedGoFileOption(
            QStringLiteral("elevated-go-file"),
            QStringLiteral("The file whose existence lets the elevated part begin (started by the "
                           "helper itself)."),
            QStringLiteral("path"));
    parser.addOptions({maintenanceToolOption, repositoryOption, applicationOption,
                       workingDirectoryOption, handoffFileOption, applicationArgumentOption,
                       expectedVersionOption, recoverOnlyOption, selfTestArgumentOption,
                       elevatedPartOption, elevatedGoFileOption});

    parser.process(application);

    const QString maintenanceToolPath = parser.value(maintenanceToolOption);
    const QString repositoryUrl = parser.value(repositoryOption);
    const QString applicationPath = parser.value(applicationOption);
    const QString workingDirectory = parser.value(workingDirectoryOption);

    // Started elevated by a helper for an installation only administrators can write: first from
    // the installation's own file (the relay), then from the copy the relay makes of it. Neither
    // shows anything; the unelevated helper that started them tells the user.
    if (parser.isSet(elevatedPartOption)) {
        const QString run = parser.value(elevatedPartOption);
        UpdateElevation::Request request;
        if (!UpdateElevation::runsAsElevatedPart()) {
            request = {maintenanceToolPath,
                       repositoryUrl,
                       applicationPath,
                       workingDirectory,
                       parser.value(expectedVersionOption),
                       parser.value(selfTestArgumentOption),
                       parser.value(elevatedGoFileOption)};
            return UpdateElevation::relay(run, request);
        }
        QString error;
        if (!UpdateElevation::takeRequest(run, request, error))
            return 2;
        UpdateDialog dialog(request.maintenanceToolPath, request.repositoryUrl,
                            request.applicationPath, request.installationDirectory, QString(),
                            QStringList(), request.expectedVersion, nullptr);
        dialog.setSelfTestArgument(request.selfTestArgument);
        dialog.setElevatedPart(run, request.goFilePath);
        return application.exec();
    }

    // The run a logon entry starts is told which installation, and nothing else.
    const bool recoveryOnly = parser.isSet(recoverOnlyOption);
    const QString recoveryKey = parser.value(recoverOnlyOption);
    const QStringList required
            = {maintenanceToolPath, repositoryUrl, applicationPath, workingDirectory};
    if (recoveryOnly ? !UpdateJournal::isShortKey(recoveryKey) : required.contains(QString())) {
        QMessageBox::critical(nullptr, QObject::tr("Обновление Corvane"),
                              QObject::tr("Не заданы обязательные параметры обновления."),
                              QMessageBox::Ok, QMessageBox::NoButton);
        return 2;
    }

    const QString expectedVersion = parser.value(expectedVersionOption);
    const QStringList applicationArguments = parser.values(applicationArgumentOption);
    const QString handoffFilePath = parser.value(handoffFileOption);

    UpdateDialog dialog(maintenanceToolPath, repositoryUrl, applicationPath, workingDirectory,
                        handoffFilePath, applicationArguments, expectedVersion, nullptr);
    if (recoveryOnly)
        dialog.setRecoveryOnly(recoveryKey);
    dialog.setSelfTestArgument(parser.value(selfTestArgumentOption));
#ifdef UPDATER_TEST_BUILD
    if (qEnvironmentVariableIsSet("UPDATER_TEST_BUILD_TOKEN_WITHOUT_ADMINISTRATORS"))
        dialog.setTestBuildTokenWithoutAdministrators();
#endif
    dialog.show();
    return application.exec();
}
