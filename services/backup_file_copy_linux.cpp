#include "backup_file_copy.h"

#include <QFile>
#include <QSaveFile>
#include <QString>

#include <cerrno>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t ChunkSize = 1048576;

// sendfile moves the bytes from page cache to page cache inside the kernel, so no copy passes
// through this process. Large files go in steps of this size, each step's writeback started at
// once, so the disk works while the next step is copied and the commit's fsync finds little
// left to write.
constexpr std::size_t Step = 8 * ChunkSize;

bool writeAll(int fd, const char *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= std::size_t(written);
    }
    return true;
}

// For file systems whose files sendfile refuses.
bool copyThroughBuffer(int source, int target)
{
    const std::unique_ptr<char[]> buffer(new char[ChunkSize]);
    for (;;) {
        const ssize_t read = ::read(source, buffer.get(), ChunkSize);
        if (read < 0 && errno == EINTR)
            continue;
        if (read < 0)
            return false;
        if (read == 0)
            return true;
        if (!writeAll(target, buffer.get(), std::size_t(read)))
            return false;
    }
}

// Reads until `buffer` is full or the file ends; the count read, or -1 on an error.
ssize_t readFully(int fd, char *buffer, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t read = ::read(fd, buffer + done, size - done);
        if (read < 0 && errno == EINTR)
            continue;
        if (read < 0)
            return -1;
        if (read == 0)
            break;
        done += std::size_t(read);
    }
    return ssize_t(done);
}

// A descriptor that closes itself.
class Descriptor
{
public:
    explicit Descriptor(int fd) : fd(fd) { }
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;

    const int fd;
};

// O_NONBLOCK keeps the open of a FIFO from waiting for a writer; O_NOFOLLOW refuses a link.
int openForComparison(const QString &path)
{
    return ::open(QFile::encodeName(path).constData(),
                  O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
}

} // namespace

namespace BackupFileCopy {

bool copyContents(QFile &source, QSaveFile &target)
{
    const int in = source.handle();
    const int out = target.handle();
    struct stat status;
    // The bits go on the save file's own temporary file, so the target never exists with the
    // wrong ones; executables stay executable in the backup and after a restore.
    if (in < 0 || out < 0 || fstat(in, &status) != 0 || fchmod(out, status.st_mode & 0777) != 0)
        return false;
    posix_fadvise(in, 0, 0, POSIX_FADV_SEQUENTIAL);

    off_t copied = 0;
    off_t writebackFrom = 0;
    for (;;) {
        const ssize_t sent = sendfile(out, in, nullptr, Step);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0)
            return copied == 0 && (errno == EINVAL || errno == ENOSYS)
                    && copyThroughBuffer(in, out);
        if (sent == 0)
            return true;
        copied += sent;
        if (copied - writebackFrom >= off_t(Step)) {
            sync_file_range(out, writebackFrom, copied - writebackFrom, SYNC_FILE_RANGE_WRITE);
            writebackFrom = copied;
        }
    }
}

bool sameFile(const QString &source, const QString &target)
{
    const Descriptor in(openForComparison(source));
    const Descriptor out(openForComparison(target));
    struct stat sourceStatus;
    struct stat targetStatus;
    if (in.fd < 0 || out.fd < 0 || fstat(in.fd, &sourceStatus) != 0
        || fstat(out.fd, &targetStatus) != 0 || !S_ISREG(sourceStatus.st_mode)
        || !S_ISREG(targetStatus.st_mode) || sourceStatus.st_size != targetStatus.st_size
        || (sourceStatus.st_mode & 0777) != (targetStatus.st_mode & 0777))
        return false;
    posix_fadvise(in.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    posix_fadvise(out.fd, 0, 0, POSIX_FADV_SEQUENTIAL);

    // Half a chunk from each side: 1 MiB of file data in memory, as for a copy.
    constexpr std::size_t Half = ChunkSize / 2;
    const std::unique_ptr<char[]> sourceBytes(new char[Half]);
    const std::unique_ptr<char[]> targetBytes(new char[Half]);
    for (;;) {
        const ssize_t sourceRead = readFully(in.fd, sourceBytes.get(), Half);
        const ssize_t targetRead = readFully(out.fd, targetBytes.get(), Half);
        if (sourceRead < 0 || sourceRead != targetRead
            || std::memcmp(sourceBytes.get(), targetBytes.get(), std::size_t(sourceRead)) != 0)
            return false;
        if (sourceRead == 0)
            return true;
    }
}

} // namespace BackupFileCopy
