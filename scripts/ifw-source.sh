# The source of Qt Installer Framework 4.6.1, for the scripts that build it (scripts/ifw-tools for
# Linux, scripts/ifw-windows for Windows). Source it after common.sh; do not run it.
# The source is the archive named by IFW_SOURCE_ARCHIVE, or ../shared/third_party/ beside the
# repository when it is there; its SHA-256 is checked. Without an archive the official repository
# is cloned at the release's commit, and the commit is checked.

IFW_VERSION=4.6.1
IFW_ARCHIVE_SHA256=46e9f5b8a3e30f4a4d77cefdf2ce80b4ca3aff72874714ac6be73552710dc856
IFW_COMMIT=e99494a7abfd8509decd2ab46f84bc9e5bd5794f
IFW_REPOSITORY=https://code.qt.io/installer-framework/installer-framework.git

ifw_archive=${IFW_SOURCE_ARCHIVE:-}
if [ -z "$ifw_archive" ] && [ -f "$ROOT/../shared/third_party/installer-framework-$IFW_VERSION.tar.xz" ]; then
    ifw_archive="$ROOT/../shared/third_party/installer-framework-$IFW_VERSION.tar.xz"
fi

# ifw_source NAME DIR: puts IFW's source into DIR (which must not exist); NAME is for the log.
ifw_source() {
    local name=$1 dir=$2
    if [ -n "$ifw_archive" ]; then
        log "$name: unpacking $ifw_archive"
        echo "$IFW_ARCHIVE_SHA256  $ifw_archive" | sha256sum --check --quiet \
            || { echo "The SHA-256 of $ifw_archive is not IFW $IFW_VERSION's; not building it" >&2; exit 1; }
        mkdir -p "$dir"
        tar -xJf "$ifw_archive" -C "$dir" --strip-components=1
    else
        ensure_packages git
        log "$name: no source archive; cloning $IFW_REPOSITORY at $IFW_COMMIT"
        git clone --quiet --no-checkout "$IFW_REPOSITORY" "$dir"
        git -C "$dir" checkout --quiet "$IFW_COMMIT"
        [ "$(git -C "$dir" rev-parse HEAD)" = "$IFW_COMMIT" ] \
            || { echo "The clone is not at $IFW_COMMIT; not building it" >&2; exit 1; }
    fi
}
