# A virtual LAN of test hosts in network namespaces, and the helpers of the
# tests that run the program on it; sourced by them and by scripts. The bridge
# has a namespace of its own; host N has 10.77.0.N/24, a default route (a send
# to 255.255.255.255 needs one) and the host name pcN. As on a LAN of desktops,
# its hosts file knows only itself (127.0.1.1 pcN.lan.test pcN, as Debian
# writes it) and its resolver says at once that other names do not exist.
#   lan_up HOSTS; lan_run N CMD; lan_spawn N CMD ($! is CMD); host_prepare N;
#   other networks: lan_host N; lan_bridge NAME; lan_link N BRIDGE IFNAME ADDRESS/PREFIX;
#   host_spawn N CMD (CMD with the host's environment only: $! is CMD);
#   copy_start N [ARGS] ($KESTRANE in host N, on $DISPLAY or offscreen: COPY_PID);
#   end_copy PID [SIGNAL] (STATUS); check TEXT CMD; tally NAME; wait_until S CMD

LAN_PREFIX=${LAN_PREFIX:-kst$$} LAN_HOSTS=0 LAN_WORK="" KESTRANE=${KESTRANE:-}
LAN_TOOLS=$(dirname "$(realpath "${BASH_SOURCE[0]}")") LAN_PASSED=0 LAN_FAILED=0

lan_namespace() { echo "${LAN_PREFIX}h$1"; }

# CI runs as root with every tool installed: there a skip would hide a failure.
lan_require() {
    local missing=() tool
    unshare --net true 2>/dev/null || missing+=("root (network namespaces)")
    for tool in ip unshare "$@"; do
        command -v "$tool" >/dev/null || { [[ $tool == python3-* ]] &&
            /usr/bin/python3 -c "import ${tool#python3-}" 2>/dev/null; } || missing+=("$tool")
    done
    ((${#missing[@]} == 0)) && return 0
    echo "skipped: needs ${missing[*]} (scripts/install-deps installs the tools)"
    [[ -z ${CI:-} ]] || { echo "FAIL - in CI this test must run" && exit 1; }
    exit 77
}

# A run ended outright (a ctest time-out kills it) cannot take its LAN down:
# each run removes the test namespaces of runs that no longer live.
lan_sweep() {
    local name pids
    for name in $(ip netns list | awk '{print $1}'); do
        [[ $name =~ ^kst.*[a-z]([0-9]+)(br|h[0-9]+)$ && ! -d /proc/${BASH_REMATCH[1]} ]] || continue
        pids=$(ip netns pids "$name" 2>/dev/null)
        [[ -n $pids ]] && kill -KILL $pids 2>/dev/null
        ip netns delete "$name" 2>/dev/null
        rm -rf "/etc/netns/$name"
    done
}

lan_up() {
    lan_sweep
    LAN_HOSTS=$1 LAN_WORK=$(mktemp -d)
    trap lan_down EXIT
    trap 'exit 130' INT TERM
    local i
    ip netns add "${LAN_PREFIX}br" && lan_bridge br0
    for ((i = 1; i <= LAN_HOSTS; i++)); do
        lan_host "$i" && lan_link "$i" br0 eth0 "10.77.0.$i/24"
        ip -n "$(lan_namespace "$i")" route add default dev eth0
    done
}

lan_bridge() { ip -n "${LAN_PREFIX}br" link add "$1" type bridge && ip -n "${LAN_PREFIX}br" link set "$1" up; }

# Host N, with no network yet; lan_down removes it.
lan_host() {
    local host
    host=$(lan_namespace "$1") LAN_HOSTS=$(($1 > LAN_HOSTS ? $1 : LAN_HOSTS))
    ip netns add "$host"
    mkdir -p "/etc/netns/$host"
    printf '127.0.0.1 localhost\n127.0.1.1 pc%s.lan.test pc%s\n' "$1" "$1" >"/etc/netns/$host/hosts"
    echo "nameserver 127.0.0.1" >"/etc/netns/$host/resolv.conf"
    ip -n "$host" link set lo up
}

# Host N joins BRIDGE through its interface IFNAME with ADDRESS/PREFIX and its broadcast address.
lan_link() {
    local host
    host=$(lan_namespace "$1")
    ip -n "${LAN_PREFIX}br" link add "p$1$3" type veth peer name "$3" netns "$host"
    ip -n "${LAN_PREFIX}br" link set "p$1$3" master "$2" up
    ip -n "$host" addr add "$4" brd + dev "$3"
    ip -n "$host" link set "$3" up
}

lan_run() { ip netns exec "$(lan_namespace "$1")" unshare -u sh -c 'hostname "$0"; exec "$@"' "pc$1" "${@:2}"; }
# One simple command: ip, unshare and sh each exec the next, so $! names CMD.
lan_spawn() { ip netns exec "$(lan_namespace "$1")" unshare -u sh -c 'hostname "$0"; exec "$@"' "pc$1" "${@:2}" & }

lan_down() {
    local host pids i
    for ((i = 1; i <= LAN_HOSTS; i++)); do
        host=$(lan_namespace "$i")
        # Whatever still runs inside a test host is ours: end it before the host goes.
        pids=$(ip netns pids "$host" 2>/dev/null)
        [[ -n $pids ]] && kill -KILL $pids 2>/dev/null && { wait $pids; } 2>/dev/null
        ip netns delete "$host" 2>/dev/null
        rm -rf "/etc/netns/$host"
    done
    ip netns delete "${LAN_PREFIX}br" 2>/dev/null
    [[ -n $LAN_WORK ]] && rm -rf "$LAN_WORK"
    LAN_HOSTS=0 LAN_WORK=""
}

host_home() { echo "$LAN_WORK/h$1"; }

# Settings in CONFIG_HOME that say the account has started Kestrane before: the
# first start shows its window, which only the test of that start wants.
seen_before() {
    mkdir -p "$1/kestrane" && grep -qs '^welcomed=' "$1/kestrane/kestrane.conf" ||
        printf '[window]\nwelcomed=true\n' >>"$1/kestrane/kestrane.conf"
}

# A chime opens the sound device once, writing sound.wav, then sound.wav.0001...
host_prepare() {
    local home
    home=$(host_home "$1")
    mkdir -p "$home/run" "$home/data/dbus-1/services" && chmod 700 "$home/run"
    seen_before "$home/.config"
    [[ ${2:-} == real-sound ]] || cat >"$home/.asoundrc" <<ALSA
pcm.!default { type file slave.pcm "null" file "$home/sound.wav" format "wav" truncate false }
ALSA
}

# Nothing leaks into a host but the display and the sanitizers' settings.
host_environment() {
    local home name
    home=$(host_home "$1")
    HOST_ENV=(PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 HOME="$home" XDG_RUNTIME_DIR="$home/run"
        XDG_DATA_HOME="$home/data" DBUS_SESSION_BUS_ADDRESS="$(cat "$home/bus.address" 2>/dev/null || echo disabled:)")
    for name in DISPLAY XAUTHORITY ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS TSAN_OPTIONS; do
        [[ -n ${!name:-} ]] && HOST_ENV+=("$name=${!name}")
    done
    [[ -n ${DISPLAY:-} ]] || HOST_ENV+=(QT_QPA_PLATFORM=offscreen)
}

# The bus outlives the copies, so it can start one through the activation file.
host_bus_up() {
    local home
    home=$(host_home "$1")
    host_spawn "$1" dbus-run-session -- sh -c \
        'echo "$DBUS_SESSION_BUS_ADDRESS" >"$0.new" && mv "$0.new" "$0" && exec sleep infinity' \
        "$home/bus.address" >"$home/bus.log" 2>&1
    wait_until 10 test -s "$home/bus.address" || { echo "no session bus: $(cat "$home/bus.log")" >&2 && return 1; }
}

copy_start() {
    host_spawn "$1" "$KESTRANE" "${@:2}" >>"$(host_home "$1")/program.log" 2>&1
    COPY_PID=$!
}

host_run() { host_environment "$1" && lan_run "$1" env -i "${HOST_ENV[@]}" "${@:2}"; }
host_spawn() { host_environment "$1" && lan_spawn "$1" env -i "${HOST_ENV[@]}" "${@:2}"; }
# The process that holds NAME on host N's session bus.
bus_pid() {
    host_run "$1" dbus-send --session --print-reply=literal --dest=org.freedesktop.DBus \
        /org/freedesktop/DBus org.freedesktop.DBus.GetConnectionUnixProcessID "string:$2" 2>/dev/null | awk '{print $2}'
}

# A process that has ended, even if its parent has not reaped it yet.
gone() { [[ $(awk '{print $3}' "/proc/$1/stat" 2>/dev/null || echo Z) == Z ]]; }

# Polls CMD every 100 ms for at most SECONDS (a whole number).
wait_until() {
    local deadline=$((${EPOCHREALTIME/./} + $1 * 1000000))
    until "${@:2}"; do ((${EPOCHREALTIME/./} < deadline)) && sleep 0.1 || return 1; done
}

# A signal ends a copy within 1 s. A sanitizer build gets 15 s: on a loaded
# machine its teardown has taken over 5 s. A copy that hangs is killed (255).
# Under pipefail no test pipes into grep -q: it leaves at the first match, and
# the writer's SIGPIPE on a loaded machine then fails the whole pipe.
end_copy() {
    LAN_SIGNAL_BOUND=$(ldd "$KESTRANE" | grep -E 'lib[at]san' >/dev/null && echo 15 || echo 1)
    local began=$EPOCHREALTIME
    STATUS=255 && kill "-${2:-TERM}" "$1" 2>/dev/null
    if wait_until "$LAN_SIGNAL_BOUND" gone "$1"; then wait "$1"; STATUS=$?; else kill -KILL "$1"; fi
    local took=$(((${EPOCHREALTIME/./} - ${began/./}) / 1000))
    ((took < 2000)) || echo "    (the copy took $took ms to end)"
}

# Qt keeps the threads of its image work for 30 s after use, as many as ran at
# once, each with an event descriptor: they are left out of the count.
process_counts() {
    local pooled
    pooled=$(grep -lx 'Thread (pooled)' /proc/"$1"/task/*/comm | wc -l)
    echo "$(($(ls "/proc/$1/fd" | wc -l) - pooled)) descriptors, $(($(ls "/proc/$1/task" | wc -l) - pooled)) threads"
}

# 30% of the UDP datagrams into and out of host N are lost.
lossy_link() {
    local chain
    lan_run "$1" nft add table inet loss || return 1
    for chain in input output; do
        lan_run "$1" nft add chain inet loss "$chain" "{ type filter hook $chain priority 0; }" &&
            lan_run "$1" nft add rule inet loss "$chain" meta l4proto udp numgen random mod 100 '<' 30 counter drop ||
            return 1
    done
}

peer() { /usr/bin/python3 "$LAN_TOOLS/chat_peer.py" "$@"; }
# How many times the record FILE holds the datagram TYPE NAME TEXT.
peer_count() { grep -cxF "$(peer hex "${@:2}")" "$1"; }
# Datagrams come from a test host, never from the machine's own namespace.
peer_send() { lan_run "$1" /usr/bin/python3 "$LAN_TOOLS/chat_peer.py" send "${@:2}"; }
peer_record() { lan_spawn "$1" /usr/bin/python3 "$LAN_TOOLS/chat_peer.py" "${3:-record}" "$2" && wait_until 5 test -s "$2"; }

check() {
    if "${@:2}"; then echo "ok - $1" && LAN_PASSED=$((LAN_PASSED + 1)) && return 0; fi
    echo "FAIL - $1" && LAN_FAILED=$((LAN_FAILED + 1)) && return 1
}
tally() { echo "$1: $LAN_PASSED passed, $LAN_FAILED failed" && ((LAN_FAILED == 0)); }
