#!/bin/bash
# A folder tree, with a sparse file past 4 GiB, sent from host 1 to host 2 of a
# virtual LAN and compared byte for byte; then a file cut off by a link that
# goes down, and resumed.
#   transfer_lan_test.sh TRANSFER_TOOL
set -uo pipefail

source "$(dirname "$(realpath "$0")")/../lan/virtual-lan.sh"
TOOL=$(realpath "$1")
lan_require cmp truncate tc
LAN_PREFIX="kstfile$$"
lan_up 2
out="$LAN_WORK/out" in="$LAN_WORK/in"
mkdir -p "$out/Tree/a/b" "$out/Tree/empty folder" "$in"
head -c 3000000 /dev/urandom >"$out/Tree/a/b/random.bin"
: >"$out/Tree/empty.txt"
ln -s /etc "$out/Tree/link"
# Past 4 GiB: a hole, data beyond 4 GiB, a hole, data at its end.
truncate -s $((4 * 1024 ** 3 + 1024 ** 2 + 17)) "$out/Tree/a/sparse.img"
head -c 65536 /dev/urandom | dd of="$out/Tree/a/sparse.img" bs=1 seek=$((4 * 1024 ** 3 + 5)) conv=notrunc status=none
printf 'end' | dd of="$out/Tree/a/sparse.img" bs=1 seek=$((4 * 1024 ** 3 + 1024 ** 2 + 14)) conv=notrunc status=none
token=0123456789abcdef0123456789abcdef

# Polls CMD every 100 ms while PROGRESS (a command) prints something new at
# least every STALL seconds: a busy machine makes it wait longer, a hung tool
# fails it.
wait_moving() {
    local stall=$1 progress=$2 last="" now moved=${EPOCHREALTIME/./}
    until "${@:3}"; do
        now=$($progress)
        [[ $now == "$last" ]] || { last=$now && moved=${EPOCHREALTIME/./}; }
        ((${EPOCHREALTIME/./} - moved < stall * 1000000)) || return 1
        sleep 0.1
    done
}
# Bytes read so far by what runs in host 1 (the sender reading its files).
host1_reads() {
    local pid
    for pid in $(ip netns pids "$(lan_namespace 1)"); do grep ^rchar "/proc/$pid/io"; done 2>/dev/null
}
part_size() { stat -c %s "$in/cut.bin.part" 2>/dev/null; }

# Serves PATH... from host 1 to host 2 until the tool's stdin closes.
serve() {
    exec {SERVER_IN}> >(lan_run 1 "$TOOL" serve 10.77.0.2 "$token" "$@" >"$LAN_WORK/serve.log" 2>&1)
    wait_moving 10 host1_reads grep -q ready "$LAN_WORK/serve.log"
}
fetch() { lan_run 2 "$TOOL" fetch 10.77.0.1 "$token" "$in" "$@" >>"$LAN_WORK/fetch.log" 2>&1; }

check "the sender offers the tree (its SHA-256 read)" serve "$out/Tree"
check "host 2 fetches it" fetch
check "every file arrived byte for byte, the link left out" \
    diff <(cd "$out/Tree" && find . ! -name link | sort) <(cd "$in/Tree" && find . | sort)
for file in a/b/random.bin empty.txt a/sparse.img; do
    check "$file is the same" cmp "$out/Tree/$file" "$in/Tree/$file"
done
check "the sparse file stayed sparse" test "$(du -k "$in/Tree/a/sparse.img" | cut -f1)" -lt 1024
exec {SERVER_IN}>&-

# Privately, under the transfer tool's fixed keys: an independent receiver
# fetches it, a clear request is refused.
private_key() { local key= && for _ in {1..32}; do key+=$(printf %02x "$1"); done && echo "$key"; }
exec {SERVER_IN}> >(lan_run 1 env TRANSFER_PRIVATE=1 "$TOOL" serve 10.77.0.2 "$token" "$out/Tree/a/b/random.bin" >"$LAN_WORK/serve.log" 2>&1)
wait_moving 10 host1_reads grep -q ready "$LAN_WORK/serve.log"
sender_public=$(/usr/bin/python3 -c 'import sys; from dissononce.dh.x25519.x25519 import X25519DH; from dissononce.dh.x25519.private import PrivateKey; print(X25519DH().generate_keypair(PrivateKey(bytes.fromhex(sys.argv[1]))).public.data.hex())' "$(private_key 1)")
private_digest=$(lan_run 2 /usr/bin/python3 "$LAN_TOOLS/../files/private_fetch.py" 10.77.0.1 "$token" "$(private_key 2)" "$sender_public")
check "FILES/3: an independent receiver fetches the file whole ($private_digest)" \
    test "$private_digest" = "$(sha256sum <"$out/Tree/a/b/random.bin" | cut -d' ' -f1)"
check "and a FILES/2 request for it is refused" eval '! fetch && tail -n 1 "$LAN_WORK/fetch.log" | grep "fetched privately" >/dev/null'
exec {SERVER_IN}>&-

# A file large enough to cut: host 1 sends at 40 Mbit/s.
head -c 30000000 /dev/urandom >"$out/cut.bin"
ip -n "$(lan_namespace 1)" link set eth0 down && ip -n "$(lan_namespace 1)" link set eth0 up
tc -n "$(lan_namespace 1)" qdisc add dev eth0 root tbf rate 40mbit burst 64kb latency 50ms
serve "$out/cut.bin"
fetch 2 &
fetching=$!
part_grows() { (($(stat -c %s "$in/cut.bin.part" 2>/dev/null || echo 0) > 5000000)); }
check "the transfer is under way" wait_moving 10 part_size part_grows
ip -n "$(lan_namespace 2)" link set eth0 down
stalled() { ! wait "$fetching" && grep -q "stalled: nothing came for 2 s" "$LAN_WORK/fetch.log"; }
check "a link that goes down stalls it, with a message" stalled
check "what arrived is kept" part_grows
ip -n "$(lan_namespace 2)" link set eth0 up
check "fetched again, it resumes" fetch
check "from the bytes it held" grep -qE "resumed [1-9][0-9]{6}" <(tail -n 1 "$LAN_WORK/fetch.log")
check "and the file is whole" cmp "$out/cut.bin" "$in/cut.bin"
exec {SERVER_IN}>&-
tally files || { cat "$LAN_WORK/serve.log" "$LAN_WORK/fetch.log"; exit 1; }
