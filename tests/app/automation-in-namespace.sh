#!/bin/bash
# The automation object end to end: the real program, offscreen, inside a
# network namespace of its own (it broadcasts, so never in the machine's own),
# with a session bus, HOME and XDG_DATA_HOME of the test's own.
#   automation-in-namespace.sh PATH_TO_KESTRANE
# Checks: a stand-alone start rewrites the activation file's Exec line and
# keeps the rest; it is not reachable as a class object, and the copy that the
# bus starts for a client (or an "-Automation" start) ends with status 1; a
# create call starts the program through the activation file; the object's
# release, its client leaving the bus, and the bus going away each end it.
# Exit 77 (skipped) when not root or without ip, unshare, dbus-run-session,
# dbus-send or python3-dbus.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
if [[ ${1:-} == --inside ]]; then
    inside=1
    shift
fi
program=$1

fail() {
    echo "FAIL: $*"
    exit 1
}

wait_for() {
    for _ in $(seq 200); do
        if "$@"; then return 0; fi
        sleep 0.05
    done
    return 1
}

# A process that has ended, even if its parent has not reaped it yet.
gone() {
    local state
    state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) || return 0
    [[ $state == Z ]]
}

# Runs under the test's session bus, inside the namespace. Every pid it starts
# or learns goes into $work/pids, for the cleanup outside.
run_inside() {
    local file=$XDG_DATA_HOME/dbus-1/services/Tavrin.Application.service
    local client=$here/automation-client.py
    mkdir -p "$(dirname "$file")"
    printf '# kept by the refresh\n[D-BUS Service]\nName=Tavrin.Application\nExec=/old/kestrane -Automation\n' >"$file"

    "$program" >"$work/standalone.out" 2>&1 &
    local standalone=$!
    echo "$standalone" >>"$work/pids"
    exec_rewritten() { grep -qx "Exec=$program -Automation" "$file"; }
    wait_for exec_rewritten || fail "the stand-alone start did not rewrite Exec: $(cat "$file")"
    grep -qx '# kept by the refresh' "$file" || fail "the refresh dropped a line: $(cat "$file")"
    echo "ok: a stand-alone start rewrites the activation file's Exec line"

    local answer
    answer=$(/usr/bin/python3 "$client" refused "$work/pids") || fail "a stand-alone copy served the class object"
    [[ $answer == *"exited with status 1"* ]] || fail "the activated copy did not end with status 1: $answer"
    local status=0
    timeout 10 "$program" -Automation >/dev/null 2>&1 || status=$?
    ((status == 1)) || fail "an -Automation start beside a running copy ended with status $status"
    gone "$standalone" && fail "the stand-alone copy ended"
    echo "ok: a stand-alone copy is not reachable; an automation start beside it ends with status 1"
    kill -TERM "$standalone"
    wait "$standalone" || fail "the stand-alone copy ended badly after SIGTERM"

    local mode pid
    for mode in release leave; do
        pid=$(/usr/bin/python3 "$client" "$mode" "$work/pids") || fail "the $mode client failed"
        wait_for gone "$pid" || fail "the program outlived its object ($mode)"
        echo "ok: activated by a create call; the client's $mode ends the program"
    done

    # The last copy keeps its object while the bus dies without a word.
    /usr/bin/python3 "$client" hold "$work/pids" >"$work/hold.pid" &
    echo "$!" >>"$work/pids"
    wait_for test -s "$work/hold.pid" || fail "the holding client got no object"
    pid=$(cat "$work/hold.pid")
    local daemon
    daemon=$(dbus-send --session --print-reply=literal --dest=org.freedesktop.DBus \
        /org/freedesktop/DBus org.freedesktop.DBus.GetConnectionUnixProcessID \
        string:org.freedesktop.DBus | awk '{print $2}')
    kill -KILL "$daemon"
    wait_for gone "$pid" || fail "the program outlived its session bus"
    echo "ok: losing the session bus ends the program"
}

if [[ -n ${inside:-} ]]; then
    run_inside
    exit 0
fi

# shellcheck source=../lan/virtual-lan.sh source-path=SCRIPTDIR
source "$here/../lan/virtual-lan.sh"
if ! lan_available || ! command -v dbus-run-session >/dev/null ||
    ! command -v dbus-send >/dev/null || ! /usr/bin/python3 -c 'import dbus' 2>/dev/null; then
    echo "skipped: needs root, ip, unshare, dbus-run-session, dbus-send and python3-dbus"
    exit 77
fi

# One host of the virtual LAN; the script's own trap below replaces lan_up's.
LAN_PREFIX="kstauto$$"
lan_up 1
work=$(mktemp -d)
# Ends the recorded processes that still run the program or the client; a pid
# reused since by another process is left alone.
cleanup() {
    local pid
    if [[ -f $work/pids ]]; then
        while read -r pid; do
            if tr '\0' '\n' 2>/dev/null <"/proc/$pid/cmdline" |
                grep -qxF -e "$program" -e "$here/automation-client.py"; then
                kill -KILL "$pid" 2>/dev/null || true
            fi
        done <"$work/pids"
    fi
    lan_down
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/home" "$work/data" "$work/run"
chmod 700 "$work/run"
: >"$work/pids"
status=0
lan_run 1 env -i PATH="$PATH" HOME="$work/home" XDG_DATA_HOME="$work/data" \
    XDG_RUNTIME_DIR="$work/run" QT_QPA_PLATFORM=offscreen work="$work" \
    ${TSAN_OPTIONS:+TSAN_OPTIONS="$TSAN_OPTIONS"} ${ASAN_OPTIONS:+ASAN_OPTIONS="$ASAN_OPTIONS"} \
    ${UBSAN_OPTIONS:+UBSAN_OPTIONS="$UBSAN_OPTIONS"} \
    timeout 120 dbus-run-session -- "$here/automation-in-namespace.sh" --inside "$program" \
    2>"$work/stderr" || status=$?
# The bus's own chatter aside, this holds what the programs it started printed.
grep -v -e '^dbus-daemon\[' -e '^dbus-run-session: dbus-daemon terminated' "$work/stderr" >&2 || true
((status == 0)) || exit "$status"
if grep -q 'Sanitizer' "$work/stderr"; then
    fail "a sanitizer reported an error in the program"
fi
echo "5 passed, 0 failed"
