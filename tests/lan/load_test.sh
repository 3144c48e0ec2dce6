#!/bin/bash
# A copy of Kestrane under a flood from a test host of the virtual LAN.
#   load_test.sh PROGRAM flood SECONDS [MS] floods for SECONDS: the copy must
#       survive, answer a hello sent as the flood stops within MS milliseconds
#       (default 1000), keep its memory bounded (baseline, peak and final RSS
#       are printed) and hold as many descriptors and threads afterwards as
#       before
#   load_test.sh PROGRAM shutdown TIMES     ends the copy with SIGTERM during a
#       flood TIMES times: each time it must end within the listener's stop
#       bound plus 1 s, say goodbye and free its lock (the next start works);
#       then once with kill -9, after which a new start must work too
# Host 1 runs the copy, host 2 floods it, host 3 records the wire.
# Exits 77 (skipped) where no virtual LAN can be made: it needs root, ip and unshare.
set -uo pipefail

program=$(realpath "$1")
mode=$2
amount=$3
deadline_ms=${4:-1000}
here=$(dirname "$(realpath "$0")")
# shellcheck source=virtual-lan.sh source-path=SCRIPTDIR
source "$here/virtual-lan.sh"
python=/usr/bin/python3

if ! lan_available; then
    echo "skipped: a virtual LAN needs root, ip and unshare"
    exit 77
fi

# The poll thread's wait ends at once on a stop; 3 s is its longest poll.
stop_bound_ms=$((3000 + 1000))
# The listener holds at most 2048 receptions of 4096 bytes (8 MiB); the window
# admits at most 256 KiB of lines at once and 64 KiB a second after that, kept
# in its log, its control and its unread queue.
rss_growth_limit_kb=$((64 * 1024))
# A sanitizer build runs many times slower and holds freed memory back for its
# checks: its time and memory figures are printed, not judged.
sanitized=0
ldd "$program" | grep -E 'lib[at]san' >/dev/null && sanitized=1

work=$(mktemp -d)
failures=0
LAN_PREFIX="kstld$$"
lan_up 3
trap 'lan_down; rm -rf "$work"' EXIT

fail() {
    echo "FAIL - $1"
    failures=$((failures + 1))
}

# A failed check of time or memory; only noted for a sanitizer build.
fail_figure() {
    if ((sanitized)); then
        echo "note - a sanitizer build misses: $1"
    else
        fail "$1"
    fi
}

# One line of the record: the datagram in hex, as chat_peer.py writes it.
wire() { "$python" -c 'import sys; sys.stdout.write((bytes([int(sys.argv[1])]) + sys.argv[2].rjust(32).encode() + sys.argv[3].encode().replace(b"\\r\\n", b"\r\n")).hex())' "$@"; }
hello_line=$(wire 1 PC1.LAN.TEST ILIVE)
online_line=$(wire 2 PC1.LAN.TEST '*** Online ***\r\n')
leaving_line=$(wire 7 PC1.LAN.TEST '***Leaveing channel')
record="$work/wire.log"
seen() { grep -cxF "$1" "$record"; }

# Waits up to $2 seconds until the record holds more than $3 lines of $1.
wait_for() {
    local line=$1 deadline=$((SECONDS + $2)) before=$3
    while ((SECONDS <= deadline)); do
        (($(seen "$line") > before)) && return 0
        sleep 0.05
    done
    return 1
}

start_copy() {
    local home="$work/home"
    mkdir -p "$home/run" "$home/data"
    chmod 700 "$home/run"
    local before
    before=$(seen "$hello_line")
    HOME=$home XDG_RUNTIME_DIR=$home/run XDG_DATA_HOME=$home/data \
        DBUS_SESSION_BUS_ADDRESS=disabled: QT_QPA_PLATFORM=offscreen \
        lan_spawn 1 "$program" >>"$work/copy.log" 2>&1
    copy=$!
    wait_for "$hello_line" 10 "$before"
}

start_flood() {
    lan_spawn 2 "$python" "$here/flood_peer.py" 10.77.0.1 "$1" >>"$work/flood.log" 2>&1
    flood=$!
}

rss_kb() { awk -v field="$2:" '$1 == field { print $2 }' "/proc/$1/status" 2>/dev/null; }

lan_spawn 3 "$python" "$here/chat_peer.py" record "$record"
for _ in $(seq 50); do [[ -s $record ]] && break; sleep 0.1; done

flood_mode() {
    local seconds=$1
    start_copy || { fail "the copy says hello"; return; }
    sleep 1 # the first tick takes the window into the tray
    local baseline peak=0 rss
    baseline=$(rss_kb "$copy" VmRSS)
    local held
    held=$(process_counts "$copy")
    start_flood "$seconds"
    while kill -0 "$flood" 2>/dev/null; do
        rss=$(rss_kb "$copy" VmRSS)
        [[ -n $rss ]] && ((rss > peak)) && peak=$rss
        sleep 0.2
    done
    wait "$flood"
    cat "$work/flood.log"
    if ! kill -0 "$copy" 2>/dev/null; then
        fail "the copy survives the flood"
        return
    fi
    # Answers to the flood's own hellos may still be coming: wait until none
    # has come for 300 ms, so the answer counted below is the one to our hello.
    local before start elapsed_ms stopped quiet=0
    stopped=$(date +%s%N)
    before=$(seen "$online_line")
    while ((quiet < 6)); do
        sleep 0.05
        local now
        now=$(seen "$online_line")
        if ((now == before)); then quiet=$((quiet + 1)); else quiet=0 before=$now; fi
    done
    # A hello sent as the flood stops waits behind that backlog: it is answered
    # once the backlog is through, plus the time an answer takes on a calm copy.
    local backlog_ms=$((($(date +%s%N) - stopped) / 1000000 - 300))
    echo "answers to the flood's hellos ended $backlog_ms ms after it stopped"
    start=$(date +%s%N)
    lan_run 3 "$python" "$here/chat_peer.py" send 10.77.0.1 1 LATE ILIVE
    if ! wait_for "$online_line" 10 "$before"; then
        fail "a hello after the flood is answered"
    else
        elapsed_ms=$((($(date +%s%N) - start) / 1000000))
        echo "a hello after the backlog is answered in $elapsed_ms ms"
        local total_ms=$((backlog_ms + elapsed_ms))
        if ((total_ms <= deadline_ms)); then
            echo "ok - a hello sent as the flood stops is answered within $total_ms ms"
        else
            fail_figure "a hello sent as the flood stops is answered within $deadline_ms ms (took $total_ms ms)"
        fi
    fi
    local high final
    high=$(rss_kb "$copy" VmHWM)
    final=$(rss_kb "$copy" VmRSS)
    echo "rss: baseline ${baseline} kB, peak sampled ${peak} kB, VmHWM ${high} kB, final ${final} kB"
    if ((high - baseline > rss_growth_limit_kb)); then
        fail_figure "memory stays bounded (grew by $((high - baseline)) kB)"
    else
        echo "ok - memory stays bounded (grew by $((high - baseline)) kB)"
    fi
    local held_after
    held_after=$(process_counts "$copy")
    if [[ $held_after == "$held" ]]; then
        echo "ok - the copy holds what it held before the flood: $held"
    else
        fail "the copy holds what it held before the flood ($held before, $held_after after)"
    fi
    kill -TERM "$copy"
    wait "$copy" || fail "the copy ends with status 0 (a sanitizer report would change it)"
}

# Ends the copy with `signal` during a flood; true when it ended in time.
end_under_load() {
    local signal=$1 start elapsed_ms
    start_flood 30
    sleep "0.$((RANDOM % 8 + 2))"
    start=$(date +%s%N)
    kill "-$signal" "$copy"
    while kill -0 "$copy" 2>/dev/null; do
        elapsed_ms=$((($(date +%s%N) - start) / 1000000))
        if ((elapsed_ms > stop_bound_ms)); then
            kill -KILL "$copy" "$flood" 2>/dev/null
            { wait "$copy" "$flood"; } 2>/dev/null
            return 1
        fi
        sleep 0.02
    done
    { wait "$copy"; } 2>/dev/null
    local status=$?
    elapsed_ms=$((($(date +%s%N) - start) / 1000000))
    ((elapsed_ms > slowest_ms)) && slowest_ms=$elapsed_ms
    kill -KILL "$flood" 2>/dev/null
    { wait "$flood"; } 2>/dev/null
    [[ $signal != TERM ]] || ((status == 0)) || fail "the copy ends with status 0, not $status"
    return 0
}

shutdown_mode() {
    local times=$1 round leaving
    slowest_ms=0
    start_copy || { fail "the copy says hello"; return; }
    for ((round = 1; round <= times; round++)); do
        leaving=$(seen "$leaving_line")
        if ! end_under_load TERM; then
            fail "round $round: the copy ends within $stop_bound_ms ms of SIGTERM"
            start_copy || { fail "round $round: a new start works"; return; }
            continue
        fi
        wait_for "$leaving_line" 2 "$leaving" || fail "round $round: the copy says goodbye"
        # Its hello proves the lock was free.
        start_copy || { fail "round $round: the lock is freed (a new start works)"; return; }
    done
    echo "ok - $times SIGTERMs under load; the slowest end took $slowest_ms ms"
    # Quietly: bash would report the killed job.
    end_under_load KILL 2>/dev/null || fail "kill -9 ends the copy"
    if start_copy; then
        echo "ok - after kill -9 a new start works"
    else
        fail "after kill -9 a new start works"
    fi
    kill -TERM "$copy"
    wait "$copy" || fail "the copy ends with status 0"
}

case "$mode" in
flood) flood_mode "$amount" ;;
shutdown) shutdown_mode "$amount" ;;
*) echo "usage: load_test.sh PROGRAM flood SECONDS | shutdown TIMES" >&2; exit 2 ;;
esac

if ((failures > 0)); then
    echo "$failures check(s) failed; what the copy printed:"
    tail -n 20 "$work/copy.log"
    exit 1
fi
echo "all checks passed"
