#!/bin/bash
# Kestrane used as a person uses it: two copies, A and B, in real windows with
# a real tray on one X display, in two hosts of a virtual LAN, a protocol peer
# in a third, and every step driven through the tray icons, the keyboard and
# the close button. Sound goes to files through ALSA.
#   e2e_test.sh PROGRAM ARTIFACTS
# Screenshots of every step stay in ARTIFACTS, with the logs when a step fails.
set -uo pipefail

here=$(dirname "$(realpath "$0")")
source "$here/../lan/virtual-lan.sh"
source "$here/desktop.sh"
KESTRANE=$(realpath "$1")
artifacts=$(realpath -m "$2")
lan_require nft sqlite3 dbus-send dunst weston xfce4-panel Xvfb xdpyinfo trayer icewm xdotool xclip xwininfo xprop import dbus-run-session gdbus python3-dbus python3-gi python3-pyatspi
rm -f "$artifacts"/*.png "$artifacts"/*.log
mkdir -p "$artifacts"
LAN_PREFIX="kste2e$$"
lan_up 3
# The copies go before their display does.
trap 'lan_down; desktop_down' EXIT
x11=(/usr/bin/python3 "$here/x11_window.py")

peer_log="$LAN_WORK/peer.log"
# TYPE NAME TEXT seen exactly TIMES times by the peer: now, or within SECONDS.
saw() {
    local seen
    seen=$(peer_count "$peer_log" "${@:2}")
    ((seen == $1)) || { echo "    (the peer saw it $seen times)" && return 1; }
}
within() { wait_until "$1" saw "${@:2}" >/dev/null || saw "${@:2}"; }
# What the screen shows is TEXT; says what it shows when not.
shows() { [[ $1 == "$2" ]] || { echo "    (it shows: $(printf '%q' "$1"))" && return 1; }; }
# The copy named NAME answers a hello from the peer: a marker after which
# whatever was sent before it has reached the peer.
answers_a_hello() {
    local answers
    answers=$(peer_count "$peer_log" 2 "$1" '*** Online ***\r\n')
    peer_send 3 broadcast 1 MARK ILIVE
    within 5 $((answers + 1)) 2 "$1" '*** Online ***\r\n'
}

shots=0
shot() { shots=$((shots + 1)) && import -window root "$artifacts/$(printf %02d $shots)-$1.png" 2>/dev/null; }

failed_steps=()
step() {
    # E2E_STEPS="8 notify" runs only those steps, while a step is being written.
    [[ -z ${E2E_STEPS:-} || " $E2E_STEPS " == *" $1 "* ]] || return 0
    echo "step $1: $2"
    if "step_$1"; then shot "step$1-done"; else failed_steps+=("$1") && shot "step$1-FAILED"; fi
}

# The text a copy's chat log shows, read through the clipboard.
log_of() {
    local window
    window=$(main_window "$1") && focus_window "$window" || return 1
    # The log fills the upper part of the window: a click there focuses it,
    # and a second one clears the selection again, as a user's would.
    xdotool mousemove --window "$window" 300 150 click 1 mousemove 1 1
    copy_focused_text
    xdotool mousemove --window "$window" 300 150 click 1 mousemove 1 1
}

log_holds() {
    local log
    log=$(log_of "$1")
    [[ $log == *"$2"* ]] || shows "$log" "...$2..."
}

chimes_at_least() { (($(find "$(host_home "$1")" -name 'sound.wav*' | wc -l) >= $2)); }
leaving='***Leaveing channel'
line_to_all="Hello everybody, this is A"

step_1() {
    local start=${EPOCHREALTIME/./}
    rm "$(host_home 1)/.config/kestrane/kestrane.conf" # A's first start on this account
    copy_start 1
    a=$COPY_PID
    # B runs under nohup, as if started from a terminal.
    host_spawn 2 nohup "$KESTRANE" >>"$(host_home 2)/program.log" 2>&1
    b=$!
    check "B settles into the tray" wait_until 20 in_tray "$b" &&
        check "A, started for the first time, shows its window" wait_until 20 main_window_shown "$a" &&
        check "whose log names A and says how many hosts it heard" wait_until 10 log_holds "$a" \
            "*** Kestrane runs on this computer as PC1.LAN.TEST and has heard " || return 1
    shot a-first-start
    focus_window "$(main_window "$a")" && keys alt+h
    check "Hide puts A in the tray" wait_until 5 in_tray "$a" || return 1
    echo "    (both settled $(((${EPOCHREALTIME/./} - start) / 1000)) ms after the start)"
    sleep 1 # past the first timer tick, which makes the settled window count as hidden
    check "two icons in the tray" test "$(tray_icon "$a")" != "$(tray_icon "$b")" &&
        check "the peer saw A's hello byte for byte" within 5 1 1 PC1.LAN.TEST ILIVE &&
        check "the peer saw B's hello byte for byte" within 5 1 1 PC2.LAN.TEST ILIVE
}

step_2() {
    local window log manual
    click_icon "$a" 1
    check "a left click on A's icon shows its window" wait_until 3 main_window_shown "$a" || return 1
    window=$(main_window "$a")
    place_window "$window" 16 16
    check "A's window takes the keyboard focus" focus_window "$window" || return 1
    # A click in the log (the window was up once, at A's first start) puts
    # the focus there, and the message line comes next; ten Tabs go round the
    # ten controls back to it (Tab selects its text, End keeps it).
    xdotool mousemove --window "$window" 300 150 click 1 mousemove 1 1
    keys Tab
    type_text "${line_to_all%%,*}"
    keys Tab Tab Tab Tab Tab Tab Tab Tab Tab Tab End
    type_text ",${line_to_all#*,}"
    shot a-typing
    keys Return
    check "the peer got the line by broadcast, byte for byte" within 5 1 4 PC1.LAN.TEST "$line_to_all\\r\\n" &&
        check "B got it (it chimed)" wait_until 5 chimes_at_least 2 1 &&
        check "B's window stayed hidden" main_window_hidden "$b" &&
        check "Enter sent it once" saw 1 4 PC1.LAN.TEST "$line_to_all\\r\\n" || return 1
    # The log comes just before the message line.
    keys shift+Tab
    log=$(copy_focused_text)
    check "A's log holds the first start's note, then the sent line, once" \
        shows "${log#\*\*\* Kestrane runs on this computer as *\*\*\*$'\n'}" "Sent BROADCAST message : $line_to_all" || return 1
    # No browser on this desktop: Help shows the manual in a window of its own.
    keys alt+e
    check "with no browser, Help opens the manual in a window of A's own" \
        wait_until 5 eval 'manual=$(window_named "$a" "^Kestrane manual$") && focus_window $manual' &&
        check "which reads as the manual" eval '[[ $(copy_focused_text) == *"Unread lines"* ]]' &&
        check "and closes" eval '"${x11[@]}" close $manual && wait_until 3 eval "! is_viewable $manual"'
}

step_3() {
    local dialog text reply="Thanks A, B here"
    click_icon "$b" 3
    check "a right click on B's icon opens a dialog titled after A" wait_until 5 shows_the_line "$b" "from PC1.LAN.TEST" || return 1
    check "the dialog takes the keyboard focus" focus_window "$dialog" || return 1
    # The focus starts on the reply line; Shift+Tab goes back to the message text.
    keys shift+Tab
    text=$(copy_focused_text)
    check "it shows the newest line, the one A sent" shows "${text%$'\n'}" ">$line_to_all" || return 1
    # A click in the text clears the selection the copy made; Tab goes on from
    # there, the last control, round to the reply line.
    xdotool mousemove --window "$dialog" 300 70 click 1 mousemove 1 1
    keys Tab
    type_text "$reply"
    import -window "$dialog" "$artifacts/message-dialog.png"
    shot b-replying
    keys Return
    check "Enter sent the reply and closed the dialog" wait_until 5 eval '! is_viewable $dialog' &&
        check "B's window stayed hidden" main_window_hidden "$b" &&
        check "A's log shows B's reply" wait_until 5 log_holds "$a" "PC2.LAN.TEST : $reply" &&
        check "A, on the screen, did not chime for it" test ! -e "$(host_home 1)/sound.wav" &&
        check "the reply went to A alone (the peer saw nothing)" saw 0 4 PC2.LAN.TEST "$reply\\r\\n"
}

# In the copy PID, whose log has the focus: chooses the roster's last entry
# and sends LINE. Three Tabs wrap round to the roster by way of the message
# line and Send, End chooses, two Shift+Tabs go back to the message line.
send_to_last_entry() {
    check "the window takes the keyboard focus" focus_window "$(main_window "$1")" || return 1
    keys Tab Tab Tab End shift+Tab shift+Tab
    type_text "$2"
    keys Return
}

step_4() {
    local line="Only for B" window size
    send_to_last_entry "$a" "$line" || return 1
    check "B got the line (it chimed again)" wait_until 5 chimes_at_least 2 2 &&
        check "the peer did not see it" saw 0 4 PC1.LAN.TEST "$line\\r\\n" &&
        check "A's log says it went to B" log_holds "$a" "Sent to PC2.LAN.TEST: $line" || return 1
    # The README's picture: the window made larger, the log taking the room.
    window=$(main_window "$a")
    size=$(xdotool getwindowgeometry "$window" | awk '/Geometry/ {print $2}')
    xdotool windowsize --sync "$window" 820 520 2>/dev/null
    import -window "$window" "$artifacts/main-window.png"
    xdotool windowsize --sync "$window" "${size%x*}" "${size#*x}" 2>/dev/null
    click_icon "$b" 1
    check "a left click on B's icon shows its window" wait_until 3 main_window_shown "$b" || return 1
    place_window "$(main_window "$b")" 640 560
    check "B's log shows A's line" log_holds "$b" "PC1.LAN.TEST : $line"
}

# A opens its conversations on B's thread, reads it and answers B there.
step_talk() {
    local window thread line="See you at lunch"
    check "A's window takes the keyboard focus" focus_window "$(main_window "$a")" || return 1
    keys ctrl+k
    check "Ctrl+K opens A's conversations" wait_until 5 eval \
        'window=$(window_named "$a" "^Kestrane Conversations$") && focus_window $window' || return 1
    # The focus starts on the message line, under B's thread: typing answers B.
    type_text "$line"
    keys Return
    sleep 1 # B's receipt comes back
    place_window "$window" 16 16
    import -window "$window" "$artifacts/conversations.png"
    # The thread comes just before the message line.
    keys shift+Tab
    thread=$(copy_focused_text)
    thread=${thread#*$'\n'} # below the day
    check "the thread with B holds B's reply and A's lines to B, both ways, once each" \
        shows "${thread%$'\n'}" "PC2.LAN.TEST: Thanks A, B here"$'\n'"You: Only for B"$'\n'"You: $line" &&
        check "Esc puts the conversations away" eval 'keys Escape && wait_until 3 eval "! is_viewable $window"' &&
        check "typing in the thread answered B" wait_until 5 log_holds "$b" "PC1.LAN.TEST : $line" &&
        check "and B alone (the peer saw nothing)" saw 0 4 PC1.LAN.TEST "$line\\r\\n"
}

# A, whose roster has B chosen, sends a file; B, on the screen, opens its
# transfers and accepts it.
step_files() {
    local file="$LAN_WORK/report-1.bin" picker transfers
    head -c 3000000 /dev/urandom >"$file"
    check "A's window takes the keyboard focus" focus_window "$(main_window "$a")" || return 1
    keys alt+f
    check "Send file... asks which files, for B" \
        wait_until 5 eval 'picker=$(window_named "$a" "^Send files to PC2.LAN.TEST$")' &&
        check "the file dialog takes the keyboard focus" focus_window "$picker" || return 1
    type_text "$file"
    keys Return
    check "B's log tells of the offer" \
        wait_until 10 log_holds "$b" 'PC1.LAN.TEST offers "report-1.bin"' &&
        check "and no view takes B's keyboard for it" eval '! window_named "$b" "file transfers$"' &&
        check "B's window takes the keyboard focus" focus_window "$(main_window "$b")" || return 1
    keys alt+t
    check "Transfers... shows B the offer" \
        wait_until 5 eval 'transfers=$(window_named "$b" "file transfers$")' &&
        check "B's transfers take the keyboard focus" focus_window "$transfers" || return 1
    shot b-offered
    import -window "$transfers" "$artifacts/transfers.png"
    lan_spawn 2 /usr/bin/python3 "$LAN_TOOLS/chat_peer.py" capture "$LAN_WORK/files.capture"
    local capture=$!
    wait_until 5 test -e "$LAN_WORK/files.capture.ready"
    keys alt+a
    check "accepted, the file arrives in B's Downloads byte for byte" \
        wait_until 20 cmp -s "$file" "$(host_home 2)/Downloads/report-1.bin" || return 1
    { kill "$capture" && wait "$capture"; } 2>/dev/null
    check "privately: B's link carried it sealed, none of its bytes in the clear" \
        /usr/bin/python3 "$LAN_TOOLS/chat_peer.py" holds "$LAN_WORK/files.capture" "$file"
    focus_window "$transfers" && keys Escape
    check "Esc closes B's transfers" wait_until 3 eval '! is_viewable "$transfers"' &&
        check "B's log says it arrived whole" \
            wait_until 5 log_holds "$b" '"report-1.bin" from PC1.LAN.TEST arrived whole' &&
        check "A's transfers opened with the offer" \
            eval 'transfers=$(window_named "$a" "file transfers$")' || return 1
    focus_window "$transfers" && keys Escape
    check "A's log says it was offered" log_holds "$a" 'Offered "report-1.bin" (1 item'
}

# In copy PID's window: chooses NAME in the roster (from the log, three Tabs
# reach it and typing picks the entry), opens Verify NAME... from the log's
# menu, copies the code the dialog shows into $code and says the codes match.
compare_codes() {
    local pid=$1 name=$2 window dialog
    window=$(main_window "$pid") && focus_window "$window" || return 1
    xdotool mousemove --window "$window" 300 150 click 1 mousemove 1 1
    keys Tab Tab Tab
    type_text "$name"
    xdotool mousemove --window "$window" 300 150 click 3
    sleep 0.5
    keys v
    wait_until 5 eval 'dialog=$(window_named "$pid" "^Verify $name$") && focus_window $dialog' || return 1
    # The code has the focus, for reading it out or copying it.
    code=$(copy_focused_text)
    keys alt+m
    wait_until 3 eval "! is_viewable $dialog"
}

# A and B compare codes in their windows and each confirms; B then starts
# again with a new identity, A warns, and accepting the new key in the bar
# above A's log lets A's lines reach B again.
step_verify() {
    local code code_a key
    key="$(host_home 2)/data/kestrane/identity.key"
    check "A opens Verify PC2.LAN.TEST... and confirms the code" compare_codes "$a" PC2.LAN.TEST || return 1
    code_a=$code
    check "B opens Verify PC1.LAN.TEST... and confirms the code" compare_codes "$b" PC1.LAN.TEST &&
        check "both screens showed one 12-digit code ($code_a, $code)" \
            eval '[[ $code == "$code_a" && ${code//[^0-9]/} =~ ^[0-9]{12}$ ]]' || return 1
    send_from_a PC2.LAN.TEST "Codes compared"
    check "A's line to B now reports verified ($sent_status: $sent)" \
        eval '[[ $sent_status == 0 && $sent == "DELIVERED (verified): "* ]]' || return 1
    end_copy "$b" && mv "$key" "$key.lost"
    host_spawn 2 nohup "$KESTRANE" >>"$(host_home 2)/program.log" 2>&1
    b=$!
    check "B starts again with a new key, into the tray" wait_until 20 in_tray "$b" &&
        check "A warns that B's key changed" \
            wait_until 30 log_holds "$a" "PC2.LAN.TEST is using a different key" || return 1
    shot a-key-changed
    focus_window "$(main_window "$a")" && keys alt+a
    send_from_a PC2.LAN.TEST "Welcome back"
    check "accepted in the bar, A's line reaches B again ($sent_status: $sent)" \
        eval '[[ $sent_status == 0 && $sent == "DELIVERED (encrypted, not verified): "* ]]' || return 1
    # B's window is on the screen again for the steps that follow, as step 4 left it.
    click_icon "$b" 1
    check "a left click on B's icon shows its window again" wait_until 3 main_window_shown "$b" &&
        place_window "$(main_window "$b")" 640 560 &&
        check "whose log shows A's line" log_holds "$b" "PC1.LAN.TEST : Welcome back"
}

# Copy PID asks what its close button is to do, in a box that has the keyboard.
asks_how_to_close() {
    local pid=$1
    wait_until 5 eval 'question=$(window_named "$pid" "^Close Kestrane$")' && focus_window "$question"
}

step_5() {
    send_to_last_entry "$b" "Still there, A?" &&
        check "B's roster lists A (its last entry sends to A)" \
            log_holds "$b" "Sent to PC1.LAN.TEST: Still there, A?" || return 1
    "${x11[@]}" close "$(main_window "$a")"
    check "A's close button asks whether to keep A running in the tray" asks_how_to_close "$a" &&
        check "Enter keeps it running there, the window hidden" \
            eval 'keys Return && wait_until 3 main_window_hidden $a && answers_a_hello PC1.LAN.TEST' || return 1
    click_icon "$a" 1
    check "a left click shows A's window again" wait_until 3 main_window_shown "$a" || return 1
    "${x11[@]}" close "$(main_window "$a")"
    check "its close button asks again" asks_how_to_close "$a" || return 1
    keys alt+r alt+q # remember, and quit
    end_copy "$a" 0  # signal 0 sends nothing: this only waits for the end
    check "Quit, remembered, ends A with status 0 ($STATUS)" test "$STATUS" -eq 0 &&
        check "with its leaving notice" within 5 1 7 PC1.LAN.TEST "$leaving" &&
        check "and its tray icon is gone" no_windows "$a" || return 1
    send_to_last_entry "$b" "Gone, A?" &&
        check "B's roster no longer lists A (its last entry is the broadcast)" \
            within 5 1 4 PC2.LAN.TEST 'Gone, A?\r\n'
}

step_6() {
    local pid_file="$LAN_WORK/automation.pid" client automated options
    host_spawn 1 /usr/bin/python3 "$here/../app/automation_client.py" "$pid_file" "$LAN_WORK/go" >"$LAN_WORK/automation.log" 2>&1
    client=$!
    check "a create call on A's session bus starts A" wait_until 20 test -s "$pid_file" || return 1
    automated=$(cat "$pid_file")
    check "it settles into the tray" wait_until 10 in_tray "$automated" &&
        check "and says hello" within 5 2 1 PC1.LAN.TEST ILIVE || return 1
    # The person, not knowing it runs, starts Kestrane from the menu.
    sleep 1
    copy_start 1
    local second=$COPY_PID status
    wait_until 5 gone "$second" && wait "$second"
    status=$?
    check "a start by hand ends at once with status 1 ($status)" test "$status" -eq 1 &&
        check "and brings the hidden copy's window forward" wait_until 3 main_window_shown "$automated" ||
        return 1
    # Options are answered before the lock, Qt or the network are touched.
    options=$(for option in --help --version --bogus; do host_run 1 timeout 10 "$KESTRANE" "$option" &>/dev/null; echo -n "$? "; done)
    check "--help, --version and --bogus end with 0, 0 and 2 ($options)" test "$options" = "0 0 2 " || return 1
    "${x11[@]}" close "$(main_window "$automated")"
    check "its close button only hides it" wait_until 3 main_window_hidden "$automated" &&
        check "it still runs: it answers a hello" answers_a_hello PC1.LAN.TEST &&
        check "neither the start by hand nor the options said hello" saw 2 1 PC1.LAN.TEST ILIVE &&
        check "and nobody said goodbye" saw 1 7 PC1.LAN.TEST "$leaving" || return 1
    touch "$LAN_WORK/go"
    check "the client releases the object" wait "$client" &&
        check "which ends A" wait_until 10 gone "$automated" &&
        check "with its leaving notice" within 5 2 7 PC1.LAN.TEST "$leaving" &&
        check "and its icon is gone" no_windows "$automated"
}

# Starts A, waits SECONDS, and ends it with SIGTERM: STATUS.
a_ended_after() { copy_start 1 && a=$COPY_PID && sleep "$1" && end_copy "$a"; }

step_7() {
    local line="Found you without a name server"
    kill -HUP "$b"
    # A laptop off its network keeps its old resolver: nobody answers at
    # 10.77.0.250, so each lookup the hosts file cannot answer waits about 10 s.
    printf 'nameserver 10.77.0.250\noptions timeout:5 attempts:2\n' >"/etc/netns/$(lan_namespace 1)/resolv.conf"
    copy_start 1
    a=$COPY_PID
    check "with a name server that never answers, A says hello within 2 s" \
        within 2 3 1 PC1.LAN.TEST ILIVE &&
        check "it settles into the tray" wait_until 10 in_tray "$a" || return 1
    sleep 1 # past the first timer tick
    click_icon "$a" 1
    check "a left click shows A's window" wait_until 3 main_window_shown "$a" || return 1
    place_window "$(main_window "$a")" 16 16 # clear of B's log
    check "A's window takes the keyboard focus" focus_window "$(main_window "$a")" || return 1
    # The focus starts on the roster: End chooses B, which answered A's hello,
    # and the message line is two Shift+Tabs back.
    keys End shift+Tab shift+Tab
    type_text "$line"
    keys Return
    check "B got the line, sent where B spoke from" wait_until 5 log_holds "$b" "PC1.LAN.TEST : $line" &&
        check "the peer did not see it" saw 0 4 PC1.LAN.TEST "$line\\r\\n" || return 1
    end_copy "$a"
    check "SIGTERM ends A in time with status 0 ($STATUS)" test "$STATUS" -eq 0 &&
        check "with its leaving notice" within 5 3 7 PC1.LAN.TEST "$leaving" || return 1
    a_ended_after 1
    check "SIGTERM 1 s after the start ends A in time with status 0 ($STATUS)" test "$STATUS" -eq 0 &&
        check "with its leaving notice" within 5 4 7 PC1.LAN.TEST "$leaving" || return 1
    # A host renamed without its hosts file: only the dead name server could
    # give A's full name. A waits for it about a second, then calls itself by
    # its host name.
    echo "127.0.0.1 localhost" >"/etc/netns/$(lan_namespace 1)/hosts"
    copy_start 1
    a=$COPY_PID
    check "a host unknown to its hosts file says hello by its host name within 2 s" \
        within 2 1 1 PC1 ILIVE || return 1
    end_copy "$a"
    check "SIGTERM ends it in time with status 0 ($STATUS)" test "$STATUS" -eq 0 &&
        check "with its leaving notice" within 5 1 7 PC1 "$leaving" || return 1
    a_ended_after 0.5
    check "SIGTERM while it waits for its name ends it in time with status 0 ($STATUS)" \
        test "$STATUS" -eq 0 &&
        check "B, under nohup, went on after a hangup: it answers a hello" answers_a_hello PC2.LAN.TEST &&
        check "A said nothing on the wire, since it had not said hello" saw 1 1 PC1 ILIVE || return 1
    # Before the network is up its hello cannot go out, and a box says so; a logout then ends it.
    local host
    host=$(lan_namespace 1)
    ip -n "$host" link set eth0 down
    copy_start 1
    a=$COPY_PID
    check "with no network, A shows its hello's error box" \
        wait_until 10 eval 'xdotool search --onlyvisible --name "^sendto$" >/dev/null 2>&1'
    end_copy "$a"
    check "SIGTERM while that box is up ends A with status 0 ($STATUS)" test "$STATUS" -eq 0
    ip -n "$host" link set eth0 up && ip -n "$host" route add default dev eth0
}

# A real notification area: the Xfce panel with its status tray alone, on A's
# session bus, with a configuration of its own. The test calls A's item as the
# panel does, and records the item's signals from the bus. The status tray is
# an XEmbed tray too, and would take B's icon from trayer: it has a display of
# its own.
panel_log="$LAN_WORK/panel.log" PANEL_PIDS=() PANEL_DISPLAY=""
bus_has() { host_run 1 gdbus call --session --dest org.freedesktop.DBus --object-path / --method org.freedesktop.DBus.NameHasOwner "$1" 2>/dev/null | grep true >/dev/null; }
watcher_get() { host_run 1 gdbus call --session --timeout 3 --dest org.kde.StatusNotifierWatcher --object-path /StatusNotifierWatcher --method org.freedesktop.DBus.Properties.Get org.kde.StatusNotifierWatcher "$1" 2>/dev/null; }
panel_up() {
    local config="$LAN_WORK/panel/xfce4/xfconf/xfce-perchannel-xml" xfconfd
    mkdir -p "$config" && cat >"$config/xfce4-panel.xml" <<'PANEL'
<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0"><property name="configver" type="int" value="2"/>
  <property name="panels" type="array"><value type="int" value="1"/>
    <property name="panel-1" type="empty"><property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/><property name="size" type="uint" value="32"/>
      <property name="plugin-ids" type="array"><value type="int" value="1"/></property></property></property>
  <property name="plugins" type="empty"><property name="plugin-1" type="string" value="systray"/></property>
</channel>
PANEL
    xfconfd=$(ls /usr/lib/*/xfce4/xfconf/xfconfd | head -1)
    [[ -n $PANEL_DISPLAY ]] || { xvfb_up 640x400x24 "$LAN_WORK/panel-xvfb.log" && PANEL_DISPLAY=$XVFB_DISPLAY; } || return 1
    host_environment 1
    HOST_ENV+=(DISPLAY="$PANEL_DISPLAY" XDG_CONFIG_HOME="$LAN_WORK/panel" NO_AT_BRIDGE=1)
    seen_before "$LAN_WORK/panel"
    # Started first: one the bus started for the panel would not read this configuration.
    lan_spawn 1 env -i "${HOST_ENV[@]}" "$xfconfd" >>"$LAN_WORK/xfconfd.log" 2>&1
    PANEL_PIDS+=($!)
    wait_until 5 bus_has org.xfce.Xfconf || return 1
    lan_spawn 1 env -i "${HOST_ENV[@]}" xfce4-panel --disable-wm-check >>"$LAN_WORK/xfce4-panel.log" 2>&1
    PANEL_PIDS+=($!)
    wait_until 20 eval 'watcher_get IsStatusNotifierHostRegistered | grep true >/dev/null'
}
# The item of copy PID on the panel: sets $item and $item_path, and records its signals.
panel_item() {
    local entry
    item=""
    for entry in $(watcher_get RegisteredStatusNotifierItems | grep -o "'[^']*'" | tr -d "'"); do
        [[ $(bus_pid 1 "${entry%%/*}") == "$1" ]] || continue
        item=${entry%%/*} item_path=/StatusNotifierItem
        [[ $entry != */* ]] || item_path=/${entry#*/}
        break
    done
    [[ -n $item ]] || return 1
    host_spawn 1 gdbus monitor --session --dest "$item" --object-path "$item_path" >>"$panel_log" 2>&1
    PANEL_PIDS+=($!)
    wait_until 3 test -s "$panel_log"
}
panel_down() { ((${#PANEL_PIDS[@]} == 0)) || { kill "${PANEL_PIDS[@]}" && wait "${PANEL_PIDS[@]}"; } 2>/dev/null; PANEL_PIDS=(); }
# How many colours the panel shows: more once it shows an icon.
panel_colours() {
    local window
    for window in $(DISPLAY=$PANEL_DISPLAY xdotool search --classname '^xfce4-panel$' 2>/dev/null); do
        DISPLAY=$PANEL_DISPLAY is_viewable "$window" &&
            DISPLAY=$PANEL_DISPLAY import -window "$window" -format %k info: 2>/dev/null && return 0
    done
    return 1
}
item_call() { host_run 1 gdbus call --session --timeout 3 --dest "$item" --object-path "$item_path" --method "$@"; }
panel_click() { item_call "org.kde.StatusNotifierItem.$1" 0 0 >/dev/null; }
# The first item of the icon's menu, as the panel reads it over D-Bus, is LABEL.
menu_leads_with() {
    local menu
    menu=$(item_call org.freedesktop.DBus.Properties.Get org.kde.StatusNotifierItem Menu | grep -o "'/[^']*'" | tr -d "'") &&
        host_run 1 gdbus call --session --dest "$item" --object-path "$menu" --method com.canonical.dbusmenu.GetLayout 0 1 '[]' |
        grep -o "'label': <'[^']*'>" | sed -n 1p | grep -F "<'$1'>" >/dev/null
}
# A picture of the panel in FILE: its window is $panel_window.
panel_picture() {
    for panel_window in $(DISPLAY=$PANEL_DISPLAY xdotool search --onlyvisible --classname '^xfce4-panel$' 2>/dev/null); do
        DISPLAY=$PANEL_DISPLAY import -window "$panel_window" "$1" 2>/dev/null && return 0
    done
    return 1
}
# A right click, with the mouse, on the icon where the panel draws it: what differs from
# the picture of the bare panel in $panel_bare. The menu the panel opens takes the keyboard.
panel_right_click() {
    local w h x y shown
    panel_picture "$LAN_WORK/panel-now.png" &&
        read -r w h x y < <(convert "$panel_bare" "$LAN_WORK/panel-now.png" -compose difference -composite \
            -threshold 10% -trim -format '%w %h %X %Y\n' info: 2>/dev/null) || return 1
    shown=$(panel_windows)
    DISPLAY=$PANEL_DISPLAY xdotool mousemove --window "$panel_window" $((x + w / 2)) $((y + h / 2)) click 3 &&
        wait_until 3 eval '(($(panel_windows) > shown))' &&
        sleep 0.3 && DISPLAY=$PANEL_DISPLAY import -window root "$artifacts/panel-menu.png"
}
# How many windows the panel's display shows.
panel_windows() { DISPLAY=$PANEL_DISPLAY xdotool search --onlyvisible --name '' 2>/dev/null | wc -l; }
tip_holds() { item_call org.freedesktop.DBus.Properties.Get org.kde.StatusNotifierItem ToolTip | grep -w "$1" >/dev/null; }
# Since line MARK of the record, the item changed its icon at least four times.
blinks_since() { (($(tail -n +"$1" "$panel_log" | grep -c '\.NewIcon ') >= 4)); }
# Copy PID has the message dialog on the screen, titled for the line shown: $dialog.
# WHO is "from SENDER" for a line to everybody; by default the peer's line to
# the copy alone, "to you from PC3".
shows_the_line() { dialog=$(window_named "$1" "^Message ${2:-to you from PC3}( \\([0-9]+ of [0-9]+\\))?\$") && is_viewable "$dialog"; }
# Copy PID opens the line from PC3; Esc closes it, the line stays queued.
opens_the_line() {
    wait_until 5 shows_the_line "$1" && focus_window "$dialog" && keys Escape && wait_until 3 eval '! is_viewable $dialog'
}

step_8() {
    local method mark bare
    check "the Xfce panel's status tray watches A's session bus" panel_up || return 1
    bare=$(panel_colours) panel_bare="$LAN_WORK/panel-bare.png"
    panel_picture "$panel_bare"
    copy_start 1 && a=$COPY_PID
    check "A's icon goes to the panel as a StatusNotifierItem" wait_until 10 panel_item "$a" || return 1
    check "with the tip Kestrane" tip_holds Kestrane &&
        check "the panel shows it" wait_until 5 eval '(($(panel_colours) > bare))' &&
        check "A settles hidden, with no icon in trayer" wait_until 10 eval 'main_window_hidden $a && ! tray_icon $a' || return 1
    sleep 1 # past the first timer tick
    mark=$(($(wc -l <"$panel_log") + 1))
    peer_send 3 10.77.0.1 4 PC3 'Over D-Bus\r\n'
    check "a line makes the icon blink" wait_until 5 blinks_since "$mark" || return 1
    for method in ContextMenu SecondaryActivate; do
        check "the panel's $method is answered at once" panel_click "$method" &&
            check "and opens the line over A's hidden window" eval 'opens_the_line $a && main_window_hidden $a' || return 1
    done
    peer_send 3 10.77.0.1 4 PC3 'By the menu\r\n'
    check "another line, and the icon's menu leads with it" wait_until 5 menu_leads_with '_Read 1 unread line' &&
        check "a right click on the panel's icon opens that menu" panel_right_click &&
        check "whose first item opens the line over A's hidden window" \
            eval 'DISPLAY=$PANEL_DISPLAY xdotool key Down Return && opens_the_line $a && main_window_hidden $a' &&
        check "and the menu has nothing unread to offer then" wait_until 5 menu_leads_with '_Read waiting lines' || return 1
    panel_click Activate
    check "the panel's Activate shows A's window" wait_until 3 main_window_shown "$a"
}

# WINDOW's title is Kestrane's, counts UNREAD lines (0: says nothing of them) and names
# the copy, whose name starts with NAME when given.
titled() {
    local title
    title=$(window_name "$1")
    [[ $title =~ ^Kestrane(\ \(([0-9]+)\ unread\))?\ —\ (.+)$ ]] && [[ ${BASH_REMATCH[2]:-0} == "$2" ]] &&
        [[ ${BASH_REMATCH[3]} == "${3:-}"* ]] || { echo "    (titled $title)" && return 1; }
}

step_9() {
    local window other
    end_copy "$b" && desktop_window_manager "$LAN_WORK/desktop" || return 1
    # B's person read what came before: this is about a line that comes while B is minimized.
    sqlite3 "$(history_of 2)" "UPDATE history SET unread = 0" && copy_start 2 && b=$COPY_PID
    check "without a tray, B settles minimized" wait_until 10 eval 'is_iconic "$(main_window "$b")"' || return 1
    window=$(main_window "$b")
    sleep 1 # past the first timer tick
    xdotool windowactivate --sync "$window" 2>/dev/null
    check "the window manager restores it" main_window_shown "$b" &&
        check "and minimizes it" eval 'xdotool windowminimize --sync $window && wait_until 3 is_iconic $window' || return 1
    peer_send 3 10.77.0.2 4 PC3 'While you were away\r\n'
    check "a line makes its title count it" wait_until 3 titled "$window" 1
    xdotool windowactivate --sync "$window" 2>/dev/null
    check "restored, B opens the line" opens_the_line "$b" &&
        check "over its window, whose title counts nothing again" eval 'main_window_shown $b && titled $window 0' || return 1
    xmessage -geometry +700+0 Elsewhere & other=$!
    timeout 5 xdotool search --sync --onlyvisible --name '^xmessage$' windowactivate --sync >/dev/null 2>&1
    peer_send 3 10.77.0.2 4 PC3 'Behind another window\r\n'
    check "behind another window, a line counts in B's title" wait_until 3 titled "$window" 1 &&
        check "and B asks for attention" eval 'xprop -id $window _NET_WM_STATE | grep DEMANDS_ATTENTION >/dev/null' || return 1
    kill "$other" && xdotool windowactivate --sync "$window" 2>/dev/null
    check "in front again, B's title counts nothing, and names B" wait_until 3 titled "$window" 0 PC2
}

# `kestrane --send` in host 1, to the copy that runs there: its output in
# $sent, its status in $sent_status.
send_from_a() { sent=$(host_run 1 timeout 40 "$KESTRANE" --send "$@" 2>&1) && sent_status=0 || sent_status=$?; }
# One batch of lines through --send, ten at once; prints a line per line not delivered.
send_lines_to_b() {
    local i
    for ((i = $1; i < $1 + 10; i++)); do
        (send_from_a PC2.LAN.TEST "Line $i over a lossy link" && [[ $sent_status == 0 && $sent == "DELIVERED (encrypted, not verified):"* ]] ||
            echo "line $i: $sent_status $sent") &
    done
    wait
}
step_10() {
    # A calls itself PC1 since step 7 took its full name away.
    local failures log i once=0 killed lost window
    send_from_a PC2.LAN.TEST "Are you there?"
    check "a line from A to B reports delivered, encrypted ($sent_status: $sent)" \
        eval '[[ $sent_status == 0 && $sent == "DELIVERED (encrypted, not verified):"* ]]' &&
        check "the peer did not see it" saw 0 4 PC1 'Are you there?\r\n' || return 1
    send_from_a 10.77.0.9 "Anyone there?"
    check "a line to an address nothing was heard from is not taken for sent ($sent_status: $sent)" \
        eval '[[ $sent_status == 1 && $sent == "NOT-DELIVERED (not encrypted):"* ]]' || return 1
    send_from_a 10.77.0.3 "To the peer"
    check "a line to the peer goes byte for byte, reported as without receipts ($sent_status: $sent)" \
        eval '[[ $sent_status == 0 && $sent == *"does not send receipts"* ]]' &&
        check "the peer got it once" within 5 1 4 PC1 'To the peer\r\n' || return 1
    send_from_a --broadcast "To everybody"
    check "a line to everybody is confirmed by B ($sent_status: $sent)" \
        eval '[[ $sent_status == 0 && $sent == "DELIVERED (not encrypted): Delivered to the one Kestrane host listed"* ]]' &&
        check "the peer got it once, byte for byte" within 5 1 4 PC1 'To everybody\r\n' || return 1
    check "30% of B's datagrams are lost, both ways" lossy_link 2 || return 1
    failures=$(for ((i = 0; i < 100; i += 10)); do send_lines_to_b $i; done)
    lost=$(lan_run 2 nft list table inet loss | awk '/packets/ {for (i = 1; i < NF; i++) if ($i == "packets") sum += $(i + 1)} END {print sum + 0}')
    check "with 30% loss both ways ($lost datagrams lost), 100 lines to B all report delivered" \
        eval '((lost > 30)) && shows "$failures" ""' || return 1
    log=$(log_of "$b")
    for ((i = 0; i < 100; i++)); do
        [[ $(grep -cxF "PC1 : Line $i over a lossy link" <<<"$log") == 1 ]] && once=$((once + 1))
    done
    check "B's log shows each of them exactly once ($once of 100)" test "$once" -eq 100
    lan_run 2 nft delete table inet loss
    # Three lines that come while B's person is away stay unread when B is killed.
    window=$(main_window "$b") && xdotool windowminimize --sync "$window" && wait_until 3 is_iconic "$window"
    for i in 1 2 3; do peer_send 3 10.77.0.2 4 PC3 "Unread $i\r\n"; done
    check "three lines come while B is minimized, and B stores them unread" wait_until 5 stored_unread 2 'Unread ' 3 || return 1
    kill -KILL "$b" && killed=$SECONDS
    send_from_a PC2.LAN.TEST "Are you still there?"
    check "after B is killed, the next line reports not delivered ($sent_status: $sent)" \
        eval '[[ $sent_status == 1 && $sent == "NOT-DELIVERED (encrypted, not verified): Not delivered"* ]]' &&
        check "within the 10 s deadline, a sanitizer's start aside ($((SECONDS - killed)) s)" \
            test $((SECONDS - killed)) -le 14 || return 1
    sleep $((61 - (SECONDS - killed)))
    send_from_a PC2.LAN.TEST "And now?"
    check "a minute after, A counts B as away ($sent)" eval '[[ $sent == *"is away"* ]]'
}

history_of() { echo "$(host_home "$1")/data/kestrane/history.db"; }
stored() { sqlite3 -readonly "$(history_of "$1")" "$2"; }
# Host N's copy stores the line TEXT, as it came or went, COUNT times.
stores() { [[ $(stored "$1" "SELECT count(*) FROM history WHERE text = '$3' || char(13, 10)") == "$2" ]]; }
# Host N's copy keeps COUNT lines starting with TEXT unread.
stored_unread() { [[ $(stored "$1" "SELECT count(*) FROM history WHERE unread AND text LIKE '$2%'") == "$3" ]]; }
# How host N's copy stands on a line TEXT it sent: "delivery|in outbox" is PATTERN.
sent_state_is() { [[ $(stored "$1" "SELECT delivery, in_outbox FROM history WHERE outgoing AND text = '$2' || char(13, 10)") == $3 ]]; }
unread_in_title() { [[ $(window_name "$(main_window "$1")") =~ ^Kestrane\ \(([0-9]+)\ unread\) ]] && ((BASH_REMATCH[1] >= $2)); }

# Lines from the peer to B, one every 50 ms, each with when it went in $1.
stream_to_b() {
    local i
    for ((i = 0; i < 60; i++)); do
        peer_send 3 10.77.0.2 4 PC3 "Stream $i\r\n" && echo "$i ${EPOCHREALTIME/./}" >>"$1"
        sleep 0.05
    done
}

step_11() {
    local kept="Kept for later" sent_at="$LAN_WORK/stream.times" streamer killed missing twice lossy
    lossy=$(stored 2 "SELECT count(DISTINCT text), count(*) FROM history WHERE text LIKE 'Line % over a lossy link%'")
    # A calls itself PC1 and B is dead since step 10. From A's log, three Tabs
    # go round to the roster, where typing chooses B; Send and the message line
    # are two Shift+Tabs back.
    panel_click Activate
    check "the panel shows A's window" wait_until 3 main_window_shown "$a" &&
        check "A's window takes the keyboard" focus_window "$(main_window "$a")" || return 1
    xdotool mousemove --window "$(main_window "$a")" 300 150 click 1 mousemove 1 1
    keys Tab Tab Tab && type_text PC2 && keys shift+Tab shift+Tab && type_text "$kept" && keys Return
    check "A sends B a line while B is dead, and stores it in its outbox" wait_until 5 sent_state_is 1 "$kept" '*|1' &&
        check "B stored each of the 100 lines of the lossy link once ($lossy)" test "$lossy" = "100|100" || return 1
    kill -KILL "$a"
    # From here A runs without a tray, as B does: restarted, both settle minimized.
    panel_down
    copy_start 2 && b=$COPY_PID
    check "restarted, B counts the lines it left unread" wait_until 10 unread_in_title "$b" 3 || return 1
    rm -f "$sent_at"
    stream_to_b "$sent_at" &
    streamer=$!
    sleep 2 && kill -KILL "$b" && killed=${EPOCHREALTIME/./}
    wait "$streamer"
    missing=$(while read -r i at; do
        ((killed - at > 1500000)) && ! stores 2 1 "Stream $i" && echo -n "$i "
    done <"$sent_at")
    twice=$(stored 2 "SELECT count(*) - count(DISTINCT text) FROM history")
    check "killed while lines came, B stored every line that came a second and a half before (missing: $missing)" \
        test -z "$missing" && check "and none twice ($twice)" test "$twice" -eq 0 || return 1
    copy_start 2 && b=$COPY_PID && copy_start 1 && a=$COPY_PID
    check "restarted, A sends the line from its outbox, and B stores it once" wait_until 20 stores 2 1 "$kept" &&
        check "A stores it as delivered late, out of the outbox" wait_until 5 sent_state_is 1 "$kept" '3|0' ||
        { echo "    (it stores $(stored 1 "SELECT delivery, in_outbox FROM history WHERE text LIKE '$kept%'"))" && return 1; }
}

screen_reader() { host_run 1 /usr/bin/python3 "$here/screen_reader.py" "$@"; }
# A screen reader reads A's window titled TITLE (a regex) as ROLE: TITLE, and a name for every control
# (listed, and kept in $read).
read_as() {
    read=$(screen_reader window "$a" "^$1\$") && sed 's/^/    (read) /' <<<"$read"
    [[ $(head -1 <<<"$read") =~ ^$2:\ $1$ ]] && ! grep -q ': $' <<<"$read"
}

# A under a screen reader; A's session bus starts the accessibility bus for it.
# dunst on A's session bus notes each notification it shows or updates, and
# takes Reply as the action of `dunstctl action`.
seen="$LAN_WORK/notifications.log"
notified_twice() { [[ $(grep -c ' PC3, to you$' "$seen") == 2 && $(sort -u "$seen" | wc -l) == 1 ]]; }
notifications_shown() { [[ $(host_run 1 dunstctl count displayed) == "$1" ]]; }

step_notify() {
    local rules="$LAN_WORK/dunstrc" bus_log="$LAN_WORK/notifications-bus.log" dialog reply="Seen it, PC3"
    local token=0123456789abcdef0123456789abcdef
    printf '#!/bin/sh\necho "$DUNST_ID $DUNST_SUMMARY" >>%s\n' "$seen" >"$rules.sh" && chmod +x "$rules.sh"
    printf '[seen]\nscript = %s\n[kestrane]\nappname = Kestrane\naction_name = reply\n' "$rules.sh" >"$rules"
    printf '[offer]\nappname = Kestrane\nsummary = "*offers files"\naction_name = decline\n' >>"$rules"
    host_spawn 1 dbus-monitor "interface='org.freedesktop.Notifications'" >"$bus_log" 2>&1
    host_spawn 1 dunst -config "$rules" >"$LAN_WORK/dunst.log" 2>&1
    check "A's window is out of sight" main_window_hidden "$a" &&
        check "dunst runs on A's bus, and A asks what it offers" \
            wait_until 5 grep -q member=GetCapabilities "$bus_log" || return 1
    sleep 0.5 # for the answer
    peer_send 3 10.77.0.1 4 PC3 'First for A\r\n' && peer_send 3 10.77.0.1 4 PC3 'Second for A\r\n'
    check "two lines from PC3 make one notification, updated in place" wait_until 5 notified_twice &&
        check "offering Reply and Open" grep -q 'string "Open"' "$bus_log" &&
        check "one notification is shown" notifications_shown 1 || return 1
    host_run 1 dunstctl action 0
    check "Reply on it opens A's message dialog on PC3's line" wait_until 5 shows_the_line "$a" &&
        check "the dialog takes the keyboard focus" focus_window "$dialog" || return 1
    type_text "$reply"
    keys Return # the dialog goes on to PC3's first line, which Esc leaves read
    focus_window "$dialog" && keys Escape
    check "the reply reaches PC3" within 5 1 4 PC1 "$reply\\r\\n" &&
        check "and the notification is withdrawn" wait_until 5 notifications_shown 0 || return 1
    # An offer of files while A is hidden: its notification's Decline answers it.
    peer_send 3 10.77.0.1 8 PC3 "FILES/1 OFFER $token 1 5 report.txt\r\n"
    check "an offer from PC3 gets a notification of its own" wait_until 5 grep -q ' PC3 offers files$' "$seen" &&
        check "offering Accept and Decline" grep -q 'string "Decline"' "$bus_log" || return 1
    host_run 1 dunstctl action 0
    check "Decline on it declines the offer to PC3" within 5 1 8 PC1 "FILES/1 DECLINE $token\\r\\n" &&
        check "and the notification is withdrawn" wait_until 5 notifications_shown 0
}

step_access() {
    local ready="$LAN_WORK/listening" listener window dialog read
    end_copy "$a" && sqlite3 "$(history_of 1)" "UPDATE history SET unread = 0" || return 1
    host_spawn 1 QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 "$KESTRANE" >>"$(host_home 1)/program.log" 2>&1
    a=$!
    check "A settles minimized" wait_until 10 eval 'window=$(main_window "$a") && is_iconic "$window"' &&
        check "its window is read as an application window, every control named" \
            wait_until 5 read_as 'Kestrane — PC1[.A-Z]*' frame || return 1
    rm -f "$ready"
    screen_reader announced "Unread line from PC3: Read me" "$ready" &
    listener=$!
    wait_until 5 test -e "$ready" && peer_send 3 10.77.0.1 4 PC3 'Read me\r\n'
    check "a line from PC3 is announced" wait "$listener" || return 1
    xdotool windowactivate --sync "$window" 2>/dev/null
    check "restored, A opens the line" wait_until 5 shows_the_line "$a" &&
        check "in a dialog read with every control named" read_as "Message to you from PC3" dialog &&
        check "its arrows read Newer line and Older line" \
            eval 'grep -qx "push button: Newer line" <<<"$read" && grep -qx "push button: Older line" <<<"$read"' &&
        check "Esc closes it" eval 'focus_window $dialog && keys Escape && wait_until 3 eval "! is_viewable $dialog"' || return 1
    # The line was seen in the dialog: Ctrl+U has nothing to open, and says so.
    rm -f "$ready"
    screen_reader announced "No unread lines" "$ready" &
    listener=$!
    wait_until 5 test -e "$ready" && focus_window "$window" && keys ctrl+u
    check "Ctrl+U in A's window, the line seen, says there is no unread line" wait "$listener"
}

# Wayland requests A made since line MARK of its log ($wayland_log, WAYLAND_DEBUG's record).
wayland_since() { tail -n +"$1" "$wayland_log" | grep "$2" >/dev/null; }

# A in a Wayland session: a headless Weston, no X display, and the panel of step 8 on its bus.
step_wayland() {
    local socket=wl-kestrane run token=kestrane-test-token mark chimes name weston
    local environment=(XDG_SESSION_TYPE=wayland WAYLAND_DISPLAY=$socket WAYLAND_DEBUG=1)
    wayland_log="$LAN_WORK/wayland.log"
    end_copy "$a" && check "the Xfce panel's status tray watches A's session bus again" panel_up || return 1
    host_environment 1
    run=$(host_home 1)/run
    for name in "${HOST_ENV[@]}"; do [[ $name == DISPLAY=* ]] || environment+=("$name"); done
    lan_spawn 1 env -i PATH="$PATH" XDG_RUNTIME_DIR="$run" weston --backend=headless-backend.so \
        --socket=$socket --idle-time=0 >"$LAN_WORK/weston.log" 2>&1
    weston=$!
    check "Weston runs headless in host 1" wait_until 10 test -S "$run/$socket" || return 1
    lan_spawn 1 env -i "${environment[@]}" "$KESTRANE" >"$wayland_log" 2>&1
    a=$!
    check "A is a Wayland client" wait_until 10 wayland_since 1 'wl_registry@[0-9]*\.bind([0-9]*, "wl_compositor"' &&
        check "and its icon an item on the panel" wait_until 10 panel_item "$a" || return 1
    sleep 1 # past the first timer tick, hidden in the panel
    check "its window is not made while it waits behind the item" eval '! wayland_since 1 xdg_toplevel@' || return 1
    chimes=$(find "$(host_home 1)" -name 'sound.wav*' | wc -l)
    mark=$(($(wc -l <"$panel_log") + 1))
    peer_send 3 10.77.0.1 4 PC3 'On Wayland\r\n'
    check "a line from PC3 chimes" wait_until 5 chimes_at_least 1 $((chimes + 1)) &&
        check "and makes the icon blink" wait_until 5 blinks_since "$mark" || return 1
    mark=$(($(wc -l <"$wayland_log") + 1))
    lan_run 1 env -i "${environment[@]}" XDG_ACTIVATION_TOKEN=$token "$KESTRANE"
    check "a second start with an activation token ends with status 1 ($?)" test $? -eq 1 &&
        check "and brings A's window up, an xdg_toplevel titled Kestrane" wait_until 5 wayland_since "$mark" 'xdg_toplevel@[0-9]*\.set_title("Kestrane' || return 1
    # Weston 10 offers no xdg_activation_v1: then Qt cannot hand the token on.
    if grep -q '"xdg_activation_v1"' "$wayland_log"; then
        check "with the token for the compositor" wait_until 3 wayland_since "$mark" "activate(\"$token\""
    fi
    end_copy "$a"
    { kill "$weston" && wait "$weston"; } 2>/dev/null
    panel_down
    check "A ends cleanly ($STATUS)" test "$STATUS" -eq 0
}

desktop_up "$LAN_WORK/desktop" || exit 1
host_prepare 1
host_prepare 2
host_bus_up 1 || exit 1
peer_record 3 "$peer_log" || exit 1
echo "display $DISPLAY; screenshots in $artifacts"

step 1 "both copies start, A for the first time with its window up, B in the tray; the peer sees both hellos"
step 2 "a left click shows A; a line typed there goes to everybody once; B, hidden, chimes"
step 3 "a right click on B's icon opens the line; a reply goes to A alone"
step 4 "A sends a line to B alone, chosen in the roster"
step talk "A reads its conversation with B and answers B from it"
step files "A sends B a file through its window; B accepts it"
step verify "A and B compare codes; B gets a new key, A warns, and accepting it restores the conversation"
step 5 "A's close button asks; A keeps running in the tray, then quits as the person chose"
step 6 "a create call on A's session bus starts A; a start by hand shows it, options do not; its close button only hides it"
step 7 "with a dead name server A starts, reaches B and ends at once; B, under nohup, outlives a hangup; with no network A ends during its box"
step 8 "on a StatusNotifierItem panel A's icon shows the window, blinks and opens lines"
step 9 "without a tray, under a window manager, B minimizes; restored, it opens an unread line"
step 10 "A's lines to B are confirmed, on a lossy link too, each shown once; killed, B is not delivered to, then away"
step 11 "killed, both keep what they showed; unread lines and the outbox come back at the next start"
step notify "a line while A is hidden: one notification per sender, updated; Reply on it answers the line; Decline on an offer's declines it"
step access "a screen reader reads A's windows, hears a new line, and Ctrl+U opens it"
step wayland "in a Wayland session A is a Wayland client with an item on the panel; a second start brings it forward"

if ((${#failed_steps[@]})); then
    for log in "$LAN_WORK"/h[12]/*.log; do name=${log#"$LAN_WORK"/} && cp "$log" "$artifacts/${name/\//-}"; done
    cp "$peer_log" "$LAN_WORK/automation.log" "$LAN_WORK/wayland.log" "$artifacts/" 2>/dev/null
    echo "failed steps: ${failed_steps[*]}; screenshots and logs in $artifacts"
fi
tally e2e && ((${#failed_steps[@]} == 0))
