#!/bin/bash
# Runs the real program, offscreen, inside a network namespace of its own (the
# program broadcasts, so never in the machine's own): a second copy ends at
# once with status 1 and prints nothing; SIGTERM ends the first copy the way
# the close button does, freeing the lock for a new copy.
#   program-in-namespace.sh PATH_TO_KESTRANE
# Exit 77 (skipped) when not root or without ip and unshare.
set -euo pipefail

program=$1
# shellcheck source=../lan/virtual-lan.sh source-path=SCRIPTDIR
source "$(dirname "$0")/../lan/virtual-lan.sh"
if ! lan_available; then
    echo "skipped: needs root, ip and unshare"
    exit 77
fi

# One host of the virtual LAN; the script's own trap below replaces lan_up's.
LAN_PREFIX="kstapp$$"
lan_up 1
work=$(mktemp -d)
first=
cleanup() {
    if [[ -n $first ]]; then kill -KILL "$first" 2>/dev/null || true; fi
    lan_down
    rm -rf "$work"
}
trap cleanup EXIT

in_namespace=(env -i HOME="$work" PATH="$PATH"
    QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$work" DBUS_SESSION_BUS_ADDRESS=disabled:
    ${TSAN_OPTIONS:+TSAN_OPTIONS="$TSAN_OPTIONS"} ${ASAN_OPTIONS:+ASAN_OPTIONS="$ASAN_OPTIONS"}
    ${UBSAN_OPTIONS:+UBSAN_OPTIONS="$UBSAN_OPTIONS"})

# The lock is an abstract socket, so it shows only in the namespace's own table.
lock_held() {
    ip netns exec "$(lan_namespace 1)" grep -q "@TavrinMutex.$(id -u)" /proc/net/unix
}

wait_for() {
    for _ in $(seq 200); do
        if "$@"; then return 0; fi
        sleep 0.05
    done
    return 1
}

# lan_spawn is one simple command, so $! is the program itself.
lan_spawn 1 "${in_namespace[@]}" "$program" >"$work/first.out" 2>&1
first=$!
wait_for lock_held || { echo "FAIL: the first copy never took the lock"; exit 1; }

status=0
lan_run 1 "${in_namespace[@]}" timeout 10 "$program" >"$work/second.out" 2>&1 || status=$?
if ((status != 1)); then
    echo "FAIL: the second copy ended with status $status, not 1"
    exit 1
fi
if [[ -s $work/second.out ]]; then
    echo "FAIL: the second copy printed:"; cat "$work/second.out"
    exit 1
fi

kill -TERM "$first"
status=0
timeout 10 tail --pid="$first" -f /dev/null || { echo "FAIL: SIGTERM did not end the program"; exit 1; }
wait "$first" || status=$?
first=
if ((status != 0)); then
    echo "FAIL: after SIGTERM the program ended with status $status"; cat "$work/first.out"
    exit 1
fi
if lock_held; then
    echo "FAIL: the lock is still held"
    exit 1
fi
echo "1 passed, 0 failed"
