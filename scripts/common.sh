# Shared by the scripts: package installation and the build. Source it; do not run it.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

log() { printf '==> %s\n' "$*"; }

# Installs the Debian packages that are missing. As root it runs apt-get; otherwise it prints the
# exact command and stops.
ensure_packages() {
    local missing=()
    local package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' \
            || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing packages. Install them with:" >&2
        echo "    sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
    log "Installing ${missing[*]}"
    if [ -z "${APT_UPDATED:-}" ]; then
        apt-get update -qq
        APT_UPDATED=1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# libsodium verifies the update check's signatures; pkg-config finds it.
BUILD_PACKAGES=(build-essential cmake qt6-base-dev qt6-qpa-plugins libgl-dev libsodium-dev pkg-config)
# A real X server and the tools a user's hands and eyes are replaced with; a font with Cyrillic.
GUI_PACKAGES=(xvfb xauth xdotool x11-utils imagemagick fonts-dejavu-core)

# build DIR [cmake options...]
build() {
    local dir=$1
    shift
    log "Configuring $dir"
    cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >"$dir.configure.log" 2>&1 \
        || { cat "$dir.configure.log"; return 1; }
    log "Building $dir"
    cmake --build "$dir" -j"$(nproc)" 2>&1 | grep -E -i 'error|warning:' || true
    cmake --build "$dir" -j"$(nproc)" >/dev/null
}
