# What the scripts that build slow pieces for Windows share: a cache directory per key with a
# completion stamp, packing a finished build for other machines and unpacking such a pack, fetching
# a Debian source package checked against Debian's signed indexes, and progress lines for a long
# build. Source it after common.sh; do not run it.

# cache_init NAME CACHE_ROOT PREFIX PART...: the piece this script builds. NAME is for the log
# lines, PREFIX the keyed directory in CACHE_ROOT, PARTs the files a finished build must hold
# (relative to PREFIX).
cache_init() {
    cache_name=$1 cache_root=$2 prefix=$3
    shift 3
    cache_parts=("$@")
    stamp="$prefix/.complete"
}

cache_is_whole() {
    [ -f "$stamp" ] || return 1
    local part
    for part in "${cache_parts[@]}"; do
        [ -s "$prefix/$part" ] || return 1
    done
}

# cache_missing_parts: prints the parts a finished build should hold but does not; true when none.
cache_missing_parts() {
    local part missing=0
    for part in "${cache_parts[@]}"; do
        [ -s "$prefix/$part" ] || { echo "$cache_name: $part is missing after the install" >&2; missing=1; }
    done
    return "$missing"
}

# Packs the cached build with its top directory named after the key, so that unpacking it can tell
# whether it is the build this script would make.
cache_pack() {
    local pack_file=$1
    ensure_packages zstd
    log "$cache_name: packing $prefix into $pack_file"
    tar -C "$cache_root" -c --zstd -f "$pack_file.partial" "$(basename "$prefix")"
    mv "$pack_file.partial" "$pack_file"
    log "$cache_name: $(du -h "$pack_file" | cut -f1) in $pack_file"
}

# cache_unpack FILE: puts the packed build in place of the cache; fails, leaving the cache as it
# was, when FILE is not a whole build of this key.
cache_unpack() {
    local archive=$1 staging
    ensure_packages zstd
    log "$cache_name: unpacking $archive"
    if ! tar -t --zstd -f "$archive" 2>/dev/null | grep -x -F "$(basename "$prefix")/.complete" >/dev/null; then
        echo "$cache_name: $archive holds no finished build of key $(basename "$prefix")" >&2
        return 1
    fi
    mkdir -p "$cache_root"
    staging=$(mktemp -d "$cache_root/unpack-XXXXXX")
    if ! tar -C "$staging" -x --zstd -f "$archive"; then
        rm -rf "$staging"
        return 1
    fi
    rm -rf "$prefix"
    mv "$staging/$(basename "$prefix")" "$prefix"
    rm -rf "$staging"
    cache_is_whole || { echo "$cache_name: $archive lacks a part of the build" >&2; rm -rf "$prefix"; return 1; }
}

# cache_parse_options "$@": --prefix prints the keyed directory and exits; --pack FILE sets
# pack_file. USAGE is shown for anything else.
cache_parse_options() {
    pack_file=
    case "${1:-}" in
        --prefix)
            echo "$prefix"
            exit 0
            ;;
        --pack)
            [ -n "${2:-}" ] || { echo "usage: $cache_usage" >&2; exit 2; }
            pack_file=$(realpath -m "$2")
            ;;
        "") ;;
        *)
            echo "usage: $cache_usage" >&2
            exit 2
            ;;
    esac
}

cache_finish() {
    [ -z "$pack_file" ] || cache_pack "$pack_file"
    echo "$prefix"
    exit 0
}

# cache_find_or_unpack ARCHIVE_VARIABLE PACK_NAME: finishes the script when the build is cached,
# or when a packed build of this key can be unpacked: the file named by the environment variable
# ARCHIVE_VARIABLE, or else ../shared/cache/PACK_NAME-<key>.tar.zst beside the work tree. Holds the
# cache's lock from then on, so that a second run waits for the first and then finds its result.
cache_find_or_unpack() {
    local variable=$1 pack_name=$2 archive shared
    if cache_is_whole; then
        log "$cache_name: cached in $prefix"
        cache_finish
    fi
    mkdir -p "$cache_root"
    exec 9>"$cache_root/.lock"
    flock 9
    cache_is_whole && cache_finish
    archive=${!variable:-}
    shared="$ROOT/../shared/cache/$pack_name-$(basename "$prefix").tar.zst"
    if [ -z "$archive" ] && [ -f "$shared" ]; then
        archive=$shared
    fi
    if [ -n "$archive" ]; then
        # An archive that was asked for by name must be the right one; the shared cache only helps.
        if cache_unpack "$archive"; then
            log "$cache_name: unpacked into $prefix"
            cache_finish
        fi
        [ -z "${!variable:-}" ] || exit 1
        log "$cache_name: building from source instead"
    fi
    if [ -e "$prefix" ]; then
        log "$cache_name: $prefix is incomplete (an interrupted build?); building it again"
    fi
}

# debian_source WORK PACKAGE VERSION SHA256_LINE...: fetches Debian's source package PACKAGE at
# VERSION into WORK, checks each file against the pinned SHA-256 lines, and unpacks it into
# WORK/PACKAGE.
# The deb-src entry is made from the apt source that serves the machine's own qt6-base-dev: the
# same address, suite and key, so that apt checks the files against Debian's signed indexes. It
# lives in WORK only; the system's apt setup is untouched.
debian_source() {
    local work=$1 package=$2 version=$3
    shift 3
    local apt_private=(-o "Dir::Etc::SourceList=$work/deb-src.sources" -o Dir::Etc::SourceParts=/dev/null
        -o "Dir::State::Lists=$work/lists" -o APT::Sandbox::User=root)
    if [ ! -f "$work/deb-src.sources" ]; then
        local origin uri suite_component suite component signed_by
        origin=$(apt-cache policy qt6-base-dev | awk '/^ +[0-9]+ https?:\/\/.* Packages$/ && !found { found = 1; print $2, $3 }')
        [ -n "$origin" ] || { echo "No apt source serves qt6-base-dev; cannot derive its deb-src entry" >&2; exit 1; }
        read -r uri suite_component <<<"$origin"
        suite=${suite_component%%/*}
        component=${suite_component#*/}
        signed_by=$({ grep -rhs -A6 -F "$uri" /etc/apt/sources.list.d/ /etc/apt/sources.list || true; } \
            | awk '/^Signed-By:/ && !found { found = 1; print $2 }')
        mkdir -p "$work/lists/partial"
        {
            echo "Types: deb-src"
            echo "URIs: $uri"
            echo "Suites: $suite"
            echo "Components: $component"
            [ -n "$signed_by" ] && echo "Signed-By: $signed_by"
        } >"$work/deb-src.sources"
        apt-get "${apt_private[@]}" -qq update
    fi
    log "$cache_name: fetching the $package $version source package"
    (cd "$work" && apt-get "${apt_private[@]}" -qq --download-only source "$package=$version" >/dev/null)
    (cd "$work" && printf '%s\n' "$@" | sha256sum --check --quiet) \
        || { echo "The SHA-256 of $package's source package does not match; not building it" >&2; exit 1; }
    (cd "$work" && dpkg-source --no-check -x "${package}_$version.dsc" "$package" \
        >"$work/unpack-$package.log" 2>&1) || { cat "$work/unpack-$package.log"; exit 1; }
}

# build_with_progress LOG TOTAL PATTERN COMMAND...: runs COMMAND with its output in LOG and
# prints one progress line a minute with an estimate of the time left. A line matching PATTERN
# is one step; when PATTERN has two groups, they are the steps done and the steps in all (as in
# Ninja's status), else TOTAL is the number of steps, counted once.
build_with_progress() {
    local build_log=$1 total=$2 pattern=$3
    shift 3
    local started=$SECONDS
    (
        set -o pipefail
        "$@" 2>&1 | tee "$build_log" | {
            local done_steps=0 all_steps=$total last_report=$SECONDS line left
            while IFS= read -r line; do
                [[ $line =~ $pattern ]] || continue
                if [ -n "${BASH_REMATCH[2]:-}" ]; then
                    done_steps=${BASH_REMATCH[1]} all_steps=${BASH_REMATCH[2]}
                else
                    done_steps=$((done_steps + 1))
                fi
                if [ $((SECONDS - last_report)) -ge 60 ] && [ "$done_steps" -lt "$all_steps" ]; then
                    last_report=$SECONDS
                    left=$(((SECONDS - started) * (all_steps - done_steps) / done_steps / 60 + 1))
                    echo "    $done_steps of about $all_steps steps, about $left min left"
                fi
            done
        }
    )
}
