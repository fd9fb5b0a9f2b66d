#pragma once

#include <QByteArray>

class QString;

namespace FileSync {

// Makes a file's content durable: an fsync of the file on Linux, FlushFileBuffers on a handle
// opened for writing on Windows (a read-only file loses its attribute for that moment). True
// also when the file is gone or is not a regular file, since then nothing of it can be lost;
// false when it could not be opened or flushed (on Windows, held by another process).
bool flush(const QString &path);

// What tells a regular file's content apart from any later one without reading it: its device
// or volume, inode or file index, size and change time (on Windows also the last write time),
// which every write, replacement and rename changes. Empty where that is not known (not a
// regular file, or it cannot be examined); a file with an empty stamp always counts as changed.
QByteArray changeStamp(const QString &path);

} // namespace FileSync
