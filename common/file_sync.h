#pragma once

class QString;

namespace FileSync {

// Makes a file's content durable: an fsync of the file on Linux, FlushFileBuffers on a handle
// opened for writing on Windows (a read-only file loses its attribute for that moment). True
// also when the file is gone or is not a regular file, since then nothing of it can be lost;
// false when it could not be opened or flushed (on Windows, held by another process).
bool flush(const QString &path);

} // namespace FileSync
