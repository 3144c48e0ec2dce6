#!/bin/bash
# Copies of Kestrane on hosts with more than one network, on the wire: what
# they send to everybody reaches every network they are on, whatever the
# default route, and networks that come late or lie behind a router.
#   network_test.sh PROGRAM local    two LANs, a VPN, an address that comes late
#   network_test.sh PROGRAM routed   hosts and a subnet named in the settings
set -uo pipefail

source "$(dirname "$(realpath "$0")")/virtual-lan.sh"
KESTRANE=$(realpath "$1")
lan_require python3 sqlite3
LAN_PREFIX="kstnet$$"
lan_up 0
at() { lan_host "$1" && lan_link "$@" && ip -n "$(lan_namespace "$1")" route add default dev "$3"; }
# The receptions in FILE of the datagram TYPE NAME TEXT: TIME SOURCE DESTINATION HEX.
heard() { awk -v bytes="$(peer hex "${@:2}")" '$4 == bytes' "$1"; }
# Whether they came exactly as EXPECTED: SOURCE DESTINATION, one per reception, sorted, comma-separated.
heard_from() { [[ $(heard "${@:2}" | awk '{print $2 " " $3}' | sort | paste -sd,) == "$1" ]]; }
send_all() { host_run 1 timeout 10 "$KESTRANE" --send --broadcast "$1" >>"$LAN_WORK/send.log" 2>&1; }
listen() { peer_record "$1" "$LAN_WORK/$1.log" stamped || { echo "FAIL - no listener in host $1" && exit 1; }; }
start() { host_prepare "$1" && copy_start "$1"; }

if [[ $2 == local ]]; then
    lan_bridge br1
    # 1 is on both LANs, 2 (listening) on the first, 3 (listening) on the second,
    # 4 (a copy) on both; 5 has a VPN that takes the default route; 6 starts with no address.
    for i in 1 2 4 5 6; do at "$i" br0 eth0 "10.77.0.$i/24"; done
    for i in 1 4; do lan_link "$i" br1 eth1 "10.88.0.$i/24"; done
    at 3 br1 eth0 10.88.0.3/24
    vpn=$(lan_namespace 5)
    ip -n "$vpn" link add vpn0 type veth peer name p5vpn0 netns "${LAN_PREFIX}br"
    ip -n "$vpn" addr add 10.8.0.5/24 dev vpn0 && ip -n "$vpn" link set vpn0 up && ip -n "${LAN_PREFIX}br" link set p5vpn0 up
    ip -n "$vpn" route del default && ip -n "$vpn" route add default dev vpn0
    ip -n "$(lan_namespace 6)" addr flush dev eth0
    listen 2 && listen 3
    for i in 4 1 5 6; do start "$i"; done

    for i in 2 3; do
        check "a host on two LANs says hello once on each, heard by $i" wait_until 10 heard_from \
            "10.$((55 + 11 * i)).0.1 255.255.255.255" "$LAN_WORK/$i.log" 1 PC1.LAN.TEST ILIVE
    done
    check "a host behind a VPN that takes the default route says hello on its LAN" wait_until 10 heard_from \
        "10.77.0.5 255.255.255.255" "$LAN_WORK/2.log" 1 PC5.LAN.TEST ILIVE

    send_all 'to both LANs'
    check "a script's line to everybody is delivered ($?)" test "$?" -eq 0
    for i in 2 3; do
        check "... and heard once by $i" wait_until 5 heard_from \
            "10.$((55 + 11 * i)).0.1 255.255.255.255" "$LAN_WORK/$i.log" 4 PC1.LAN.TEST 'to both LANs\r\n'
    done
    # A later line from the same host is the marker that ends the wait for a second copy.
    send_all marker
    shown() { sqlite3 "$(host_home 4)/data/kestrane/history.db" \
        "SELECT count(*) FROM history WHERE NOT outgoing AND text LIKE '$1%'" 2>/dev/null; }
    shown_once() { [[ $(shown "$1") == 1 ]]; }
    check "the copy on both LANs took the marker" wait_until 10 shown_once marker
    check "... and shows the line it received twice once ($(shown 'to both'))" test "$(shown 'to both')" = 1

    before=$(date +%s.%N)
    ip -n "$(lan_namespace 6)" addr add 10.77.0.6/24 brd + dev eth0
    check "an address that comes late gets a hello" wait_until 10 heard_from \
        "10.77.0.6 255.255.255.255" "$LAN_WORK/2.log" 1 PC6.LAN.TEST ILIVE
    delay=$(heard "$LAN_WORK/2.log" 1 PC6.LAN.TEST ILIVE | awk -v t="$before" 'NR == 1 {print $1 - t}')
    check "... within 2 s of the address (${delay:-none} s)" awk -v d="${delay:-99}" 'BEGIN {exit !(d <= 2.2)}'

    # A host heard on a network this host has left is taken off the list.
    send_to() { [[ $(host_run 1 timeout 10 "$KESTRANE" --send PEERC 'are you there' 2>&1) == *"$1"* ]]; }
    peer_send 3 broadcast 1 PEERC ILIVE
    check "a host heard only on the second LAN is listed" wait_until 5 send_to NO-RECEIPTS
    ip -n "$(lan_namespace 1)" addr del 10.88.0.1/24 dev eth1
    check "... and taken off the list once this host leaves that LAN" wait_until 5 send_to 'cannot be reached'
else
    lan_bridge br2
    # 7 routes between the LAN and 10.99.0.0/24, where 8 listens; 9 names 8 and that subnet.
    at 7 br0 eth0 10.77.0.7/24 && lan_link 7 br2 eth1 10.99.0.7/24
    at 8 br2 eth0 10.99.0.8/24 && at 9 br0 eth0 10.77.0.9/24
    for setting in ip_forward conf/{all,eth0,eth1}/bc_forwarding; do
        lan_run 7 sysctl -qw "net/ipv4/$setting=1" || exit 1
    done
    ip -n "$(lan_namespace 8)" route add 10.77.0.0/24 via 10.99.0.7
    ip -n "$(lan_namespace 9)" route add 10.99.0.0/24 via 10.77.0.7
    mkdir -p "$(host_home 9)/.config/kestrane"
    printf '[network]\nextraHosts=10.99.0.8, 10.99.0.0/24\n' >>"$(host_home 9)/.config/kestrane/kestrane.conf"
    listen 8 && start 9
    got() { heard "${@:2}" | grep " $1 " >/dev/null; }
    check "a host named in the settings, behind a router, hears the hello by unicast" wait_until 10 got \
        "10.77.0.9 10.99.0.8" "$LAN_WORK/8.log" 1 PC9.LAN.TEST ILIVE
    check "... and by the directed broadcast of the subnet named there" wait_until 5 got \
        "10.77.0.9 10.99.0.255" "$LAN_WORK/8.log" 1 PC9.LAN.TEST ILIVE
fi
tally "lan networks ($2)" || { tail -n 20 "$LAN_WORK"/h*/program.log "$LAN_WORK"/*.log && exit 1; }
