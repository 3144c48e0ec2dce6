# A virtual LAN of test hosts in network namespaces, to be sourced by test
# scripts. Nothing is added to the machine's own namespace: the bridge lives in
# a namespace of its own, and every host gets a veth on it, an address in
# 10.77.0.0/24, a default route (a send to 255.255.255.255 needs one), a UTS
# host name pcN and an /etc/netns hosts file so names resolve both ways.
#
#   lan_up HOSTS         makes hosts 1..HOSTS; tears everything down at exit
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
    local hosts_file
    hosts_file=$(mktemp)
    echo "127.0.0.1 localhost" >"$hosts_file"
    for ((i = 1; i <= LAN_HOSTS; i++)); do
        echo "10.77.0.$i pc$i.lan.test pc$i" >>"$hosts_file"
    done
    for ((i = 1; i <= LAN_HOSTS; i++)); do
        local host
        host=$(lan_namespace "$i")
        ip netns add "$host"
        mkdir -p "/etc/netns/$host"
        cp "$hosts_file" "/etc/netns/$host/hosts"
        ip -n "$bridge" link add "p$i" type veth peer name eth0 netns "$host"
        ip -n "$bridge" link set "p$i" master br0 up
        ip -n "$host" link set lo up
        ip -n "$host" addr add "10.77.0.$i/24" brd + dev eth0
        ip -n "$host" link set eth0 up
        ip -n "$host" route add default dev eth0
    done
    rm -f "$hosts_file"
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
