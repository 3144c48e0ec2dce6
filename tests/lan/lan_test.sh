#!/bin/bash
# Two copies of Kestrane, offscreen, and a protocol peer on a virtual LAN, on
# the wire: hellos, online answers and goodbyes byte for byte, one copy a host,
# the chime through ALSA, what a copy holds, SIGTERM, nohup and SIGHUP.
#   lan_test.sh PROGRAM
set -uo pipefail

source "$(dirname "$(realpath "$0")")/virtual-lan.sh"
KESTRANE=$(realpath "$1")
lan_require
LAN_PREFIX="kstlan$$"
lan_up 3
record="$LAN_WORK/peer.log"
peer_record 3 "$record" || exit 1
# TYPE NAME TEXT seen at least TIMES times, within 10 s.
seen() { wait_until 10 at_least "$@"; }
at_least() { (($(peer_count "$record" "${@:2}") >= $1)); }
online='*** Online ***\r\n'

host_prepare 1
copy_start 1
copy1=$COPY_PID
check "copy 1 says hello byte for byte" seen 1 1 PC1.LAN.TEST ILIVE
check "and answers it by broadcast, byte for byte" seen 1 2 PC1.LAN.TEST "$online"
# Past the first timer tick the window counts as hidden, and the start's
# workers have come and gone: what copy 1 holds then, it must hold again after
# meeting a peer and chiming for a line.
sleep 1
at_start=$(process_counts "$copy1")

host_prepare 2
host_environment 2
lan_spawn 2 env -i "${HOST_ENV[@]}" nohup "$KESTRANE" >"$(host_home 2)/program.log" 2>&1
copy2=$!
check "copy 2 says hello byte for byte" seen 1 1 PC2.LAN.TEST ILIVE
check "copy 1 answers copy 2's hello by broadcast" seen 2 2 PC1.LAN.TEST "$online"

peer_send 3 10.77.0.1 4 PEER 'hello copy 1\r\n'
chime="$(host_home 1)/sound.wav"
# The chime is written as it plays: three tones of 100 ms.
wait_until 5 test -s "$chime" && sleep 0.5
check "hidden copy 1 chimes 300, 500 and 800 Hz for a line" peer chime "$chime"
check "copy 2 stays silent: the line was for copy 1" test ! -e "$(host_home 2)/sound.wav"
at_end=$(process_counts "$copy1")
check "copy 1 holds what it held at the start ($at_start; $at_end)" test "$at_start" = "$at_end"

# A second start brings copy 1's window forward, so it comes after the chime.
status=0
host_run 1 timeout 10 "$KESTRANE" >"$LAN_WORK/second.log" 2>&1 || status=$?
check "a second start in host 1 ends with status 1 ($status)" test "$status" -eq 1
# Options are answered before the lock, Qt or the network are touched.
options=$(for option in --help --version --bogus; do host_run 1 timeout 10 "$KESTRANE" "$option" &>/dev/null; echo -n "$? "; done)
check "--help, --version and --bogus end with 0, 0 and 2 while copy 1 runs ($options)" test "$options" = "0 0 2 "
# Whatever the second start sent went out before copy 1's answer to this hello.
peer_send 3 broadcast 1 PEER ILIVE
check "copy 1 answers a hello after the second start" seen 3 2 PC1.LAN.TEST "$online"
check "neither the second start nor the options in host 1 said hello" test "$(peer_count "$record" 1 PC1.LAN.TEST ILIVE)" -eq 1
end_copy "$copy1"
check "SIGTERM ends copy 1 in time with status 0 ($STATUS): no leak, no sanitizer report" test "$STATUS" -eq 0
check "copy 1 says goodbye byte for byte" seen 1 7 PC1.LAN.TEST '***Leaveing channel'

answers=$(peer_count "$record" 2 PC2.LAN.TEST "$online")
kill -HUP "$copy2"
# An answer to a hello sent after the hangup shows the copy went on past it.
peer_send 3 broadcast 1 PEER ILIVE
check "copy 2, started under nohup, answers a hello after SIGHUP" seen $((answers + 1)) 2 PC2.LAN.TEST "$online"
end_copy "$copy2"
check "SIGTERM ends copy 2 in time with status 0 ($STATUS)" test "$STATUS" -eq 0
check "copy 2 says goodbye" seen 1 7 PC2.LAN.TEST '***Leaveing channel'
tally lan || { tail -n 20 "$LAN_WORK"/h*/program.log "$LAN_WORK/second.log" && exit 1; }
