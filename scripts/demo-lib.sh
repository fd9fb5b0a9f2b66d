# shellcheck shell=bash
# What scripts/demo and scripts/demo-real-tool need besides common.sh: the build, waiting on
# conditions, an X display, finding and answering windows, taking their pictures, and the checks of
# the result. Source it after common.sh; do not run it.

die() {
    printf 'demo: %s\n' "$*" >&2
    exit 1
}

say() { printf '    %s\n' "$*"; }

# build_targets DIR TARGET...: configures DIR the first time (a configured build directory
# reconfigures itself when needed) and builds the targets.
build_targets() {
    local dir=$1
    shift
    if [ ! -f "$dir/CMakeCache.txt" ]; then
        mkdir -p "$dir"
        log "Configuring $dir"
        cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$dir.configure.log" 2>&1 \
            || { cat "$dir.configure.log"; exit 1; }
    fi
    log "Building $*"
    cmake --build "$dir" -j"$(nproc)" --target "$@" >"$dir.demo-build.log" 2>&1 \
        || { grep -E -i -A3 'error' "$dir.demo-build.log" | head -n 40; exit 1; }
}

now_ms() {
    # EPOCHREALTIME's decimal separator follows the locale.
    local microseconds=${EPOCHREALTIME//[!0-9]/}
    echo $((microseconds / 1000))
}

# wait_until SECONDS WHAT COMMAND...: runs COMMAND every 50 ms until it succeeds; gives up, naming
# WHAT, after SECONDS.
wait_until() {
    local timeout=$1 what=$2
    shift 2
    local deadline=$(($(now_ms) + timeout * 1000))
    until "$@"; do
        [ "$(now_ms)" -lt "$deadline" ] || die "no $what after ${timeout} s"
        sleep 0.05
    done
}

# file_is FILE TEXT: the file holds exactly TEXT, byte for byte.
file_is() { [ -f "$1" ] && cmp -s "$1" <(printf '%s' "$2"); }
file_has() { [ -f "$1" ] && grep -q -F -- "$2" "$1"; }

# A process that has ended but was not reaped yet (a container's init may never reap it) counts
# as gone.
process_alive() {
    local state
    state=$(sed -n 's/^[0-9]* (.*) \([A-Z]\).*/\1/p' "/proc/$1/stat" 2>/dev/null) || return 1
    [ -n "$state" ] && [ "$state" != Z ]
}

DEMO_DISPLAY=
XVFB_PID=

# Uses the user's display unless there is none, CI=true or DEMO_XVFB=1; otherwise starts a
# private Xvfb, on a display number that nobody holds.
start_display() {
    local xvfb_log=$1
    if [ -n "${DISPLAY:-}" ] && [ "${CI:-}" != true ] && [ -z "${DEMO_XVFB:-}" ]; then
        DEMO_DISPLAY=$DISPLAY
        log "Using the display $DISPLAY"
        return
    fi
    local first=$((1000 + ($$ % 500) * 2)) number socket deadline
    for ((number = first; number < first + 40; number++)); do
        [ -e "/tmp/.X$number-lock" ] || [ -e "/tmp/.X11-unix/X$number" ] && continue
        # -noreset: the server would otherwise reset whenever its last client leaves, and a
        # program connecting during the reset fails. -r: no key auto-repeat.
        Xvfb ":$number" -noreset -r -screen 0 1024x768x24 -nolisten tcp >"$xvfb_log" 2>&1 &
        XVFB_PID=$!
        socket=/tmp/.X11-unix/X$number
        deadline=$(($(now_ms) + 10000))
        while [ ! -S "$socket" ] && process_alive "$XVFB_PID" && [ "$(now_ms)" -lt "$deadline" ]; do
            sleep 0.05
        done
        if [ -S "$socket" ] && process_alive "$XVFB_PID"; then
            DEMO_DISPLAY=:$number
            log "Started a private X server (Xvfb) on display $DEMO_DISPLAY"
            return
        fi
        # Someone else took the number in the meantime.
        kill "$XVFB_PID" 2>/dev/null || true
        wait "$XVFB_PID" 2>/dev/null || true
        XVFB_PID=
    done
    die "no free X display for Xvfb (see $xvfb_log)"
}

stop_display() {
    if [ -n "$XVFB_PID" ]; then
        kill "$XVFB_PID" 2>/dev/null || true
        wait "$XVFB_PID" 2>/dev/null || true
        XVFB_PID=
    fi
}

x() { DISPLAY=$DEMO_DISPLAY "$@"; }

# find_window TITLE PID: the id of the visible window of process PID titled exactly TITLE, or
# nothing. The titles used here hold no characters special to a regular expression.
find_window() {
    x xdotool search --all --onlyvisible --pid "$2" --name "^$1\$" 2>/dev/null | tail -n 1
}

window_shown() { [ -n "$(find_window "$1" "$2")" ]; }
window_gone() { [ -z "$(find_window "$1" "$2")" ]; }

# capture WINDOW FILE: a PNG of the window's contents, without time stamps, so that an unchanged
# picture gives an unchanged file.
capture() {
    x import -silent -window "$1" -strip -define png:exclude-chunks=date,time "png:$2" 2>/dev/null
}

# A window that is mapped but not painted yet is one flat colour.
painted() {
    local deviation
    deviation=$(convert "$1" -format '%[fx:standard_deviation]' info: 2>/dev/null) || return 1
    awk -v d="$deviation" 'BEGIN { exit !(d > 0.01) }'
}

# capture_painted TITLE PID FILE: waits for the window, then for a picture of it with something
# drawn in it.
capture_painted() {
    local title=$1 pid=$2 file=$3 window deadline
    wait_until 20 "window \"$title\"" window_shown "$title" "$pid"
    deadline=$(($(now_ms) + 10000))
    while :; do
        window=$(find_window "$title" "$pid")
        [ -n "$window" ] && capture "$window" "$file" && painted "$file" && return 0
        [ "$(now_ms)" -lt "$deadline" ] || die "could not take a picture of \"$title\""
        sleep 0.1
    done
}

# Set for Windows programs under Wine, which moves its own focus only on a click, as Windows does.
DEMO_CLICK_TO_FOCUS=

# press_until_closed TITLE PID KEY: presses KEY in the window until it has closed. Keys go through
# XTEST to the focused window: Qt ignores the synthetic events sent to a window directly.
press_until_closed() {
    local title=$1 pid=$2 key=$3 window deadline pause
    deadline=$(($(now_ms) + 20000))
    while window=$(find_window "$title" "$pid") && [ -n "$window" ]; do
        [ "$(now_ms)" -lt "$deadline" ] || die "the window \"$title\" did not close"
        # The focus may not be confirmed for a window that is still being mapped; the key is
        # pressed all the same, and again if the window stays. Under Wine the window is raised and
        # clicked first, on its icon or text, never on a button.
        if [ -n "$DEMO_CLICK_TO_FOCUS" ]; then
            x xdotool windowraise "$window" mousemove --window "$window" 20 20 click 1 >/dev/null 2>&1 || true
        fi
        x timeout 2 xdotool windowfocus --sync "$window" >/dev/null 2>&1 || true
        x xdotool key "$key"
        pause=$(($(now_ms) + 1500))
        while window_shown "$title" "$pid" && [ "$(now_ms)" -lt "$pause" ]; do
            sleep 0.05
        done
    done
}

# manifest DIR: "PATH MODE SHA256" for every file below DIR, sorted by path (C locale).
manifest() {
    local files
    files=$(cd "$1" && find . -type f -printf '%P\n' | LC_ALL=C sort)
    (cd "$1" && paste -d ' ' <(printf '%s\n' "$files") <(xargs -d '\n' stat -c '%a' <<<"$files") \
        <(xargs -d '\n' sha256sum <<<"$files" | cut -c 1-64))
}

# compare BEFORE AFTER: how two manifests differ, in one line.
compare() {
    local changed added removed
    changed=$(LC_ALL=C join "$1" "$2" | awk '$2 != $4 || $3 != $5' | wc -l)
    added=$(LC_ALL=C join -v 2 "$1" "$2" | wc -l)
    removed=$(LC_ALL=C join -v 1 "$1" "$2" | wc -l)
    echo "$changed changed, $added added, $removed removed"
}

# The version the installer records in DIR/components.xml.
installed_version() {
    sed -n 's:.*<Version>\([^<]*\)</Version>.*:\1:p' "$1/components.xml" | head -n 1
}

# The lines of the client's launch record: how many times it started. $launches is the demo's.
# shellcheck disable=SC2154
launch_count() { if [ -f "$launches" ]; then wc -l <"$launches"; else echo 0; fi; }

# check TEXT COMMAND...: prints whether COMMAND succeeds, and counts the failures in $problems.
problems=0
check() {
    local text=$1
    shift
    if "$@"; then
        say "ok    $text"
    else
        say "FAIL  $text"
        problems=$((problems + 1))
    fi
}
