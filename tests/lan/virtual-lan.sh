# A virtual LAN of test hosts in network namespaces, to be sourced by test
# scripts. Nothing is added to the machine's own namespace: the bridge lives in
# a namespace of its own, and every host gets a veth on it, an address in
# 10.77.0.0/24, a default route (a send to 255.255.255.255 needs one) and a UTS
# host name pcN. Names resolve as on a LAN of desktops with no name service:
# each host's hosts file knows only itself (127.0.1.1 pcN.lan.test pcN, as
# Debian writes it), and its resolver says at once that other names do not
# exist (nameserver 127.0.0.1, where nothing answers).
#
#   lan_up HOSTS         makes hosts 1..HOSTS; tears everything down at exit
#   lan_dead_resolver N  makes host N's resolver one that never answers
#   lan_forget_name N    makes host N's hosts file forget the host's own name
#   lan_run N CMD...     runs CMD in host N under its own host name
#   lan_spawn N CMD...   the same in the background; $! is then CMD's pid
#   lan_down             removes every namespace and /etc/netns entry made
#   process_counts PID   "D descriptors, T threads" that PID holds now
#
# LAN_PREFIX names the namespaces (unique per run).

LAN_PREFIX=${LAN_PREFIX:-kst$$}
LAN_HOSTS=0

lan_namespace() { echo "${LAN_PREFIX}h$1"; }

lan_up() {
    LAN_HOSTS=$1
    trap lan_down EXIT
    trap 'exit 130' INT TERM
    local bridge="${LAN_PREFIX}br"
    ip netns add "$bridge"
    ip -n "$bridge" link add br0 type bridge
    ip -n "$bridge" link set br0 up
    for ((i = 1; i <= LAN_HOSTS; i++)); do
        local host
        host=$(lan_namespace "$i")
        ip netns add "$host"
        mkdir -p "/etc/netns/$host"
        printf '127.0.0.1 localhost\n127.0.1.1 pc%s.lan.test pc%s\n' "$i" "$i" \
            >"/etc/netns/$host/hosts"
        echo "nameserver 127.0.0.1" >"/etc/netns/$host/resolv.conf"
        ip -n "$bridge" link add "p$i" type veth peer name eth0 netns "$host"
        ip -n "$bridge" link set "p$i" master br0 up
        ip -n "$host" link set lo up
        ip -n "$host" addr add "10.77.0.$i/24" brd + dev eth0
        ip -n "$host" link set eth0 up
        ip -n "$host" route add default dev eth0
    done
}

# A laptop off its network keeps its old resolver: 10.77.0.250 is on the LAN
# but nobody answers there, so every lookup the hosts file cannot answer waits
# about 10 s.
lan_dead_resolver() {
    printf 'nameserver 10.77.0.250\noptions timeout:5 attempts:2\n' \
        >"/etc/netns/$(lan_namespace "$1")/resolv.conf"
}

# A host renamed without its hosts file: only the resolver could know its name.
lan_forget_name() {
    echo "127.0.0.1 localhost" >"/etc/netns/$(lan_namespace "$1")/hosts"
}

lan_run() {
    local index=$1
    shift
    ip netns exec "$(lan_namespace "$index")" \
        unshare -u sh -c 'hostname "$0"; exec "$@"' "pc$index" "$@"
}

lan_spawn() {
    local index=$1
    shift
    # One simple command in the background: ip, unshare and sh each exec the
    # next, so $! ends up naming CMD itself.
    ip netns exec "$(lan_namespace "$index")" \
        unshare -u sh -c 'hostname "$0"; exec "$@"' "pc$index" "$@" &
}

process_counts() {
    echo "$(find "/proc/$1/fd" -mindepth 1 -maxdepth 1 | wc -l) descriptors," \
        "$(find "/proc/$1/task" -mindepth 1 -maxdepth 1 | wc -l) threads"
}

lan_down() {
    local pids
    for ((i = 1; i <= LAN_HOSTS; i++)); do
        local host
        host=$(lan_namespace "$i")
        # Whatever still runs inside a test host is ours: end it before the host goes.
        pids=$(ip netns pids "$host" 2>/dev/null || true)
        if [[ -n $pids ]]; then
            kill -KILL $pids 2>/dev/null
            wait $pids 2>/dev/null
        fi
        ip netns delete "$host" 2>/dev/null
        rm -rf "/etc/netns/$host"
    done
    ip netns delete "${LAN_PREFIX}br" 2>/dev/null
    LAN_HOSTS=0
    return 0
}

# True when this machine can make a virtual LAN: root, ip and unshare.
lan_available() {
    [[ $EUID -eq 0 ]] && command -v ip >/dev/null && command -v unshare >/dev/null &&
        ip netns list >/dev/null 2>&1
}
