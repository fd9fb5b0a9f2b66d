#pragma once

#include <QString>

// Whether updating an installation needs rights that the process lacks, decided as the maintenance
// tool of Qt Installer Framework decides it before it changes anything: it makes a file in the
// installation folder and removes it again, and when that fails it needs administrator's rights.
// Started from the command line without them it cannot gain them: it stops with "Cannot elevate
// access rights while running from command line" and exit code 1. The helper asks before the
// client is asked to exit; a client can ask before it offers an update at all.
namespace UpdateRights {

enum class Access {
    // The folder can be written, or the process has administrator's rights: the tool runs as the
    // process runs.
    Direct,
    // Neither, but the process may ask once for the rights (Windows with UAC on).
    Elevated,
    // Neither, and there is no asking: no elevation on this system (Linux), or a policy that
    // switches it off (Windows with UAC off).
    Denied,
};

// True when a file can be made in `directory` and removed again; false also when the directory is
// missing or is not one. The file lives only for the call, under a name of the helper's own.
bool directoryWritable(const QString &directory);

// Windows: the process's token counts as a member of Administrators (CheckTokenMembership): an
// elevated token, or an administrator's with UAC off; an administrator's filtered token does not.
// Elsewhere: the user id is 0.
bool hasAdministratorRights();

// Windows: UAC is on (the policy EnableLUA is missing or not 0), so that a program started with
// the "runas" verb asks for the rights. With UAC off such a start gives no more rights than the
// caller has. Elsewhere: false.
bool elevationAvailable();

// The verdict from the three facts above.
Access access(bool directoryWritable, bool administrator, bool elevationAvailable);

// The verdict for the installation in `installationDirectory`, for this process.
Access access(const QString &installationDirectory);

// Where the elevated part of an update keeps its lock, its record, its backup and its log, and the
// copy of the helper it runs from: a folder only administrators can write. Windows: "Corvane
// Updater" in the Program Files folder (which ordinary users cannot add to, so that none can make
// this folder before an administrator does). Empty where there is no elevation.
QString elevatedDirectory();

} // namespace UpdateRights
