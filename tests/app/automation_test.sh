#!/bin/bash
# The automation object's lifetime with the real program, offscreen in host 1
# of a virtual LAN with a session bus of its own; host 2 records the wire. A
# stand-alone start writes the activation file; a create call then starts the
# program through it, and the client leaving the bus or the bus going away
# ends that copy with its leaving notice. (The release, and the close button
# of a held copy, are the end-to-end test's, which has windows.)
#   automation_test.sh PROGRAM
set -uo pipefail

here=$(dirname "$(realpath "$0")")
source "$here/../lan/virtual-lan.sh"
lan_require dbus-run-session dbus-send python3-dbus
LAN_PREFIX="kstauto$$"
lan_up 2
# Users' paths have blanks: the bus must read this one back as one word.
KESTRANE="$LAN_WORK/my programs/kestrane"
mkdir -p "$(dirname "$KESTRANE")" && cp "$1" "$KESTRANE"
record="$LAN_WORK/wire.log"
peer_record 2 "$record" || exit 1
host_prepare 1
host_bus_up 1 || exit 1
service="$(host_home 1)/data/dbus-1/services/Tavrin.Application.service"
printf '# mine\n[D-BUS Service]\nName=Tavrin.Application\nExec=/old/kestrane -Automation\n' >"$service"
said_goodbye() { (($(peer_count "$record" 7 PC1.LAN.TEST '***Leaveing channel') >= $1)); }

copy_start 1
check "a stand-alone start names itself in the activation file: absolute path, quoted" \
    wait_until 10 grep -qxF "Exec=\"$KESTRANE\" -Automation" "$service"
check "and keeps the user's own lines" grep -qx '# mine' "$service"
# A copy ended before its hello says no goodbye either: the file comes first.
check "it says hello" wait_until 10 eval '(($(peer_count "$record" 1 PC1.LAN.TEST ILIVE) >= 1))'
host_run 1 timeout 10 "$KESTRANE"
check "a second start while it runs ends at once with status 1 ($?)" test "$?" -eq 1
end_copy "$COPY_PID"
check "SIGTERM ends it with its leaving notice" wait_until 5 said_goodbye 1

# Starts a client in host 1; ACTIVATED is then the copy serving its object.
activate() {
    rm -f "$LAN_WORK/pid" "$LAN_WORK/go"
    host_spawn 1 /usr/bin/python3 "$here/automation_client.py" "$LAN_WORK/pid" "$LAN_WORK/go" >>"$LAN_WORK/client.log" 2>&1
    client=$!
    wait_until 20 test -s "$LAN_WORK/pid" && activated=$(cat "$LAN_WORK/pid") &&
        grep -qx -- -Automation <(tr '\0' '\n' <"/proc/$activated/cmdline")
}

if check "a create call starts the program with -Automation through the activation file" activate; then
    kill -KILL "$client"
    { wait "$client"; } 2>/dev/null
    check "the client leaving the bus ends the program" wait_until 5 gone "$activated"
    check "with its leaving notice" wait_until 5 said_goodbye 2
fi
# The session ends and takes its bus with it, without a word.
end_session() { kill -KILL "$(bus_pid 1 org.freedesktop.DBus)" && rm "$(host_home 1)/bus.address"; }
if check "a second create call starts it again" activate; then
    end_session
    check "losing the session bus ends the program" wait_until 5 gone "$activated"
    check "with its leaving notice" wait_until 5 said_goodbye 3
fi
# A look at the name (as a bus browser takes) starts a copy that never gets a client.
introspected() {
    host_run 1 dbus-send --session --print-reply --dest=Tavrin.Application /Tavrin/Application \
        org.freedesktop.DBus.Introspectable.Introspect >/dev/null && activated=$(bus_pid 1 Tavrin.Application)
}
if host_bus_up 1 && check "an introspection call starts it too" introspected; then
    end_session
    check "losing the bus before any object was made ends it" wait_until 5 gone "$activated"
    check "with its leaving notice" wait_until 5 said_goodbye 4
fi
tally automation || { tail -n 20 "$LAN_WORK/client.log" "$(host_home 1)"/*.log; exit 1; }
