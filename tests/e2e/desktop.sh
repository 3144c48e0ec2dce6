# A desktop for copies of Kestrane on the virtual LAN, to be sourced after
# tests/lan/virtual-lan.sh by the end-to-end test and the demo: one X display
# with a tray, a session bus and a HOME per test host, and the ways a user
# reaches the program's windows (tray icon clicks, keys, the clipboard).
#
#   desktop_up WORK              Xvfb on a free display and trayer, both in the
#                                bridge's namespace; exports DISPLAY
#   desktop_use WORK             the current DISPLAY instead (the demo)
#   host_prepare N               host N's HOME, XDG folders, ALSA output to files
#   host_bus_up N                a session bus of host N's own, inside host N
#   copy_start N [ARGS]          Kestrane in host N; COPY_PID names it
#   desktop_down                 ends what desktop_up started
#
# Copies find the display through its socket file, so X needs no network.
# Everything here runs as root; the processes started live in the test
# namespaces, where lan_down ends them, or are ended here by pid.

DESKTOP_WORK=""
DESKTOP_PIDS=()
KESTRANE=${KESTRANE:-}

# Polls CMD every 100 ms for at most SECONDS (a decimal); true as soon as CMD is.
wait_until() {
    local deadline
    deadline=$(($(date +%s%N) + $(awk -v s="$1" 'BEGIN { printf "%d", s * 1e9 }')))
    shift
    until "$@"; do
        (($(date +%s%N) >= deadline)) && return 1
        sleep 0.1
    done
    return 0
}

desktop_up() {
    DESKTOP_WORK=$1
    mkdir -p "$DESKTOP_WORK"
    local bridge="${LAN_PREFIX}br" display_file="$DESKTOP_WORK/display"
    # -displayfd picks a display number nobody uses and says it once ready.
    ip netns exec "$bridge" Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp \
        3>"$display_file" >"$DESKTOP_WORK/xvfb.log" 2>&1 &
    DESKTOP_PIDS+=($!)
    wait_until 10 test -s "$display_file" || {
        echo "Xvfb did not start: $(cat "$DESKTOP_WORK/xvfb.log")" >&2
        return 1
    }
    DISPLAY=":$(head -n 1 "$display_file")"
    export DISPLAY
    wait_until 10 xdpyinfo_quiet || {
        echo "Xvfb on $DISPLAY does not answer: $(cat "$DESKTOP_WORK/xvfb.log")" >&2
        return 1
    }
    for _ in 1 2 3; do
        # Its own bus kept away: with a StatusNotifier watcher there Qt would not use XEmbed.
        ip netns exec "$bridge" env DISPLAY="$DISPLAY" DBUS_SESSION_BUS_ADDRESS=disabled: \
            trayer --edge bottom --align right --widthtype request --height 32 \
            --transparent false >>"$DESKTOP_WORK/trayer.log" 2>&1 &
        local trayer=$!
        DESKTOP_PIDS+=("$trayer")
        wait_until 10 tray_settled "$trayer"
        ! gone "$trayer" && tray_panel_shown && return 0
    done
    echo "trayer did not start: $(cat "$DESKTOP_WORK/trayer.log")" >&2
    return 1
}

xdpyinfo_quiet() { xdpyinfo >/dev/null 2>&1; }

tray_panel_shown() { xdotool search --classname '^panel$' >/dev/null 2>&1; }
# Trayer PID has shown its panel, or has ended.
tray_settled() { gone "$1" || tray_panel_shown; }

# A process that has ended, even if its parent has not reaped it yet.
gone() {
    local state
    state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) || return 0
    [[ $state == Z ]]
}

desktop_use() {
    DESKTOP_WORK=$1
    mkdir -p "$DESKTOP_WORK"
}

desktop_down() {
    local pid
    for pid in "${DESKTOP_PIDS[@]}"; do
        kill "$pid" 2>/dev/null
    done
    for pid in "${DESKTOP_PIDS[@]}"; do
        wait "$pid" 2>/dev/null
    done
    DESKTOP_PIDS=()
    return 0
}

host_home() { echo "$DESKTOP_WORK/h$1"; }

# A HOME whose ALSA output goes to files: each chime opens the device once, so
# it writes sound.wav, then sound.wav.0001, ... (with truncate false).
host_prepare() {
    local home
    home=$(host_home "$1")
    mkdir -p "$home/run" "$home/data/dbus-1/services" "$home/config"
    chmod 700 "$home/run"
    if [[ ${2:-} != real-sound ]]; then
        cat >"$home/.asoundrc" <<ALSA
pcm.!default { type file slave.pcm "null" file "$home/sound.wav" format "wav" truncate false }
ALSA
    fi
}

# The environment of everything that runs in host N: nothing leaks in from the
# caller but the display and the sanitizers' settings.
host_environment() {
    local home
    home=$(host_home "$1")
    HOST_ENV=(PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
        HOME="$home" XDG_RUNTIME_DIR="$home/run" XDG_DATA_HOME="$home/data"
        XDG_CONFIG_HOME="$home/config" DISPLAY="$DISPLAY" LANG=C.UTF-8)
    local name
    for name in XAUTHORITY ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS TSAN_OPTIONS; do
        [[ -n ${!name:-} ]] && HOST_ENV+=("$name=${!name}")
    done
    if [[ -f $home/bus.address ]]; then
        HOST_ENV+=(DBUS_SESSION_BUS_ADDRESS="$(cat "$home/bus.address")")
    else
        HOST_ENV+=(DBUS_SESSION_BUS_ADDRESS=disabled:)
    fi
}

# A session bus that outlives the copies of host N, so that it can start one
# through the activation file. It runs in host N, under its host name, and
# what it starts inherits the host's environment.
host_bus_up() {
    local index=$1 home
    home=$(host_home "$index")
    rm -f "$home/bus.address"
    host_environment "$index"
    lan_spawn "$index" env -i "${HOST_ENV[@]}" dbus-run-session -- \
        sh -c 'echo "$DBUS_SESSION_BUS_ADDRESS" >"$0.new" && mv "$0.new" "$0" && exec sleep infinity' \
        "$home/bus.address" >"$home/bus.log" 2>&1
    wait_until 10 test -s "$home/bus.address" || {
        echo "host $index's session bus did not start: $(cat "$home/bus.log")" >&2
        return 1
    }
}

# Starts the program in host N with ARGS; COPY_PID is its pid, a child of this shell.
copy_start() {
    local index=$1
    shift
    host_environment "$index"
    lan_spawn "$index" env -i "${HOST_ENV[@]}" "$KESTRANE" "$@" \
        >>"$(host_home "$index")/program.log" 2>&1
    COPY_PID=$!
}

# Runs CMD in host N with the host's environment, in the foreground.
host_run() {
    local index=$1
    shift
    host_environment "$index"
    lan_run "$index" env -i "${HOST_ENV[@]}" "$@"
}

# --- windows ---------------------------------------------------------------

# The windows that process PID made (by _NET_WM_PID).
windows_of() { xdotool search --pid "$1" 2>/dev/null; }

is_top_level() {
    xwininfo -id "$1" -tree 2>/dev/null | grep -q 'Parent window id: .*(the root window)'
}
is_viewable() { xwininfo -id "$1" 2>/dev/null | grep -q 'Map State: IsViewable'; }
window_name() { xdotool getwindowname "$1" 2>/dev/null; }

# The main window of copy PID: the top-level window named "Kestrane".
main_window() {
    local window
    for window in $(windows_of "$1"); do
        if [[ $(window_name "$window") == Kestrane ]] && is_top_level "$window"; then
            echo "$window"
            return 0
        fi
    done
    return 1
}

# The tray icon of copy PID: with no window manager, the only window of the
# program whose parent is not the root window is the one the tray embedded.
tray_icon() {
    local window
    for window in $(windows_of "$1"); do
        if ! is_top_level "$window"; then
            echo "$window"
            return 0
        fi
    done
    return 1
}

# A visible top-level window of copy PID whose name matches the regex NAME.
visible_window_named() {
    local window
    for window in $(windows_of "$1"); do
        if [[ $(window_name "$window") =~ $2 ]] && is_top_level "$window" &&
            is_viewable "$window"; then
            echo "$window"
            return 0
        fi
    done
    return 1
}

# Settled: the main window exists and is unmapped, and the icon sits in the tray.
in_tray() {
    local window icon
    window=$(main_window "$1") && icon=$(tray_icon "$1") &&
        ! is_viewable "$window" && is_viewable "$icon"
}

main_window_shown() {
    local window
    window=$(main_window "$1") && is_viewable "$window"
}

main_window_hidden() {
    local window
    window=$(main_window "$1") && ! is_viewable "$window"
}

no_windows() { [[ -z $(windows_of "$1") ]]; }

# Clicks the tray icon of copy PID with BUTTON (1 left, 3 right), then moves
# the pointer away so no tip covers the icon.
click_icon() {
    local icon
    icon=$(tray_icon "$1") || return 1
    xdotool mousemove --window "$icon" 11 15 click "$2" mousemove 1 1
}

# Gives WINDOW the keyboard focus; Qt needs a moment to activate the window
# before keys reach it.
focus_window() {
    xdotool windowfocus --sync "$1" 2>/dev/null || return 1
    sleep 0.4
    [[ $(xdotool getwindowfocus 2>/dev/null) == "$1" ]]
}

# With no window manager a window stays where the program puts it.
place_window() { xdotool windowmove --sync "$1" "$2" "$3" 2>/dev/null; }

keys() { xdotool key --delay 60 "$@"; }
type_text() { xdotool type --delay 25 -- "$1"; }

# Selects the whole text of the focused control and copies it; prints what the
# clipboard then holds. A placeholder owns the clipboard first, so a copy
# that did not happen shows as the placeholder, never as an older copy.
copy_focused_text() {
    printf '%s' '<nothing copied>' | xclip -quiet -selection clipboard -i >/dev/null 2>&1 &
    local placeholder=$!
    sleep 0.2
    keys ctrl+a ctrl+c
    sleep 0.3
    timeout 5 xclip -o -selection clipboard 2>/dev/null
    kill "$placeholder" 2>/dev/null
    wait "$placeholder" 2>/dev/null
    return 0
}
