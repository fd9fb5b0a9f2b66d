#pragma once

#include <QString>

// The kit's per-user directory, where the handoff files and the helper's private copies live.
namespace PrivateDirectory {

// The application's local data directory joined with "update"; empty when the system names no
// such place.
QString defaultPath();

// Makes `path` a directory, creating it for the owner only (0700) where it is missing. True when
// it is a directory afterwards, false when something else stands there.
bool make(const QString &path);

} // namespace PrivateDirectory
