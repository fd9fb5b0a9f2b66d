#pragma once

#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <vector>

class SampleInstallation;

// The programs among names that cannot be run (by name, from PATH), joined by ", ".
QString missingPrograms(const QStringList &names);

// Fails the test at once, naming every program of the list that is not installed, instead of
// letting it wait for what such a program would have done.
#define VERIFY_PROGRAMS(...) \
    do { \
        const QString missing = missingPrograms({__VA_ARGS__}); \
        QVERIFY2(missing.isEmpty(), qPrintable(QStringLiteral("not installed: ") + missing)); \
    } while (false)

// Runs a helper binary as a client starts it, on an X server of its own (Xvfb) that lasts as long
// as the runner, and acts as the user in front of it: keys pressed with xdotool.
//
// What it runs is taken from the environment, and otherwise from the defaults given:
//   UPDATER_HELPER         the helper binary
//   UPDATER_LAUNCHER       a command prefix the helper and the sample programs are started
//                          with, split at spaces (for example "wine64")
//   UPDATER_SAMPLE_TOOL    the sample maintenance tool
//   UPDATER_SAMPLE_CLIENT  the sample client
// Every path the programs are told is absolute. The runner alone knows where a run keeps its
// temporary files (its log and lock): on Linux, TMPDIR set to a folder of the installation's own.
class HelperRunner
{
public:
    static inline const QString DialogTitle = QStringLiteral("Обновление Corvane");
    static inline const QString ErrorBoxTitle = QStringLiteral("Ошибка обновления Corvane");
    // On Windows the command-line parser shows its help and errors in a box of this title.
    static inline const QString ParserBoxTitle = QStringLiteral("Corvane Updater");
    static inline const QString RunOnceKey
            = QStringLiteral("HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce");

    HelperRunner(const QString &helper, const QString &tool, const QString &client);
    ~HelperRunner();

    // Starts the X server, once every program the runner starts is known to be installed.
    bool startServer(QString &error);

    // True when the helper is a Windows executable; the sample programs then are too.
    bool runsWindowsPrograms() const { return executableSuffix == QLatin1String(".exe"); }

    QString temporaryDirectory(const SampleInstallation &installation) const;
    // A path as the programs started report it (their own path, their working directory).
    QString asProgramsSeeIt(const QString &path) const;
    QString logPath(const SampleInstallation &installation) const;
    // The name of the installation lock that a helper for clientPath takes.
    QString lockFileName(const QString &clientPath) const;
    // What a run has left in its temporary directory besides the log.
    QStringList leftovers(const SampleInstallation &installation) const;
    // The update entries that run at the installation user's next logon, by name, with their
    // commands (the Exec line on Linux, still escaped): the autostart folder of its own on Linux,
    // RunOnce of the Wine prefix.
    QMap<QString, QString> logonEntries(const SampleInstallation &installation) const;
    // The folder the programs keep their local data in: below the installation user's profile,
    // as XDG_DATA_HOME on Linux, as the prefix's local application data folder under Wine.
    QString localDataDirectory(const SampleInstallation &installation) const;

    // A sample installation below base whose client copy has a file name of its own.
    SampleInstallation installation(const QString &base, const QString &name) const;

    // Starts program (the helper, or the installation's client copy when program is empty) in
    // the installation's environment, in workingDirectory when one is given.
    QProcess *start(const SampleInstallation &installation, const QStringList &arguments,
                    const QString &workingDirectory = QString(), QString program = QString());

    // Presses key once in every window titled title; false when there was none.
    bool pressKey(const QString &title, const QString &key) const;
    // Saves the window titled title as NAME.png in the folder UPDATER_SCREENSHOTS names, for the
    // documentation; false while there is no such window. True at once when no folder is named.
    bool savePicture(const QString &title, const QString &name) const;
    // Acts as the user after failures: answers every error box, then closes every dialog with
    // closeKey, until all the helpers have ended. True when each ended with exitCode.
    bool closeAfterFailure(const QList<QProcess *> &helpers,
                           const QString &closeKey = QStringLiteral("Escape"), int exitCode = 0);
    // Kills every process this runner started that still runs.
    void endAll();

    QString helper;
    QString tool;
    QString client;
    QStringList launcher;
    QString executableSuffix;

private:
    QProcessEnvironment environment(const SampleInstallation &installation) const;
    QStringList windows(const QString &title) const;
    QString xdotool(const QStringList &arguments) const;

    QProcess server;
    QString display;
    QTemporaryDir runtime;
    std::vector<std::unique_ptr<QProcess>> processes;
};
