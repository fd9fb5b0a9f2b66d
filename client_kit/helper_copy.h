#pragma once

#include <QString>

// Private copies of updater_helper, to start it from outside the installation it updates.
//
// The helper replaces the installation's files and, on failure, puts them back. Started from
// inside the installation, its own file is one of them: on Windows a running executable cannot
// be replaced, so a payload that updates the helper would fail, and so would a rollback that had
// to rewrite it. Run from a copy elsewhere, nothing in the installation is held by the helper.
namespace HelperCopy {

// True when helperPath names a file inside installationDirectory (canonical paths, letter case
// ignored, as the backup judges places).
bool liesInside(const QString &helperPath, const QString &installationDirectory);

// A fresh copy of the helper, with its file name and permission bits, in a directory of its own
// ("helper-XXXXXX") in `directory`; the copy's path, or an empty string when it cannot be made.
QString make(const QString &helperPath, const QString &directory);

// Removes the copies that earlier starts left in `directory` and that no process runs any more,
// except those a logon entry starts (UpdateLogonEntry); a copy that cannot be removed now stays
// for a later start.
void removeOld(const QString &directory);

// Platform part: true when a running process was started from the file at `path`.
bool isRunning(const QString &path);

} // namespace HelperCopy
