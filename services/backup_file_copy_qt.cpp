#include "backup_file_copy.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QString>

#include <cstring>

namespace {

constexpr qint64 ChunkSize = 1048576;

// Reads until `buffer` is full or the file ends; the count read, or -1 on an error.
qint64 readFully(QFile &file, char *buffer, qint64 size)
{
    qint64 done = 0;
    while (done < size) {
        const qint64 read = file.read(buffer + done, size - done);
        if (read < 0 || file.error() != QFileDevice::NoError)
            return -1;
        if (read == 0)
            break;
        done += read;
    }
    return done;
}

} // namespace

namespace BackupFileCopy {

bool copyContents(QFile &source, QSaveFile &target)
{
    QByteArray buffer(ChunkSize, Qt::Uninitialized);
    for (;;) {
        const qint64 read = source.read(buffer.data(), ChunkSize);
        if (read < 0 || source.error() != QFileDevice::NoError)
            return false;
        if (read == 0)
            break;
        if (target.write(buffer.constData(), read) != read)
            return false;
    }
    // A new file gets default permissions from Qt; carry the source's (on Windows, its read-only
    // attribute), set on the save file's own temporary file, so the target never exists with the
    // wrong ones. Set last: on Windows a read-only file takes no more writes.
    return target.setPermissions(source.permissions());
}

bool sameFile(const QString &source, const QString &target)
{
    // Only regular files are opened: opening a FIFO would wait for a writer.
    const QFileInfo sourceInfo(source);
    const QFileInfo targetInfo(target);
    if (sourceInfo.isSymLink() || targetInfo.isSymLink() || !sourceInfo.isFile()
        || !targetInfo.isFile() || sourceInfo.size() != targetInfo.size())
        return false;
    if (sourceInfo.permissions() != targetInfo.permissions())
        return false;

    QFile in(source);
    QFile out(target);
    if (!in.open(QIODevice::ReadOnly | QIODevice::Unbuffered)
        || !out.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;

    // Half a chunk from each side: 1 MiB of file data in memory, as for a copy.
    constexpr qint64 Half = ChunkSize / 2;
    QByteArray sourceBytes(Half, Qt::Uninitialized);
    QByteArray targetBytes(Half, Qt::Uninitialized);
    for (;;) {
        const qint64 sourceRead = readFully(in, sourceBytes.data(), Half);
        const qint64 targetRead = readFully(out, targetBytes.data(), Half);
        if (sourceRead < 0 || sourceRead != targetRead
            || std::memcmp(sourceBytes.constData(), targetBytes.constData(), size_t(sourceRead))
                    != 0)
            return false;
        if (sourceRead == 0)
            return true;
    }
}

} // namespace BackupFileCopy
