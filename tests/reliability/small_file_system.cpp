#include "small_file_system.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>

#include <sys/mount.h>

SmallFileSystem::~SmallFileSystem()
{
    unmount();
}

bool SmallFileSystem::mount(const QString &directory, qint64 bytes, QString &error)
{
    if (!QDir().mkpath(directory)) {
        error = QStringLiteral("cannot make ") + directory;
        return false;
    }
    const QByteArray target = QFile::encodeName(directory);
    const QByteArray options = "size=" + QByteArray::number(bytes) + ",mode=0755";
    if (::mount("tmpfs", target.constData(), "tmpfs", MS_NOSUID | MS_NODEV, options.constData())
        != 0) {
        error = QStringLiteral("cannot mount a tmpfs on %1: %2 (the test needs to run as root "
                               "with the right to mount)")
                        .arg(directory, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    mountPoint = directory;
    return true;
}

void SmallFileSystem::unmount()
{
    if (mountPoint.isEmpty())
        return;
    const QByteArray target = QFile::encodeName(mountPoint);
    // A process of the test that still holds a file there must not keep the mount alive.
    if (::umount2(target.constData(), 0) != 0)
        ::umount2(target.constData(), MNT_DETACH);
    mountPoint.clear();
}
