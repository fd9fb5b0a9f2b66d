#include "sample_installer.h"

#include "sample_repository.h"
#include "tool_output.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QThread>

namespace {

constexpr qint64 CopyChunkSize = 1048576;

} // namespace

SampleInstaller::SampleInstaller(const QString &installationDirectory, ToolOutput &output)
    : installationDirectory(installationDirectory), output(output)
{ }

bool SampleInstaller::installPayload(const SampleRepository &repository,
                                     const std::function<void()> &waitHalfway, QString &error)
{
    const QDir payload(repository.payloadPath());
    if (!payload.exists())
        return true;

    // Sorted, so that a run interrupted after a delay has changed a predictable set of files.
    QStringList entries;
    QDirIterator it(payload.path(), QDir::Files | QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        entries.append(payload.relativeFilePath(it.next()));
    entries.sort();

    const QDir installation(installationDirectory);
    bool halfway
            = !repository.waitForFile.isEmpty() && repository.waitPoint == QLatin1String("midFile");
    for (const QString &relativePath : entries) {
        const QString source = payload.filePath(relativePath);
        const QString target = installation.filePath(relativePath);
        if (QFileInfo(source).isDir()) {
            if (!installation.mkpath(relativePath)) {
                error = QStringLiteral("Cannot create the directory %1").arg(relativePath);
                return false;
            }
            continue;
        }

        output.line(QStringLiteral("Installing payload/%1").arg(relativePath));
        if (!installation.mkpath(QFileInfo(relativePath).path())) {
            error = QStringLiteral("Cannot create the directory of %1").arg(relativePath);
            return false;
        }
        if (halfway) {
            if (!writeHalf(source, target, error))
                return false;
            waitHalfway();
            halfway = false;
        }
        if (!copyFile(source, target, repository.unsynced, error))
            return false;
        if (repository.delayMs > 0)
            QThread::msleep(ulong(repository.delayMs));
    }
    return true;
}

bool SampleInstaller::removeOldFiles(QString &error)
{
    output.line(QStringLiteral("Removing the old files"));
    const QString self = QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath();
    QDirIterator it(installationDirectory, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (it.fileInfo().canonicalFilePath() != self && !QFile::remove(path)) {
            error = QStringLiteral("Cannot remove %1").arg(path);
            return false;
        }
    }
    return true;
}

bool SampleInstaller::removePaths(const QStringList &relativePaths, QString &error)
{
    const QDir installation(installationDirectory);
    for (const QString &relativePath : relativePaths) {
        const QString path = installation.filePath(relativePath);
        const QFileInfo info(path);
        if (!info.exists() && !info.isSymLink()) {
            output.line(QStringLiteral("Removing %1: not installed").arg(relativePath));
            continue;
        }
        output.line(QStringLiteral("Removing %1").arg(relativePath));
        const bool removed = info.isDir() && !info.isSymLink() ? QDir(path).removeRecursively()
                                                               : QFile::remove(path);
        if (!removed) {
            error = QStringLiteral("Cannot remove %1").arg(relativePath);
            return false;
        }
    }
    return true;
}

bool SampleInstaller::installComponents(const SampleRepository &repository, QString &error)
{
    if (!QFileInfo::exists(repository.componentsPath()))
        return true;
    output.line(QStringLiteral("Installing components.xml"));
    return copyFile(repository.componentsPath(),
                    QDir(installationDirectory).filePath(QStringLiteral("components.xml")),
                    repository.unsynced, error);
}

bool SampleInstaller::copyFile(const QString &source, const QString &target,
                               const QString &unsynced, QString &error)
{
    QFile input(source);
    if (!input.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("Cannot read %1: %2").arg(source, input.errorString());
        return false;
    }

    // As installers do, a read-only file is replaced all the same.
    const QFileInfo existing(target);
    if (existing.isFile() && !existing.isWritable())
        QFile::setPermissions(target, existing.permissions() | QFileDevice::WriteOwner);
    // A save file syncs its content before the move; an installer that unpacks straight into
    // the installation syncs nothing.
    QSaveFile saveFile(target);
    const QString part
            = unsynced == QLatin1String("moved") ? target + QStringLiteral(".part") : target;
    QFile direct(part);
    QFileDevice &output = unsynced.isEmpty() ? static_cast<QFileDevice &>(saveFile) : direct;
    if (!output.open(QIODevice::WriteOnly)) {
        error = QStringLiteral("Cannot write %1: %2").arg(target, output.errorString());
        return false;
    }
    while (!input.atEnd()) {
        const QByteArray chunk = input.read(CopyChunkSize);
        if (chunk.isEmpty()) {
            if (input.error() == QFileDevice::NoError)
                break;
            error = QStringLiteral("Cannot read %1: %2").arg(source, input.errorString());
            return false;
        }
        if (output.write(chunk) != chunk.size()) {
            error = QStringLiteral("Cannot write %1: %2").arg(target, output.errorString());
            return false;
        }
    }
    bool written = output.setPermissions(input.permissions());
    if (unsynced.isEmpty()) {
        written = written && saveFile.commit();
    } else {
        written = written && direct.flush();
        direct.close();
        // Not one step on Windows, where a rename does not replace: good enough for a sample.
        if (written && part != target)
            written = (QFile::remove(target) || !QFileInfo::exists(target))
                    && QFile::rename(part, target);
    }
    if (!written) {
        error = QStringLiteral("Cannot write %1: %2").arg(target, output.errorString());
        return false;
    }
    return true;
}

bool SampleInstaller::writeHalf(const QString &source, const QString &target, QString &error)
{
    QFile input(source);
    QFile output(target);
    if (!input.open(QIODevice::ReadOnly) || !output.open(QIODevice::WriteOnly)) {
        error = QStringLiteral("Cannot write %1").arg(target);
        return false;
    }
    const QByteArray half = input.read(input.size() / 2);
    if (output.write(half) != half.size() || !output.flush()) {
        error = QStringLiteral("Cannot write %1: %2").arg(target, output.errorString());
        return false;
    }
    return true;
}
