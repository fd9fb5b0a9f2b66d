#include "backup_file_copy.h"

#include <QFile>
#include <QSaveFile>

#include <cerrno>
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

} // namespace BackupFileCopy
