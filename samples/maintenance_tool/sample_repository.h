#pragma once

#include <QString>
#include <QStringList>

// A sample update repository: a local directory with the new components.xml, a payload/ tree
// copied over the installation, and an optional repository.ini that declares how the tool
// behaves while it installs them.
struct SampleRepository
{
    // `location` is a directory path or a file:// URL of one; `run` counts the runs of one
    // update from 1 and picks the keys of its [runN] section. Every declared value is checked
    // here, so a bad repository is refused before the installation is touched.
    static bool load(const QString &location, int run, SampleRepository &repository,
                     QString &error);

    QString componentsPath() const;
    QString payloadPath() const;

    QString path;
    int exitCode = 0;
    bool applyPayload = true;
    // Every file of the installation (but the tool's own) deleted before the payload, as an
    // installer that removes the old version before it unpacks the new one.
    bool removeOldFiles = false;
    QStringList remove;
    bool markers = false;
    bool crash = false;
    // A line printed last, as a real tool sums its run up ("No updates available.").
    QString says;
    // How files are written when nothing is to be synced: "inPlace" (truncated and written where
    // they are) or "moved" (written beside and renamed over them); empty: through QSaveFile.
    QString unsynced;
    qint64 floodBytes = 0;
    int delayMs = 0;
    int startDelayMs = 0;
    // A process the run starts and leaves running this long after it has ended, as IFW's Windows
    // tool leaves the copy of itself that deletes the one it replaced; 0: none.
    int leaveRunningMs = 0;
    QString waitForFile;
    // Where the run waits for waitForFile: "start", "midFile", "removed" (after removeOldFiles)
    // or "end".
    QString waitPoint = QStringLiteral("end");
};
