#!/bin/bash
# A copy without a desktop (--headless, no display at all) beside a windowed
# copy on the virtual LAN: it greets, is listed, takes lines and confirms
# them, keeps them for --history, sends a script's line (and one to everybody,
# only to Kestrane hosts), and says goodbye on SIGTERM.
#   headless_test.sh PROGRAM
set -uo pipefail

source "$(dirname "$(realpath "$0")")/virtual-lan.sh"
KESTRANE=$(realpath "$1")
lan_require python3
LAN_PREFIX="ksthl$$"
lan_up 3
record="$LAN_WORK/3.log"
peer_record 3 "$record" || exit 1
for i in 1 2; do host_prepare "$i"; done
# Host 1 sends lines to everybody only to the Kestrane hosts whose key it knows.
printf '[privacy]\neverybodyOnlyKestrane=true\n' >>"$(host_home 1)/.config/kestrane/kestrane.conf"

# Host 1 gets no display, no platform plugin and no session bus.
host_environment 1
bare=()
for setting in "${HOST_ENV[@]}"; do [[ $setting == DISPLAY=* || $setting == XAUTHORITY=* || $setting == QT_QPA_PLATFORM=* ]] || bare+=("$setting"); done
output="$(host_home 1)/program.log"
lan_spawn 1 env -i "${bare[@]}" "$KESTRANE" --headless >"$output" 2>&1
headless=$!
copy_start 2

on1() { lan_run 1 env -i "${bare[@]}" "$KESTRANE" "$@"; }
sent_from_2() { [[ $(host_run 2 timeout 10 "$KESTRANE" --send "$1" "$2" 2>&1) == "$3"* ]]; }
check "the copy without a desktop greets the LAN" wait_until 10 \
    grep -qxF "$(peer hex 1 PC1.LAN.TEST ILIVE)" "$record"
check "the windowed copy's line to it is confirmed" wait_until 15 sent_from_2 PC1.LAN.TEST 'to the server' DELIVERED
check "... shown on its standard output" grep -q ' PC2.LAN.TEST : to the server$' "$output"
kept() { on1 --history | grep -P '^\S+\tin\tPC2\.LAN\.TEST\t10\.77\.0\.2\tunread(,encrypted)?\tto the server$' >/dev/null; }
check "... and kept unread for --history" wait_until 5 kept
# Until the copies' handshake is done (a second or two) a line goes in the clear.
encrypted_from_1() { [[ $(on1 --send pc2.lan.test 'from the server' 2>&1) == "DELIVERED (encrypted, not verified): "* ]]; }
check "it sends a script's line, which the windowed copy confirms, encrypted" wait_until 10 encrypted_from_1
to_all=$(on1 --send --broadcast 'for kestrane hosts only' 2>&1)
check "its line to everybody goes only to the windowed copy, encrypted ($to_all)" \
    eval '[[ $to_all == "DELIVERED (encrypted, not verified): "* ]]'
check "... and host 3, of the original program, never gets its text" \
    eval '! grep -qF "$(printf %s "for kestrane hosts only" | od -An -tx1 | tr -d " \n")" "$record"'
# The windowed copy's send may have been tried more than once while the copy
# without a desktop was still joining, so look for each direction.
both() {
    local listed
    listed=$(on1 --history --since 1h)
    grep -qP '^\S+\tin\tPC2\.LAN\.TEST\t\S+\t\S+\tto the server$' <<<"$listed" &&
        grep -qP '^\S+\tout\tPC2\.LAN\.TEST\t\S+\t\S+\tfrom the server$' <<<"$listed"
}
check "--history --since 1h lists both lines" wait_until 5 both
on1 --history --since soon >/dev/null 2>&1
check "--history refuses a time it cannot read ($?)" test "$?" = 2
second=$(on1 --headless 2>&1)
check "a second copy without a desktop is refused ($?: $second)" test "$?" = 1

end_copy "$headless" TERM
check "SIGTERM ends it with status 0 ($STATUS)" test "$STATUS" -eq 0
check "... after its goodbye" wait_until 5 grep -qxF "$(peer hex 7 PC1.LAN.TEST '***Leaveing channel')" "$record"
check "... and the windowed copy takes it off its list" wait_until 5 sent_from_2 PC1.LAN.TEST 'still there?' \
    'kestrane: REFUSED: PC1.LAN.TEST cannot be reached'
tally "lan headless" || { tail -n 20 "$LAN_WORK"/h*/program.log && exit 1; }
