#!/bin/bash
# Builds the .deb from a build tree with CPack and checks it as a user's system
# would see it: lintian, then installed into a scratch root (a dpkg database of
# its own, so the machine's is never touched): its files, menu entries,
# metainfo and manual page, the program started as its menu entry starts it
# (in a network namespace: it broadcasts), and a clean removal.
#   deb-package-test.sh BUILD_DIR
set -uo pipefail

build=$(realpath "$1")
source "$(dirname "$(realpath "$0")")/../lan/virtual-lan.sh"
lan_require cpack dpkg dpkg-deb dpkg-shlibdeps rsvg-convert lintian desktop-file-validate appstreamcli man file
LAN_PREFIX="kstpkg$$"
lan_up 1
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$LAN_WORK/package" >"$LAN_WORK/cpack.log" 2>&1
debs=("$LAN_WORK"/package/*.deb)
check "cpack makes one .deb" test "${#debs[@]}" -eq 1 -a -f "${debs[0]}" || { cat "$LAN_WORK/cpack.log" && exit 1; }
deb=${debs[0]}

# The libraries the program links (Qt, libsodium), found by dpkg-shlibdeps; the
# others are opened at first use (a chime, a file digest, the Wayland platform),
# so named by hand.
depends=$(dpkg-deb --field "$deb" Depends)
for library in libqt6dbus6 libqt6widgets6 libasound2 libssl3 libsodium23 qt6-wayland; do
    check "it depends on $library" grep -q "$library" <<<"$depends"
done
check "it recommends fonts-liberation" grep -q fonts-liberation <<<"$(dpkg-deb --field "$deb" Recommends)"
check "lintian finds no error" lintian --fail-on error --tag-display-limit 0 "$deb"

root=$LAN_WORK/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" && touch "$root/var/lib/dpkg/status"
# The dependencies are the machine's: only this package's own files are under
# test here. Nothing runs chrooted (the package has no scripts).
in_root_dpkg=(dpkg --root="$root" --log=/dev/null --force-depends --force-script-chrootless --force-not-root)
"${in_root_dpkg[@]}" --install "$deb" >"$LAN_WORK/dpkg.log" 2>&1
check "it installs into a scratch root" test $? -eq 0 || { cat "$LAN_WORK/dpkg.log" && exit 1; }
check "it installs exactly its files" diff - <(cd "$root" && find usr -type f | LC_ALL=C sort) <<FILES
usr/bin/kestrane
usr/lib/firewalld/services/kestrane.xml
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
usr/share/metainfo/org.example.Kestrane.metainfo.xml
FILES
check "the ufw profile is its one conffile" eval 'test -f "$root/etc/ufw/applications.d/kestrane" &&
    test "$(dpkg-deb --info "$deb" conffiles)" = /etc/ufw/applications.d/kestrane'
check "the firewall profiles open UDP and TCP 9000 under the name Kestrane" python3 - \
    "$root/usr/lib/firewalld/services/kestrane.xml" "$root/etc/ufw/applications.d/kestrane" <<'PROFILES'
import configparser, sys, xml.etree.ElementTree as ET
service = ET.parse(sys.argv[1]).getroot()
assert service.tag == "service" and service.findtext("short") == "Kestrane", "firewalld: short"
assert service.findtext("description").strip(), "firewalld: description"
ports = sorted((p.get("protocol"), p.get("port")) for p in service.findall("port"))
assert ports == [("tcp", "9000"), ("udp", "9000")], ports
profile = configparser.ConfigParser(interpolation=None)
profile.read(sys.argv[2])
assert profile.sections() == ["Kestrane"], profile.sections()
app = profile["Kestrane"]
assert app["title"] and app["description"], "ufw: title, description"
assert sorted(app["ports"].split("|")) == ["9000/tcp", "9000/udp"], app["ports"]
PROFILES
for size in 16 32 48 256; do
    check "the ${size}px icon is that size" grep -q "PNG image data, $size x $size" \
        <<<"$(file "$root/usr/share/icons/hicolor/${size}x$size/apps/kestrane.png")"
done
check "the activation file template names /usr/bin/kestrane" \
    grep -qx "Exec=/usr/bin/kestrane -Automation" "$root/usr/share/kestrane/Tavrin.Application.service"
menu_entry=$root/usr/share/applications/kestrane.desktop
for entry in "$menu_entry" "$root/usr/share/kestrane/autostart/kestrane.desktop"; do
    check "${entry#"$root"} is valid and starts kestrane with its icon" eval \
        'desktop-file-validate "$entry" && grep -qx Exec=kestrane "$entry" && grep -qx Icon=kestrane "$entry"'
done
check "the menu lists it among chat programs" grep -qx "Categories=Network;Chat;InstantMessaging;" "$menu_entry"
metainfo=$root/usr/share/metainfo/org.example.Kestrane.metainfo.xml
check "the metainfo is valid, launches the menu entry and names the licence" eval 'appstreamcli validate --no-net "$metainfo" &&
    grep -q "<project_license>MIT</project_license>" "$metainfo" &&
    grep -q "<launchable type=\"desktop-id\">kestrane.desktop</launchable>" "$metainfo"'
check "the manual page renders without a warning" test -z "$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings \
    -E UTF-8 -l "$root/usr/share/man/man1/kestrane.1.gz" 2>&1 >/dev/null)"

# As the menu entry starts it, on the PATH; the activation file it then
# writes names the installed program.
read -r -a command < <(sed -n 's/^Exec=//p' "$menu_entry")
KESTRANE=$root/usr/bin/kestrane
host_prepare 1
host_spawn 1 PATH="$root/usr/bin:/usr/bin:/bin" "${command[@]}" >"$LAN_WORK/program.log" 2>&1
program=$!
check "the program from the menu entry starts and names itself in its activation file" wait_until 10 \
    grep -sqx "Exec=$root/usr/bin/kestrane -Automation" "$(host_home 1)/data/dbus-1/services/Tavrin.Application.service"
end_copy "$program"
check "SIGTERM ends it in time with status 0 ($STATUS)" test "$STATUS" -eq 0
"${in_root_dpkg[@]}" --purge kestrane >"$LAN_WORK/dpkg.log" 2>&1
check "it is removed without a trace" test -z "$(find "$root/usr" "$root/etc" -mindepth 1 2>/dev/null)"
tally packaging || { cat "$LAN_WORK/program.log"; exit 1; }
