#pragma once

#include <QString>

#include <string>

namespace WindowsPath {

// The path as CreateFileW wants it; past MAX_PATH characters only in its "\\?\" form, which Qt's
// own file functions use too. Windows only.
std::wstring native(const QString &path);

// One argument as CommandLineToArgvW reads it back (the way Qt's entry point splits the command
// line): bare when it holds no blank or quote, else in double quotes, a quote inside escaped with
// a backslash, and the backslashes before a quote (or before the closing one) doubled.
QString quotedArgument(const QString &argument);

} // namespace WindowsPath
