#include "file_sync.h"

#include <QFile>
#include <QString>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace FileSync {

bool flush(const QString &path)
{
    // Linux flushes through a descriptor opened for reading; O_NONBLOCK keeps a FIFO that took a
    // file's place from blocking the open.
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT || errno == ELOOP;
    struct stat status;
    const bool flushed
            = ::fstat(fd, &status) == 0 && (!S_ISREG(status.st_mode) || ::fsync(fd) == 0);
    ::close(fd);
    return flushed;
}

QByteArray changeStamp(const QString &path)
{
    struct stat status;
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0 || !S_ISREG(status.st_mode))
        return QByteArray();
    return QByteArray::number(quint64(status.st_dev)) + ':'
            + QByteArray::number(quint64(status.st_ino)) + ':'
            + QByteArray::number(qint64(status.st_size)) + ':'
            + QByteArray::number(qint64(status.st_ctim.tv_sec)) + '.'
            + QByteArray::number(qint64(status.st_ctim.tv_nsec));
}

} // namespace FileSync
