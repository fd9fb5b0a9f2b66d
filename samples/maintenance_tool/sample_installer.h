#pragma once

#include <QString>
#include <QStringList>

#include <functional>

class ToolOutput;
struct SampleRepository;

// Applies a sample repository to the installation directory: the payload files, then the
// removals, then components.xml last, so an interrupted run never records a version whose
// files are not all in place.
class SampleInstaller
{
public:
    SampleInstaller(const QString &installationDirectory, ToolOutput &output);

    // Copies every file under payload/ to the same relative path in the installation, sleeping
    // `delayMs` after each one. With the wait point "midFile", the first file is first written
    // half, in place, and waitHalfway called before it is written whole.
    bool installPayload(const SampleRepository &repository,
                        const std::function<void()> &waitHalfway, QString &error);
    // Deletes every file below the installation but the running tool's own; folders stay.
    bool removeOldFiles(QString &error);
    bool removePaths(const QStringList &relativePaths, QString &error);
    bool installComponents(const SampleRepository &repository, QString &error);

private:
    // The target is replaced in one step through a save file, or written without a sync as
    // `unsynced` says (SampleRepository), and gets the source's permission bits.
    static bool copyFile(const QString &source, const QString &target, const QString &unsynced,
                         QString &error);
    // The target holds the first half of the source, as a tool that writes its files in place
    // leaves one when it is ended in the middle.
    static bool writeHalf(const QString &source, const QString &target, QString &error);

    QString installationDirectory;
    ToolOutput &output;
};
