#pragma once

#include <QString>

#include <string>

namespace WindowsPath {

// The path as CreateFileW wants it; past MAX_PATH characters only in its "\\?\" form, which Qt's
// own file functions use too. Windows only.
std::wstring native(const QString &path);

} // namespace WindowsPath
