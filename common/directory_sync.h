#pragma once

class QString;

namespace DirectorySync {

// Makes the entries of a directory (files created, renamed or removed in it) durable. On Linux an
// fsync of the directory; on Windows, where NTFS journals its metadata and a directory handle
// cannot be flushed without backup privileges, nothing to do. False when the sync failed.
bool sync(const QString &directoryPath);

} // namespace DirectorySync
