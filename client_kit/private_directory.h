#pragma once

#include <QString>

// The kit's per-user directory, where the handoff files, the helper's private copies and what the
// update check remembers live.
namespace PrivateDirectory {

// The application's local data directory joined with "update"; empty when the system names no
// such place.
QString defaultPath();

// Makes `path` a directory, creating it for the owner only (0700) where it is missing. True when
// it is a directory afterwards, false when something else stands there.
bool make(const QString &path);

// 16 hex digits that name the installation of the client at applicationPath in this directory:
// from the case-folded canonical path of the executable (its absolute path while it does not
// exist), so that every spelling of one installation meets at one name and two installations
// never share a file.
QString installationKey(const QString &applicationPath);

} // namespace PrivateDirectory
