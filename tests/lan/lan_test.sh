#!/bin/bash
# Two copies of Kestrane and a protocol peer on a virtual LAN of three test
# hosts, checked on the wire: hellos byte for byte, online answers by
# broadcast, a line from the peer reaching a hidden copy (its chime is captured
# through ALSA into a file), descriptors and threads held the same at the end
# of the run as at its start, the leaving notice on SIGTERM, and a copy started
# under nohup outliving a hangup.
#   lan_test.sh PROGRAM
# Exits 77 (skipped) where no virtual LAN can be made: it needs root, ip and unshare.
set -uo pipefail

program=$(realpath "$1")
here=$(dirname "$(realpath "$0")")
# shellcheck source=virtual-lan.sh source-path=SCRIPTDIR
source "$here/virtual-lan.sh"
peer=("/usr/bin/python3" "$here/chat_peer.py")

if ! lan_available; then
    echo "skipped: a virtual LAN needs root, ip and unshare"
    exit 77
fi

work=$(mktemp -d)
failures=0
LAN_PREFIX="kstlan$$"
lan_up 3
trap 'lan_down; rm -rf "$work"' EXIT

check() {
    local description=$1
    shift
    if "$@"; then
        echo "ok - $description"
    else
        echo "FAIL - $description"
        failures=$((failures + 1))
    fi
}

# Each copy gets a HOME of its own whose ALSA configuration writes its sound to
# a file. Words after the index go before the program (a wrapper such as nohup).
start_copy() {
    local index=$1 home="$work/h$1"
    shift
    mkdir -p "$home/run" "$home/data"
    chmod 700 "$home/run"
    cat >"$home/.asoundrc" <<ALSA
pcm.!default { type file slave.pcm "null" file "$home/sound.wav" format "wav" truncate false }
ALSA
    HOME=$home XDG_RUNTIME_DIR=$home/run XDG_DATA_HOME=$home/data \
        DBUS_SESSION_BUS_ADDRESS=disabled: QT_QPA_PLATFORM=offscreen \
        lan_spawn "$index" "$@" "$program" >"$home/out.log" 2>&1
    eval "copy$index=$!"
}

record="$work/peer.log"
lan_spawn 3 "${peer[@]}" record "$record"
for _ in $(seq 50); do [[ -s $record ]] && break; sleep 0.1; done

expect() { lan_run 3 "${peer[@]}" expect "$record" "$@"; }

start_copy 1
check "copy 1 says hello byte for byte" expect 1 PC1.LAN.TEST ILIVE 10
check "copy 1 answers its own hello by broadcast" expect 2 PC1.LAN.TEST '*** Online ***\r\n' 5
# What copy 1 holds once it has started: its run, the peers it meets and the
# line it chimes for must leave it holding the same.
at_start=$(process_counts "$copy1")
start_copy 2 nohup
check "copy 2 says hello byte for byte" expect 1 PC2.LAN.TEST ILIVE 10
check "copy 1 answers copy 2's hello by broadcast" \
    bash -c "sleep 1; [[ \$(/usr/bin/python3 '$here/chat_peer.py' count '$record' 2 PC1.LAN.TEST '*** Online ***\r\n') -ge 2 ]]"

# The first timer tick hides the window; only then does a line chime.
sleep 1
lan_run 3 "${peer[@]}" send 10.77.0.1 4 PEER 'hello copy 1\r\n'
chime="$work/h1/sound.wav"
for _ in $(seq 50); do [[ -s $chime ]] && break; sleep 0.1; done
sleep 0.5
check "copy 1 chimes 300, 500 and 800 Hz for a line from the peer" \
    /usr/bin/python3 "$here/chime_check.py" "$chime"
check "copy 2 stays silent: the line was for copy 1" test ! -e "$work/h2/sound.wav"
at_end=$(process_counts "$copy1")
echo "copy 1 held $at_start at the start and $at_end at the end"
check "copy 1 ends its run holding what it held at the start" test "$at_start" = "$at_end"

kill -TERM "$copy1"
wait "$copy1"
status=$?
check "copy 1 ends with status 0 on SIGTERM, no leak or sanitizer report" test "$status" -eq 0
check "copy 1 says goodbye on the wire" expect 7 PC1.LAN.TEST '***Leaveing channel' 5
online_answers() { lan_run 3 "${peer[@]}" count "$record" 2 "$1" '*** Online ***\r\n'; }
answered_more_than() {
    for _ in $(seq 50); do
        (($(online_answers "$1") > $2)) && return 0
        sleep 0.1
    done
    return 1
}
before_hangup=$(online_answers PC2.LAN.TEST)
kill -HUP "$copy2"
# An answer to a hello sent after the hangup shows the copy went on past it.
lan_run 3 "${peer[@]}" send broadcast 1 PEER2 ILIVE
check "copy 2, started under nohup, answers a hello after a hangup" \
    answered_more_than PC2.LAN.TEST "$before_hangup"
check "and still runs" kill -0 "$copy2"
kill -TERM "$copy2"
wait "$copy2"
status=$?
check "copy 2 ends with status 0 on SIGTERM, no leak or sanitizer report" test "$status" -eq 0
check "copy 2 says goodbye on the wire" expect 7 PC2.LAN.TEST '***Leaveing channel' 5

if ((failures > 0)); then
    echo "$failures check(s) failed; what the copies printed:"
    tail -n 20 "$work"/h*/out.log
    exit 1
fi
echo "all checks passed"
