#!/bin/bash
# Kestrane used as a person uses it: two copies in real windows with a real
# tray on one X display, in two hosts of a virtual LAN, a protocol peer in a
# third, and every step driven through the tray icons, the keyboard and the
# close button. Sound goes to files through ALSA and is checked for the chime.
#   e2e_test.sh PROGRAM ARTIFACTS
# Screenshots of every step stay in ARTIFACTS (with the logs when a step
# fails). Exits 77 (skipped) unless root with the tools, 1 when a step fails.
set -uo pipefail

program=$(realpath "$1")
artifacts=$(realpath -m "$2")
here=$(dirname "$(realpath "$0")")
lan=$(realpath "$here/../lan")
python=/usr/bin/python3
source "$lan/virtual-lan.sh"
source "$here/desktop.sh"
KESTRANE=$program

missing=()
for tool in Xvfb trayer xdotool xclip xwininfo import dbus-run-session; do
    command -v "$tool" >/dev/null || missing+=("$tool")
done
$python -c 'import dbus' 2>/dev/null || missing+=(python3-dbus)
if ! lan_available; then
    echo "skipped: a virtual LAN needs root, ip and unshare"
    exit 77
fi
if ((${#missing[@]} > 0)); then
    echo "skipped: missing ${missing[*]} (scripts/install-deps installs them)"
    exit 77
fi

work=$(mktemp -d)
rm -f "$artifacts"/*.png "$artifacts"/*.log
mkdir -p "$artifacts"
LAN_PREFIX="kste2e$$"
lan_up 3
# The copies go before their display does.
teardown() {
    lan_down
    desktop_down
    rm -rf "$work"
}
trap teardown EXIT

peer_log="$work/peer.log"
# DATAGRAM is TYPE NAME TEXT, as chat_peer.py takes them.
peer_saw() { "$python" "$lan/chat_peer.py" expect "$peer_log" "$@" 5; }
peer_count() { "$python" "$lan/chat_peer.py" count "$peer_log" "$@"; }
peer_saw_exactly() {
    local times=$1
    shift
    local seen
    seen=$(peer_count "$@")
    [[ $seen -eq $times ]] || {
        echo "    (the peer saw it $seen times)"
        return 1
    }
}

shot_number=0
shot() {
    shot_number=$((shot_number + 1))
    import -window root "$artifacts/$(printf '%02d' "$shot_number")-$1.png" 2>/dev/null
}

# One check of a step: prints it, and says what went wrong when it fails.
verify() {
    local description=$1
    shift
    if "$@"; then
        echo "  ok: $description"
    else
        echo "  NOT SO: $description"
        return 1
    fi
}

passed=0
failed=0
failed_steps=()
step() {
    local number=$1 title=$2 body=$3
    echo "step $number: $title"
    if "$body"; then
        passed=$((passed + 1))
        shot "step$number-done"
    else
        failed=$((failed + 1))
        failed_steps+=("$number")
        echo "FAILED: step $number ($title)"
        shot "step$number-FAILED"
    fi
}

# The text a copy's chat log shows, read through the clipboard.
log_of() {
    local window
    window=$(main_window "$1") || return 1
    focus_window "$window" || return 1
    # The log fills the upper part of the window: a click there focuses it.
    xdotool mousemove --window "$window" 300 150 click 1 mousemove 1 1
    copy_focused_text
    # A second click clears the selection again, as a user's would.
    xdotool mousemove --window "$window" 300 150 click 1 mousemove 1 1
}

log_holds() {
    local log
    log=$(log_of "$1")
    [[ $log == *"$2"* ]] || {
        echo "    (the log shows: $(printf '%q' "$log"))"
        return 1
    }
}

chime_files() { find "$(host_home "$1")" -maxdepth 1 -name 'sound.wav*' | wc -l; }
chimes_at_least() { (($(chime_files "$1") >= $2)); }

# Waits at most SECONDS for child PID to end; STATUS is then its exit status,
# or 255 when it did not end.
await_status() {
    STATUS=255
    wait_until "$2" gone "$1" || return 0
    wait "$1"
    STATUS=$?
}

line_to_all="Hello everybody, this is A"
reply_text="Thanks A, B here"
line_to_b="Only for B"
line_unresolved="Found you without a name server"
leaving='***Leaveing channel'

step_1() {
    local start_file="$work/start" times
    "$python" "$here/x11_window.py" settle "$start_file" 10 >"$work/settle" &
    local watcher=$!
    wait_until 20 test -e "$start_file.ready"
    local started
    started=$(date +%s%N)
    copy_start 1
    a=$COPY_PID
    copy_start 2
    b=$COPY_PID
    echo "$started $a $b" >"$start_file.new" && mv "$start_file.new" "$start_file"
    wait "$watcher"
    read -ra times <"$work/settle"
    times+=(-1 -1)
    sleep 1 # past the first timer tick, which makes the settled window count as hidden
    shot both-in-tray
    steady_b=$("$python" "$here/x11_window.py" digest "$(tray_icon "$b")" 2>/dev/null)
    local ok=0
    verify "A settled into the tray, its window unmapped, in ${times[0]} ms (at most 2000)" \
        test "${times[0]}" -ge 0 -a "${times[0]}" -le 2000 || ok=1
    verify "B settled into the tray, its window unmapped, in ${times[1]} ms (at most 2000)" \
        test "${times[1]}" -ge 0 -a "${times[1]}" -le 2000 || ok=1
    verify "two icons in the tray" test "$(tray_icon "$a")" != "$(tray_icon "$b")" || ok=1
    verify "the peer saw A's hello byte for byte" peer_saw 1 PC1.LAN.TEST ILIVE || ok=1
    verify "the peer saw B's hello byte for byte" peer_saw 1 PC2.LAN.TEST ILIVE || ok=1
    return $ok
}

step_2() {
    local window
    click_icon "$a" 1
    verify "a left click on A's icon shows its window" wait_until 3 main_window_shown "$a" ||
        return 1
    window=$(main_window "$a")
    place_window "$window" 16 16
    verify "A's window takes the keyboard focus" focus_window "$window" || return 1
    # The focus starts on the roster; one Tab reaches the message line, and
    # six Tabs go round the six controls back to it (Tab selects its text, End keeps it).
    keys Tab
    type_text "${line_to_all%%,*}"
    keys Tab Tab Tab Tab Tab Tab End
    type_text ",${line_to_all#*,}"
    shot a-typing
    keys Return
    verify "the peer got the line by broadcast, byte for byte" \
        peer_saw 4 PC1.LAN.TEST "$line_to_all\\r\\n" || return 1
    sleep 1
    verify "Enter sent it once" peer_saw_exactly 1 4 PC1.LAN.TEST "$line_to_all\\r\\n" || return 1
    verify "B got it (it chimed)" wait_until 5 chimes_at_least 2 1 || return 1
    # From the message line, four Tabs reach the log (Hide, Send, Help, log).
    keys Tab Tab Tab Tab
    local log
    log=$(copy_focused_text)
    verify "A's log holds the sent line" \
        test "$log" == "Sent BROADCAST message : $line_to_all" || {
        echo "    (the log shows: $(printf '%q' "$log"))"
        return 1
    }
    verify "A, visible, did not chime" test "$(chime_files 1)" -eq 0
}

step_3() {
    local chime
    chime="$(host_home 2)/sound.wav"
    sleep 0.5 # the chime is written as it plays
    verify "B, hidden, chimed 300, 500 and 800 Hz" "$python" "$lan/chime_check.py" "$chime" ||
        return 1
    verify "B's window stayed hidden" main_window_hidden "$b" || return 1
    verify "B's icon blinks: steady and blink images alternate every 500 ms" \
        "$python" "$here/x11_window.py" blink "$(tray_icon "$b")" "$steady_b" 3.2
}

step_4() {
    local dialog
    click_icon "$b" 3
    if ! wait_until 5 visible_window_named "$b" '^Message from' >/dev/null; then
        echo "  NOT SO: a right click on B's icon opens the message dialog"
        echo "    (no window of B's titled \"Message from ...\" appeared: is the message"
        echo "    dialog wired to the icon's right click?)"
        return 1
    fi
    dialog=$(visible_window_named "$b" '^Message from')
    verify "the dialog is titled after A" \
        test "$(window_name "$dialog")" == "Message from PC1.LAN.TEST" || return 1
    verify "the dialog takes the keyboard focus" focus_window "$dialog" || return 1
    # The focus starts on the reply line; Shift+Tab goes back to the message
    # text, the last control.
    keys shift+Tab
    local text
    text=$(copy_focused_text)
    verify "it shows the newest line, the one A sent" test "${text%$'\n'}" == ">$line_to_all" || {
        echo "    (the dialog shows: $(printf '%q' "$text"))"
        return 1
    }
    # A click in the text clears the selection the copy made; Tab goes on from
    # there, the last control, round to the reply line.
    xdotool mousemove --window "$dialog" 300 70 click 1 mousemove 1 1
    keys Tab
    type_text "$reply_text"
    import -window "$dialog" "$artifacts/message-dialog.png"
    shot b-replying
    keys Return
    verify "Enter sent the reply and closed the dialog" \
        wait_until 5 bash -c "! xwininfo -id $dialog 2>/dev/null | grep -q IsViewable" || return 1
    verify "B's window stayed hidden" main_window_hidden "$b" || return 1
    sleep 1
    verify "the reply went to A alone (the peer saw nothing)" \
        peer_saw_exactly 0 4 PC2.LAN.TEST "$reply_text\\r\\n" || return 1
    verify "A's log shows B's reply" log_holds "$a" "PC2.LAN.TEST : $reply_text"
}

step_5() {
    local window
    window=$(main_window "$a")
    verify "A's window takes the keyboard focus" focus_window "$window" || return 1
    # The log has the focus: Tab wraps round to the roster, End chooses its
    # last entry (B, the only host listed), Tab goes on to the message line.
    keys Tab End Tab
    type_text "$line_to_b"
    keys Return
    verify "B got the line (it chimed again)" wait_until 5 chimes_at_least 2 2 || return 1
    sleep 0.5
    verify "the peer did not see it" peer_saw_exactly 0 4 PC1.LAN.TEST "$line_to_b\\r\\n" ||
        return 1
    verify "A's log says it went to B" log_holds "$a" "Sent to PC2.LAN.TEST: $line_to_b" || return 1
    import -window "$(main_window "$a")" "$artifacts/main-window.png"
    click_icon "$b" 1
    verify "a left click on B's icon shows its window" wait_until 3 main_window_shown "$b" ||
        return 1
    place_window "$(main_window "$b")" 640 560
    verify "B's log shows A's line" log_holds "$b" "PC1.LAN.TEST : $line_to_b"
}

# In B: chooses the last roster entry and sends LINE. Only B's own name and
# broadcast are possible targets the peer can see.
b_sends_to_last_entry() {
    local window
    window=$(main_window "$b")
    focus_window "$window" || return 1
    # The log has the focus after log_of.
    keys Tab End Tab
    type_text "$1"
    keys Return
}

step_6() {
    local window status
    b_sends_to_last_entry "Still there, A?"
    verify "B's roster lists A (its last entry sends to A)" \
        log_holds "$b" "Sent to PC1.LAN.TEST: Still there, A?" || return 1
    window=$(main_window "$a")
    "$python" "$here/x11_window.py" close "$window"
    await_status "$a" 5
    verify "A's close button ended it with status 0" test "$STATUS" -eq 0 || return 1
    verify "the peer saw A's leaving notice" peer_saw 7 PC1.LAN.TEST "$leaving" || return 1
    verify "A's tray icon is gone" no_windows "$a" || return 1
    b_sends_to_last_entry "Gone, A?"
    verify "B's roster no longer lists A (its last entry is the broadcast)" \
        peer_saw 4 PC2.LAN.TEST 'Gone, A?\r\n' || return 1

    copy_start 1
    a=$COPY_PID
    verify "a second start of A settles into the tray" wait_until 10 in_tray "$a" || return 1
    verify "and says hello again" \
        wait_until 5 peer_saw_exactly 2 1 PC1.LAN.TEST ILIVE || return 1
    status=0
    host_run 1 timeout 20 "$KESTRANE" >>"$(host_home 1)/program.log" 2>&1 || status=$?
    verify "a start while A runs ends with status 1" test "$status" -eq 1 || return 1
    sleep 0.5
    verify "without a hello" peer_saw_exactly 2 1 PC1.LAN.TEST ILIVE
}

step_7() {
    local pid_file="$work/automation.pid" go_file="$work/automation.go"
    kill -TERM "$a"
    await_status "$a" 5
    verify "SIGTERM ended A with status 0" test "$STATUS" -eq 0 || return 1
    verify "and its leaving notice" wait_until 5 peer_saw_exactly 2 7 PC1.LAN.TEST "$leaving" ||
        return 1

    host_environment 1
    lan_spawn 1 env -i "${HOST_ENV[@]}" "$python" "$here/automation_client.py" "$pid_file" \
        "$go_file" >"$work/automation.log" 2>&1
    local client=$!
    if ! wait_until 20 test -s "$pid_file"; then
        echo "  NOT SO: a create call on A's session bus activates a fresh A"
        echo "    (the client said: $(cat "$work/automation.log"))"
        echo "    (activation file: $(cat "$(host_home 1)"/data/dbus-1/services/* 2>&1))"
        return 1
    fi
    local automated
    automated=$(cat "$pid_file")
    verify "a create call on A's session bus started A with -Automation" \
        grep -qx -- -Automation <(tr '\0' '\n' <"/proc/$automated/cmdline") || return 1
    verify "in A's host" test "$(ip netns identify "$automated")" == "$(lan_namespace 1)" ||
        return 1
    verify "it settles into the tray and says hello" \
        wait_until 10 in_tray "$automated" || return 1
    verify "and says hello" wait_until 5 peer_saw_exactly 3 1 PC1.LAN.TEST ILIVE || return 1
    # Until the first timer tick (500 ms after the window is made) the window
    # is not yet hidden by the program's own count, and a click only brings it
    # forward without showing it: a user's click comes later than that.
    sleep 1
    click_icon "$automated" 1
    verify "a left click shows its window" wait_until 3 main_window_shown "$automated" || return 1
    "$python" "$here/x11_window.py" close "$(main_window "$automated")"
    verify "its close button only hides it" wait_until 3 main_window_hidden "$automated" || return 1
    sleep 1
    verify "it still runs" eval '! gone "$automated"' || return 1
    verify "without a leaving notice" peer_saw_exactly 2 7 PC1.LAN.TEST "$leaving" || return 1
    touch "$go_file"
    await_status "$client" 10
    verify "the client released the object" test "$STATUS" -eq 0 || {
        cat "$work/automation.log"
        return 1
    }
    verify "releasing the object ended it" wait_until 10 gone "$automated" || return 1
    verify "with its leaving notice" wait_until 5 peer_saw_exactly 3 7 PC1.LAN.TEST "$leaving" ||
        return 1
    verify "and its icon is gone" no_windows "$automated"
}

# A signal ends a copy within 1 s; a sanitizer build, many times slower, is
# given 5 s.
signal_bound=1
ldd "$program" | grep -qE 'lib[at]san' && signal_bound=5

# Ends A with SIGTERM; STATUS is its exit status, or 255 when it had not ended
# within the bound.
terminate_a() {
    kill -TERM "$a"
    await_status "$a" "$signal_bound"
}

a_terminated_after() {
    copy_start 1
    a=$COPY_PID
    sleep "$1"
    terminate_a
}

step_8() {
    lan_dead_resolver 1
    copy_start 1
    a=$COPY_PID
    verify "with a name server that never answers, A says hello within 2 s" \
        wait_until 2 peer_saw_exactly 4 1 PC1.LAN.TEST ILIVE || return 1
    verify "it settles into the tray" wait_until 10 in_tray "$a" || return 1
    sleep 1 # past the first timer tick
    click_icon "$a" 1
    verify "a left click shows A's window" wait_until 3 main_window_shown "$a" || return 1
    focus_window "$(main_window "$a")" || return 1
    # The focus starts on the roster: End chooses its last entry, B, which
    # answered A's hello; Tab goes on to the message line.
    keys End Tab
    type_text "$line_unresolved"
    keys Return
    verify "B got the line, sent where B spoke from" \
        wait_until 5 log_holds "$b" "PC1.LAN.TEST : $line_unresolved" || return 1
    verify "the peer did not see it" \
        peer_saw_exactly 0 4 PC1.LAN.TEST "$line_unresolved\\r\\n" || return 1
    terminate_a
    verify "SIGTERM ended A within 1 s with status 0" test "$STATUS" -eq 0 || return 1
    verify "with its leaving notice" \
        wait_until 5 peer_saw_exactly 4 7 PC1.LAN.TEST "$leaving" || return 1

    a_terminated_after 1
    verify "SIGTERM 1 s after start ended A within 1 s with status 0" test "$STATUS" -eq 0 ||
        return 1
    verify "with its leaving notice" \
        wait_until 5 peer_saw_exactly 5 7 PC1.LAN.TEST "$leaving" || return 1

    # Now only the dead name server could give A's full name: A waits for it
    # about a second, then calls itself by its host name.
    lan_forget_name 1
    copy_start 1
    a=$COPY_PID
    verify "a host unknown to its hosts file says hello by its host name within 2 s" \
        wait_until 2 peer_saw_exactly 1 1 PC1 ILIVE || return 1
    terminate_a
    verify "SIGTERM ended it within 1 s with status 0" test "$STATUS" -eq 0 || return 1
    verify "with its leaving notice" wait_until 5 peer_saw_exactly 1 7 PC1 "$leaving" || return 1
    a_terminated_after 0.5
    verify "SIGTERM while it waits for its name ends it within 1 s with status 0" \
        test "$STATUS" -eq 0 || return 1
    verify "without a word on the wire, since it had not said hello" \
        peer_saw_exactly 1 1 PC1 ILIVE
}

desktop_up "$work/desktop" || exit 1
for host in 1 2; do
    host_prepare "$host"
    host_bus_up "$host" || exit 1
done
lan_spawn 3 "$python" "$lan/chat_peer.py" record "$peer_log"
wait_until 5 test -s "$peer_log" || exit 1
echo "display $DISPLAY; screenshots in $artifacts"

step 1 "both copies start and settle into the tray; the peer sees both hellos" step_1
step 2 "a left click shows A; a line typed there goes to everybody once" step_2
step 3 "B, hidden, chimes and its icon blinks" step_3
step 4 "a right click on B's icon opens the line; a reply goes to A alone" step_4
step 5 "A sends a line to B alone, chosen in the roster" step_5
step 6 "A's close button ends it; A starts again, once" step_6
step 7 "a create call on A's session bus starts A for automation" step_7
step 8 "with a dead name server A starts, reaches B and ends at once" step_8

if ((failed > 0)); then
    for host in 1 2; do
        for file in "$(host_home "$host")"/*.log; do
            [[ -f $file ]] && cp "$file" "$artifacts/h$host-$(basename "$file")"
        done
    done
    cp "$peer_log" "$work/automation.log" "$artifacts/" 2>/dev/null
    echo "failed steps: ${failed_steps[*]}; screenshots and logs in $artifacts"
fi
echo "e2e: $passed passed, $failed failed"
((failed == 0))
