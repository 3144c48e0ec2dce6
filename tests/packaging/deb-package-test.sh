#!/bin/bash
# Builds the .deb from a build tree with CPack and checks it as a user's system
# would see it: its control data and lintian, then installed into a scratch
# root (a dpkg database of its own, so the machine's is never touched): the
# file list, the desktop entries, the AppStream metainfo, the manual page, the
# program started the way the menu entry starts it, and a clean removal.
#   deb-package-test.sh BUILD_DIR
# Exit 77 (skipped) when a tool is missing. The start from the menu entry needs
# root, ip and unshare (the program broadcasts, so it runs only in a network
# namespace of its own); without them every other check still runs and the test
# then reports itself skipped.
set -euo pipefail

build=$(realpath "$1")
# shellcheck source=../lan/virtual-lan.sh source-path=SCRIPTDIR
source "$(dirname "$0")/../lan/virtual-lan.sh"
LAN_PREFIX="kstpkg$$"
for tool in cpack dpkg dpkg-deb dpkg-shlibdeps rsvg-convert lintian desktop-file-validate appstreamcli man file; do
    if ! command -v "$tool" >/dev/null; then
        echo "skipped: $tool is missing (scripts/install-deps installs it)"
        exit 77
    fi
done

work=$(mktemp -d)
program=
cleanup() {
    if [[ -n $program ]]; then kill -KILL "$program" 2>/dev/null || true; fi
    lan_down
    rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

echo "== building the package"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/package" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; echo "FAIL: cpack"; exit 1; }
debs=("$work"/package/*.deb)
if ((${#debs[@]} != 1)) || [[ ! -f ${debs[0]} ]]; then
    echo "FAIL: cpack made no single .deb"; ls "$work/package"; exit 1
fi
deb=${debs[0]}

echo "== control data"
field() { dpkg-deb --field "$deb" "$1"; }
[[ $(field Package) == kestrane ]] || fail "package name is '$(field Package)'"
depends=$(field Depends)
# The libraries the program links, found by dpkg-shlibdeps, not a list kept by hand.
for library in libc6 libstdc++6 libasound2 libqt6core6 libqt6gui6 libqt6widgets6 libqt6dbus6 libqt6svg6; do
    [[ $depends == *"$library"* ]] || fail "Depends lacks $library: $depends"
done
[[ $(field Recommends) == *fonts-liberation* ]] || fail "Recommends lacks fonts-liberation"

echo "== lintian"
lintian --fail-on error --tag-display-limit 0 "$deb" >"$work/lintian.log" 2>&1 ||
    fail "lintian reports errors"
grep -v "running with root privileges" "$work/lintian.log" || true

echo "== install into a scratch root"
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
# Dependencies are the machine's, not the scratch root's: only this package's
# own files are under test there. Nothing runs chrooted (it has no scripts).
in_root_dpkg=(dpkg --root="$root" --log=/dev/null --force-depends --force-script-chrootless --force-not-root)
"${in_root_dpkg[@]}" --install "$deb" >"$work/install.log" 2>&1 ||
    { cat "$work/install.log"; echo "FAIL: dpkg --install"; exit 1; }

expected="usr/bin/kestrane
usr/share/applications/kestrane.desktop
usr/share/doc/kestrane/changelog.gz
usr/share/doc/kestrane/copyright
usr/share/icons/hicolor/16x16/apps/kestrane.png
usr/share/icons/hicolor/256x256/apps/kestrane.png
usr/share/icons/hicolor/32x32/apps/kestrane.png
usr/share/icons/hicolor/48x48/apps/kestrane.png
usr/share/icons/hicolor/scalable/apps/kestrane.svg
usr/share/kestrane/Tavrin.Application.service
usr/share/kestrane/autostart/kestrane.desktop
usr/share/kestrane/kestrane.html
usr/share/man/man1/kestrane.1.gz
usr/share/metainfo/org.example.Kestrane.metainfo.xml"
installed=$(cd "$root" && find usr -type f | LC_ALL=C sort)
if [[ $installed != "$expected" ]]; then
    fail "installed files differ from the expected list:"
    diff <(echo "$expected") <(echo "$installed") || true
fi
[[ -x $root/usr/bin/kestrane ]] || fail "the program is not executable"
for size in 16 32 48 256; do
    file "$root/usr/share/icons/hicolor/${size}x$size/apps/kestrane.png" | grep -q "PNG image data, $size x $size" ||
        fail "the ${size}px icon is not a ${size}x$size PNG"
done
# Help looks for the manual at this path relative to the program.
[[ -f $root/usr/bin/../share/kestrane/kestrane.html ]] || fail "Help's manual is not beside the program"
grep -qx "Exec=/usr/bin/kestrane -Automation" "$root/usr/share/kestrane/Tavrin.Application.service" ||
    fail "the activation file template does not name /usr/bin/kestrane"

echo "== desktop entries and metainfo"
menu_entry=$root/usr/share/applications/kestrane.desktop
for entry in "$menu_entry" "$root/usr/share/kestrane/autostart/kestrane.desktop"; do
    desktop-file-validate "$entry" || fail "desktop-file-validate: $entry"
    grep -qx "Exec=kestrane" "$entry" || fail "$entry does not start kestrane"
    grep -qx "Icon=kestrane" "$entry" || fail "$entry does not name the icon"
done
grep -qx "Categories=Network;Chat;InstantMessaging;" "$menu_entry" || fail "menu categories"
metainfo=$root/usr/share/metainfo/org.example.Kestrane.metainfo.xml
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli validate"
grep -q '<launchable type="desktop-id">kestrane.desktop</launchable>' "$metainfo" ||
    fail "the metainfo does not launch the installed menu entry"

echo "== manual page"
page=$root/usr/share/man/man1/kestrane.1.gz
LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" >"$work/man.rendered" 2>"$work/man.err" ||
    fail "man -l failed"
# One line with single spaces, so that a phrase is found wherever lines break.
tr -s ' \n' '  ' <"$work/man.rendered" >"$work/man.txt"
if [[ -s $work/man.err ]]; then
    fail "man reports warnings:"; cat "$work/man.err"
fi
for text in "kestrane - serverless chat" "-Embedding, -Automation" "port 9000" "udp dport 9000 accept" \
    "neither authenticated nor encrypted" "Tavrin.Application" "services/Tavrin.Application.service" \
    "/usr/share/kestrane/autostart/kestrane.desktop ~/.config/autostart/"; do
    grep -qF -- "$text" "$work/man.txt" || fail "the manual page lacks: $text"
done

started=skipped
if lan_available; then
    echo "== start from the menu entry, in a network namespace of its own"
    # One host of the virtual LAN; lan_up sets an EXIT trap of its own, so
    # cleanup (which calls lan_down) goes back in place.
    lan_up 1
    trap cleanup EXIT
    home=$work/home
    mkdir -p "$home"
    read -r -a command < <(sed -n 's/^Exec=//p' "$menu_entry")
    # lan_spawn is one simple command, so $! is the program itself.
    lan_spawn 1 env -i HOME="$home" PATH="$root/usr/bin:/usr/bin:/bin" \
        QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$home" DBUS_SESSION_BUS_ADDRESS=disabled: \
        "${command[@]}" >"$work/program.out" 2>&1
    program=$!
    lock_held() { ip netns exec "$(lan_namespace 1)" grep -q "@TavrinMutex.$(id -u)" /proc/net/unix; }
    for _ in $(seq 200); do
        lock_held && break
        sleep 0.05
    done
    if lock_held; then
        # The program's own activation file names the installed program.
        grep -qx "Exec=$root/usr/bin/kestrane -Automation" \
            "$home/.local/share/dbus-1/services/Tavrin.Application.service" ||
            fail "the program wrote no activation file naming the installed program"
        kill -TERM "$program"
        if timeout 10 tail --pid="$program" -f /dev/null; then
            status=0
            wait "$program" || status=$?
            ((status == 0)) || fail "after SIGTERM the program ended with status $status"
            started=passed
        else
            fail "SIGTERM did not end the program"
        fi
    else
        fail "the program from the menu entry never started:"; cat "$work/program.out"
        kill -KILL "$program" 2>/dev/null || true
        wait "$program" 2>/dev/null || true
    fi
    program=
fi

echo "== remove"
"${in_root_dpkg[@]}" --purge kestrane >"$work/remove.log" 2>&1 ||
    { cat "$work/remove.log"; fail "dpkg --purge"; }
left=$(find "$root/usr" -mindepth 1 2>/dev/null || true)
[[ -z $left ]] || fail "files left after removal: $left"

if ((failures > 0)); then
    echo "$failures check(s) failed"
    exit 1
fi
if [[ $started == skipped ]]; then
    echo "skipped: starting the program needs root, ip and unshare; every other check passed"
    exit 77
fi
echo "1 passed, 0 failed"
