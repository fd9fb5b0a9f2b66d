#!/bin/sh
# Makes a fresh Wine prefix for a run of the black-box tests on the Windows executables.
# Windows programs there take TEMP and TMP from UPDATER_TEMP, and their local application data
# folder from UPDATER_LOCAL_APPDATA, so that every installation a test builds gets a temporary
# directory and a profile of its own, as TMPDIR and XDG_DATA_HOME give them on Linux.
#   wine_prefix.sh PREFIX
set -eu
export WINEPREFIX="$1" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY
# Now and then a new prefix comes up without its drives: its programs get "Invalid function." for
# C:\ and IFW's installer finds no valid drive. Such a prefix is made again, up to three times.
attempt=1
while :; do
    WINEPREFIX="$1" wineserver -k 2>/dev/null || true
    rm -rf "$1"
    timeout 150 wineboot --init >/dev/null 2>&1
    wine cmd /c 'dir C:\' >/dev/null 2>&1 && break
    if [ "$attempt" -eq 3 ]; then
        echo "wine_prefix.sh: the prefix $1 has no drive C: after $attempt tries" >&2
        exit 1
    fi
    attempt=$((attempt + 1))
done
for name in TEMP TMP; do
    wine reg add 'HKCU\Environment' /v "$name" /t REG_EXPAND_SZ /d '%UPDATER_TEMP%' /f >/dev/null
done
# And the local application data folder from UPDATER_LOCAL_APPDATA: a profile of the
# installation's own, as a user's C:\Users\NAME\AppData\Local.
wine reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders' \
    /v 'Local AppData' /t REG_EXPAND_SZ /d '%UPDATER_LOCAL_APPDATA%' /f >/dev/null
# UAC on, as Windows ships it (Wine's prefix says EnableLUA 0): a helper without the rights may
# then ask for them, which is what the elevation rows show.
wine reg add 'HKLM\Software\Microsoft\Windows\CurrentVersion\Policies\System' \
    /v EnableLUA /t REG_DWORD /d 1 /f >/dev/null
# A crash ends the program as on Windows without error reporting's dialog: Wine's debugger writes
# its report and the program ends with the exception's code, where its dialog would wait for a user.
wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null
# The server writes the registry to disk when it exits.
timeout 60 wineserver -w
