#!/bin/sh
# The LazyFS fixture of a run of the power-cut rows, which mount LazyFS below one folder.
#   lazyfs_fixture.sh start DIR LAZYFS   checks that FUSE and the binary can be used, makes DIR
#   lazyfs_fixture.sh end DIR            unmounts whatever a failed or killed row left below DIR
set -eu
dir=$2
case "$1" in
start)
    [ -c /dev/fuse ] || { echo "no /dev/fuse: LazyFS cannot mount here" >&2; exit 1; }
    command -v fusermount3 >/dev/null || { echo "no fusermount3 (Debian package fuse3)" >&2; exit 1; }
    [ -x "$3" ] || { echo "no LazyFS binary at $3 (scripts/lazyfs builds it)" >&2; exit 1; }
    mkdir -p "$dir"
    ;;
end)
    # Deepest first; a mount still in use is detached all the same.
    awk -v dir="$dir/" '$3 ~ /^fuse/ && index($2, dir) == 1 { print $2 }' /proc/mounts | sort -r \
        | while read -r mount; do
            fusermount3 -u -z "$mount" || true
        done
    ;;
*)
    echo "usage: lazyfs_fixture.sh start DIR LAZYFS | end DIR" >&2
    exit 2
    ;;
esac
