#pragma once

#include <QString>
#include <QStringList>

// The user's "run at next logon" entry that starts a helper again after an update was cut off
// (a power cut, a forced shutdown), when the client it would otherwise wait for may be gone
// with the old files. It lives as long as the record of the update in progress: written before
// the record, removed after it.
//
// Windows: a value under HKCU\Software\Microsoft\Windows\CurrentVersion\RunOnce, which Windows
// deletes before it runs the command. Linux and other XDG desktops: an autostart entry
// NAME.desktop in $XDG_CONFIG_HOME/autostart (by default ~/.config/autostart), written atomically.
namespace UpdateLogonEntry {

// Windows documents the command of a Run or RunOnce value as at most 260 characters; one fewer
// leaves room for a terminating null, should a reader count it.
constexpr qsizetype MaximumWindowsCommandLength = 259;

// Makes the entry `name` start `program` with `arguments` at the user's next logon, replacing an
// entry of that name. An argument is quoted only when it must be. On failure says why in
// `error` (English, for the log). On Windows a command longer than
// MaximumWindowsCommandLength names the program by its short (8.3) path instead; if that is
// still too long, or the volume keeps no short names, no entry is written.
bool write(const QString &name, const QString &program, const QStringList &arguments,
           QString &error);

// Removes the entry `name`; true also when there is none.
bool remove(const QString &name);

// True when the entry `name` is there.
bool exists(const QString &name);

// The names of the update entries (starting with "Kestrova-update-").
QStringList names();

// The programs that the update entries (names starting with "Kestrova-update-") start: copies
// of the helper that nothing may remove while an entry points at them.
QStringList programs();

} // namespace UpdateLogonEntry
