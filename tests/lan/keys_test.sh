#!/bin/bash
# Three copies without a desktop learn each other's keys over the virtual LAN,
# host 3 behind a link that loses 30% of its datagrams: each keeps the other
# two under their names, trusted. Host 3 then gets a new identity, and the
# other two say so and keep its new key apart, undecided; a line to PC3 waits.
#   keys_test.sh PROGRAM
set -uo pipefail

source "$(dirname "$(realpath "$0")")/virtual-lan.sh"
KESTRANE=$(realpath "$1")
lan_require python3 nft
LAN_PREFIX="kstkey$$"
lan_up 3
declare -A copies

# Host N's environment without a desktop, in $bare.
bare_environment() {
    local setting
    host_environment "$1"
    bare=()
    for setting in "${HOST_ENV[@]}"; do [[ $setting == DISPLAY=* || $setting == XAUTHORITY=* ]] || bare+=("$setting"); done
}
start() {
    bare_environment "$1"
    lan_spawn "$1" env -i "${bare[@]}" "$KESTRANE" --headless >>"$(host_home "$1")/program.log" 2>&1
    copies[$1]=$!
}
data() { echo "$(host_home "$1")/data/kestrane"; }
# The public half of host N's identity, in hexadecimal.
public_key() {
    /usr/bin/python3 -c '
import sys
from cryptography.hazmat.primitives.asymmetric.x25519 import X25519PrivateKey
from cryptography.hazmat.primitives.serialization import Encoding, PublicFormat
secret = bytes.fromhex(open(sys.argv[1]).read().split("\n")[1])
print(X25519PrivateKey.from_private_bytes(secret).public_key().public_bytes(Encoding.Raw, PublicFormat.Raw).hex())
' "$(data "$1")/identity.key"
}
# Whether host N keeps host M's key in STATE under M's name.
keeps() {
    local name
    name=$(printf 'PC%s.LAN.TEST' "$2" | od -An -tx1 | tr -d ' \n')
    grep -qx "$3 $(public_key "$2") [0-9]* [0-9]* $name" "$(data "$1")/known-keys" 2>/dev/null
}
all_trusted() {
    local i j
    for i in 1 2 3; do for j in 1 2 3; do
        ((i == j)) || keeps "$i" "$j" trusted || return 1
    done; done
}

for i in 1 2 3; do host_prepare "$i"; done
check "30% of host 3's datagrams are lost, both ways" lossy_link 3 || exit 1
began=$EPOCHREALTIME
for i in 1 2 3; do start "$i"; done
# A pair that misses both announcements at the start (about 1 in 11 behind
# this link) waits for a later heartbeat, each 36 to 44 s after the last.
check "every copy keeps the other two's keys, trusted, under their names" wait_until 130 all_trusted
echo "    (all six keys kept $(((${EPOCHREALTIME/./} - ${began/./}) / 1000)) ms after the start)"

end_copy "${copies[3]}"
check "host 3 ends cleanly ($STATUS)" test "$STATUS" -eq 0
old=$(public_key 3)
rm "$(data 3)/identity.key"
start 3
check "host 3 starts with a new identity" wait_until 10 eval '[[ -s $(data 3)/identity.key && $(public_key 3) != "$old" ]]'
warned() { grep -q "PC3.LAN.TEST is using a different key" "$(host_home "$1")/program.log"; }
check "host 1 warns of PC3's new key" wait_until 90 warned 1
check "... and so does host 2" wait_until 90 warned 2
check "... which they keep apart, undecided" wait_until 5 eval 'keeps 1 3 new && keeps 2 3 new'
check "... while the key they knew stays trusted" eval 'grep -q "^trusted $old " "$(data 1)/known-keys"'
# Host 3 now holds PC3's name and address under another key, as a man in the middle would.
bare_environment 1
sent=$(lan_run 1 env -i "${bare[@]}" timeout 30 "$KESTRANE" --send PC3.LAN.TEST 'for the old key' 2>&1) && status=0 || status=$?
check "a line to PC3 is not delivered, and says why ($status: $sent)" eval '[[ $status == 1 &&
    $sent == "NOT-DELIVERED (encrypted, not verified): Not delivered: PC3.LAN.TEST is using a different key"* ]]'
check "... and host 3 never shows it" eval '! grep -q "for the old key" "$(host_home 3)/program.log"'
ended=()
for i in 1 2 3; do end_copy "${copies[$i]}" && ended+=("$STATUS"); done
check "each copy ends cleanly (${ended[*]})" test "${ended[*]}" = "0 0 0"
tally "lan keys" || { tail -n 20 "$LAN_WORK"/h*/program.log && exit 1; }
