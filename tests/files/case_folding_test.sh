#!/bin/bash
# Files whose names differ only by case, received in both versions into a
# case-insensitive file system (a FUSE one, as vfat sticks and SMB shares
# are): each arrives whole under a name of its own, and each reaches the
# file system's storage (fsync), which one syncfs does not on FUSE.
#   case_folding_test.sh TRANSFER_TOOL
# Needs root and /dev/fuse; 77 when FUSE cannot be mounted here.
set -uo pipefail
TOOL=$(realpath "$1")
FS=$(dirname "$(realpath "$0")")/casefold_fs.py
work=$(mktemp -d /tmp/kestrane-casefold-XXXXXX)
cleanup() {
    mountpoint -q "$work/mnt" && fusermount -u "$work/mnt"
    rm -rf "$work"
}
trap cleanup EXIT
((EUID == 0)) && [[ -c /dev/fuse ]] && /usr/bin/python3 -c 'import fusepy' 2>/dev/null || exit 77
mkdir -p "$work/out/Tree/Sub" "$work/out/Tree/sub" "$work/back" "$work/mnt"
/usr/bin/python3 "$FS" "$work/back" "$work/mnt" 2>"$work/fs.log" &
for _ in $(seq 50); do mountpoint -q "$work/mnt" && break; sleep 0.1; done
mountpoint -q "$work/mnt" || exit 77
for name in Tree/data.csv Tree/Data.csv Tree/Sub/x Tree/sub/x; do
    echo "$name" >"$work/out/$name"
done
failed=0
check() {
    if "${@:2}"; then echo "ok - $1"; else echo "FAIL - $1" && failed=1; fi
}
# What arrived, with each file's bytes, the names as the file system keeps them.
arrived() { (cd "$work/back/v$1" && find . -type f -printf '%p ' -exec cat {} \; | LC_ALL=C sort); }
expected() {
    printf '%s\n' "./Data (1).csv Tree/Data.csv" "./Tree/Data.csv Tree/Data.csv" \
        "./Tree/Sub/x Tree/Sub/x" "./Tree/data (1).csv Tree/data.csv" \
        "./Tree/sub (1)/x Tree/sub/x" "./data.csv Tree/data.csv" | LC_ALL=C sort
}
# The sender listens on TCP port 9000 in a network namespace of its own, until
# the fetches are done; the offer's top-level names are Tree, data.csv, Data.csv.
token=0123456789abcdef0123456789abcdef
cat >"$work/run.sh" <<END
ip link set lo up
exec 3> >(exec "$TOOL" serve 127.0.0.1 $token "$work/out/Tree" "$work/out/Tree/data.csv" \
    "$work/out/Tree/Data.csv" >"$work/serve.log" 2>&1)
for _ in \$(seq 100); do grep -q ready "$work/serve.log" && break; sleep 0.1; done
for version in 1 2; do
    mkdir "$work/mnt/v\$version"
    "$TOOL" fetch 127.0.0.1 $token "$work/mnt/v\$version" 10 \$version
done
END
unshare -n bash "$work/run.sh" >"$work/fetch.log" 2>&1
for version in 1 2; do
    check "FILES/$version: every file arrived whole under a name of its own" \
        diff <(expected) <(arrived "$version")
done
check "each of the twelve files reached the file system's storage" \
    test "$(grep -c . "$work/fsyncs" 2>/dev/null || echo 0)" -ge 12
((failed == 0)) || cat "$work/serve.log" "$work/fetch.log" "$work/fs.log"
exit $failed
