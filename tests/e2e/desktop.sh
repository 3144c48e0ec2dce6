# A desktop for copies of Kestrane on the virtual LAN, sourced after
# tests/lan/virtual-lan.sh by the end-to-end test and the demo: an X display
# with a tray (desktop_up WORK, or desktop_use WORK for the current DISPLAY;
# desktop_down), and the ways a user reaches the program's windows. Copies
# reach the display through its socket file, so X needs no network.

DESKTOP_PIDS=()

# An Xvfb in another namespace does not see this one's abstract socket, and
# with -displayfd it takes no lock file: it took the first display number,
# replaced the socket file of the Xvfb already there, and two runs then typed
# into each other's windows. A number given on the command line is locked, and
# a clash makes Xvfb end at once. From 10 up: -displayfd servers take :0.
# xvfb_up GEOMETRY LOG: an Xvfb with a screen of GEOMETRY on a display of its
# own, XVFB_DISPLAY.
xvfb_up() {
    local try
    for ((try = 0; try < 50; try++)); do
        XVFB_DISPLAY=":$((10 + RANDOM % 990))"
        [[ -e /tmp/.X11-unix/X${XVFB_DISPLAY#:} ]] && continue
        ip netns exec "${LAN_PREFIX}br" Xvfb "$XVFB_DISPLAY" -screen 0 "$1" -nolisten tcp >>"$2" 2>&1 &
        DESKTOP_PIDS+=($!)
        wait_until 10 eval 'gone $! || DISPLAY=$XVFB_DISPLAY xdpyinfo >/dev/null 2>&1'
        gone "$!" || return 0
    done
    return 1
}

desktop_up() {
    local bridge="${LAN_PREFIX}br" try
    mkdir -p "$1"
    xvfb_up 1280x1024x24 "$1/xvfb.log"
    export DISPLAY=$XVFB_DISPLAY
    for try in 1 2 3; do
        # Its own bus kept away: with a StatusNotifier watcher there Qt would not use XEmbed.
        ip netns exec "$bridge" env DISPLAY="$DISPLAY" DBUS_SESSION_BUS_ADDRESS=disabled: trayer --edge bottom \
            --align right --widthtype request --height 32 --transparent false >>"$1/trayer.log" 2>&1 &
        DESKTOP_PIDS+=($!) DESKTOP_TRAY=$!
        wait_until 10 tray_settled "$!"
        ! gone "$!" && tray_panel_shown && return 0
    done
    echo "no display with a tray: $(cat "$1"/*.log)" >&2
    return 1
}

tray_panel_shown() { xdotool search --classname '^panel$' >/dev/null 2>&1; }
tray_settled() { gone "$1" || tray_panel_shown; }
desktop_use() { mkdir -p "$1"; }

# A bare wait would wait for every child: only with pids to end.
desktop_down() { ((${#DESKTOP_PIDS[@]} == 0)) || { kill "${DESKTOP_PIDS[@]}"; wait "${DESKTOP_PIDS[@]}"; } 2>/dev/null; }

# The tray goes and a window manager comes: IceWM, with a taskbar but no tray of
# its own, that will not minimize a dialog, as many do not. Without one,
# windows are found by their parents: a step that needs it comes last.
desktop_window_manager() {
    { kill "$DESKTOP_TRAY" && wait "$DESKTOP_TRAY"; } 2>/dev/null
    mkdir -p "$1/.icewm" && echo TaskBarEnableSystemTray=0 >"$1/.icewm/preferences"
    ip netns exec "${LAN_PREFIX}br" env DISPLAY="$DISPLAY" HOME="$1" icewm >"$1/icewm.log" 2>&1 &
    DESKTOP_PIDS+=($!)
    wait_until 10 eval 'xprop -root _NET_SUPPORTING_WM_CHECK | grep "window id" >/dev/null'
}

# Windows are found by the _NET_WM_PID of the copy that made them.
windows_of() { xdotool search --pid "$1" 2>/dev/null; }
# A window manager puts top-level windows in frames of its own, and marks them.
is_top_level() { xwininfo -id "$1" -tree 2>/dev/null | grep 'Parent window id: .*(the root window)' >/dev/null ||
    xprop -id "$1" WM_STATE 2>/dev/null | grep 'window state' >/dev/null; }
is_iconic() { xprop -id "$1" WM_STATE 2>/dev/null | grep 'window state: Iconic' >/dev/null; }
is_viewable() { [[ -n $1 ]] && xwininfo -id "$1" 2>/dev/null | grep 'Map State: IsViewable' >/dev/null; }
window_name() { xdotool getwindowname "$1" 2>/dev/null; }

# The top-level window of copy PID whose name matches the regex NAME.
window_named() {
    local window
    for window in $(windows_of "$1"); do
        [[ $(window_name "$window") =~ $2 ]] && is_top_level "$window" && echo "$window" && return 0
    done
    return 1
}
main_window() { window_named "$1" '^Kestrane( \([0-9]+ unread\))?( — .+)?$'; }

# With no window manager, the only window of the program whose parent is not
# the root window is the icon the tray embedded.
tray_icon() {
    local window
    for window in $(windows_of "$1"); do
        is_top_level "$window" || { echo "$window" && return 0; }
    done
    return 1
}

# Settled: the main window unmapped and the icon in the tray.
in_tray() { main_window_hidden "$1" && is_viewable "$(tray_icon "$1")"; }
main_window_shown() { is_viewable "$(main_window "$1")"; }
# Behind a tray the window is made only when first shown: a running copy
# without one is hidden too.
main_window_hidden() {
    local window
    kill -0 "$1" 2>/dev/null || return 1
    window=$(main_window "$1") || return 0
    ! is_viewable "$window"
}
no_windows() { [[ -z $(windows_of "$1") ]]; }

# Clicks the tray icon of copy PID with BUTTON (1 left, 3 right), then moves
# the pointer away so no tip covers the icon.
click_icon() {
    local icon
    icon=$(tray_icon "$1") || return 1
    xdotool mousemove --window "$icon" 11 15 click "$2" mousemove 1 1
}

# Qt needs a moment to activate the window before keys reach it.
focus_window() {
    xdotool windowfocus --sync "$1" 2>/dev/null || return 1
    sleep 0.4
    [[ $(xdotool getwindowfocus 2>/dev/null) == "$1" ]]
}

place_window() { xdotool windowmove --sync "$1" "$2" "$3" 2>/dev/null; }
keys() { xdotool key --delay 60 "$@"; }
type_text() { xdotool type --delay 25 -- "$1"; }

# Selects the whole text of the focused control, copies it and prints it. A
# placeholder owns the clipboard first, so a copy that did not happen shows
# as the placeholder, never as an older copy.
copy_focused_text() {
    printf '%s' '<nothing copied>' | xclip -quiet -selection clipboard -i >/dev/null 2>&1 &
    local placeholder=$!
    sleep 0.2
    keys ctrl+a ctrl+c
    sleep 0.3
    timeout 5 xclip -o -selection clipboard 2>/dev/null
    { kill "$placeholder" && wait "$placeholder"; } 2>/dev/null
}
