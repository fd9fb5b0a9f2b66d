#!/bin/sh
# Makes a fresh Wine prefix for a run of the black-box tests on the Windows executables.
# Windows programs there take TEMP and TMP from UPDATER_TEMP, so that every installation a test
# builds gets a temporary directory of its own, as TMPDIR gives it on Linux.
#   wine_prefix.sh PREFIX
set -eu
export WINEPREFIX="$1" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY
WINEPREFIX="$1" wineserver -k 2>/dev/null || true
rm -rf "$1"
timeout 150 wineboot --init >/dev/null 2>&1
for name in TEMP TMP; do
    wine reg add 'HKCU\Environment' /v "$name" /t REG_EXPAND_SZ /d '%UPDATER_TEMP%' /f >/dev/null
done
# The server writes the registry to disk when it exits.
timeout 60 wineserver -w
