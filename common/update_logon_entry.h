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

// Makes the entry `name` start `program` with `arguments` at the user's next logon, replacing an
// entry of that name.
bool write(const QString &name, const QString &program, const QStringList &arguments);

// Removes the entry `name`; true also when there is none.
bool remove(const QString &name);

// True when the entry `name` is there.
bool exists(const QString &name);

// The programs that the update entries (names starting with "Kestrova-update-") start: copies
// of the helper that nothing may remove while an entry points at them.
QStringList programs();

} // namespace UpdateLogonEntry
