#include "backup_file_copy.h"

#include <QByteArray>
#include <QFile>
#include <QSaveFile>

namespace BackupFileCopy {

bool copyContents(QFile &source, QSaveFile &target)
{
    constexpr qint64 ChunkSize = 1048576;

#ifndef Q_OS_WIN
    // A new file gets default permissions from Qt; carry the source's bits so that executables
    // stay executable in the backup and after a restore. Set on the save file's own temporary
    // file, so the target never exists with the wrong bits.
    if (!target.setPermissions(source.permissions()))
        return false;
#endif

    QByteArray buffer(ChunkSize, Qt::Uninitialized);
    for (;;) {
        const qint64 read = source.read(buffer.data(), ChunkSize);
        if (read < 0 || source.error() != QFileDevice::NoError)
            return false;
        if (read == 0)
            return true;
        if (target.write(buffer.constData(), read) != read)
            return false;
    }
}

} // namespace BackupFileCopy
