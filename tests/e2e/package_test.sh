#!/usr/bin/env bash
# The Debian package, made from the build tree as `--target package` makes
# it: lintian finds no error or warning, the desktop entry, the AppStream
# file and the manual pages are valid, apt installs it (as root; otherwise it
# is unpacked into a temporary root), and the installed programs run from
# their installed files: two parlora-cli meet in a room, and parlora opens a
# room under Xvfb and shows its help, with the help, the font aliases and
# Qt's translations read from their installed places, nothing from the
# source or build tree.
# Usage: package_test.sh BUILD_DIR SOURCE_DIR      (exit 77: skipped)
set -euo pipefail
build=$(realpath "$1")
source_dir=$(realpath "$2")
for tool in cpack dpkg-deb dpkg-shlibdeps file strings objdump lintian desktop-file-validate appstreamcli man \
            Xvfb xdotool strace; do
  command -v "$tool" >/dev/null || { echo "$tool is missing: skipped"; exit 77; }
done
source "$(dirname "$0")/../../scripts/lib.sh"

work=$(mktemp -d)
chmod 755 "$work" # apt reads the package as its own unprivileged user
pids=()
purge=""
cleanup() {
  exec 3>&- 2>/dev/null || true
  local hung=""
  stop_newest_first "${pids[@]}" || hung=1
  # Only a package this test installed is taken away again.
  if [ -n "$purge" ]; then
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq -o DPkg::Lock::Timeout=300 parlora \
      >"$work/purge.out" 2>&1 || { echo "purging the package failed:"; cat "$work/purge.out"; hung=1; }
  fi
  rm -rf "$work"
  [ -z "$hung" ] || exit 1
}
trap cleanup EXIT
fail() {
  echo "FAILED: $*"
  for f in "$work"/*.out; do
    [ -e "$f" ] && { echo "--- $(basename "$f"):"; tail -n 40 "$f"; }
  done
  exit 1
}

# The package, into a folder of this test's own so the build's copy is left alone.
(cd "$work" && cpack --config "$build/CPackConfig.cmake" -B "$work/pkg" >"$work/cpack.out" 2>&1) ||
  fail "cpack"
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
deb="$work/pkg/parlora_${version}_amd64.deb"
[ -f "$deb" ] || fail "no $deb"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version"
depends=$(dpkg-deb -f "$deb" Depends)
# Computed from the binaries, and what the program reads without linking it.
for d in libc6 libqt6widgets6 libfontconfig1 libcanberra0 fonts-ipafont-gothic fonts-urw-base35 \
         qt6-translations-l10n sound-theme-freedesktop; do
  grep -Eq "(^|, )$d( |,|$)" <<<"$depends" || fail "$d is not in Depends: $depends"
done

lintian --fail-on error,warning "$deb" >"$work/lintian.out" 2>&1 || fail "lintian"
grep -v "running with root privileges" "$work/lintian.out" || true

# What the package holds, from the package itself (a machine may keep dpkg
# from installing documentation).
dpkg-deb -x "$deb" "$work/root"
id=$(dpkg-deb -c "$deb" | sed -n 's|.*/usr/share/metainfo/\(.*\)\.metainfo\.xml$|\1|p')
[ -n "$id" ] || fail "the package holds no AppStream file"
for f in bin/parlora bin/parlora-cli share/applications/$id.desktop \
         share/icons/hicolor/scalable/apps/parlora.svg share/metainfo/$id.metainfo.xml \
         share/man/man1/parlora.1.gz share/man/man1/parlora-cli.1.gz \
         share/doc/parlora/copyright share/doc/parlora/changelog.gz \
         share/parlora/help/index.html share/parlora/fonts.conf; do
  [ -f "$work/root/usr/$f" ] || fail "the package lacks /usr/$f"
done
for page in parlora parlora-cli; do
  LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$work/root/usr/share/man/man1/$page.1.gz" \
    >"$work/$page.txt" 2>"$work/man.out" || fail "man $page"
  [ ! -s "$work/man.out" ] || fail "man $page warns"
done
# The version the package carries is the one the program shows.
strings -el "$work/root/usr/bin/parlora" >"$work/strings"
grep -q "^Version $version " "$work/strings" || fail "the program does not call itself $version"

if [ "$(id -u)" -eq 0 ]; then
  [ "$(dpkg-query -W -f='${Status}' parlora 2>/dev/null || true)" = "install ok installed" ] || purge=1
  # Everything it needs is on the machine already (scripts/setup.sh), so
  # apt fetches nothing: a simulated run shows what it would install.
  apt-get install -s --reinstall "$deb" >"$work/apt.out" 2>&1 || fail "apt-get install -s"
  others=$(sed -n 's/^Inst \([^ ]*\).*/\1/p' "$work/apt.out" | grep -vx parlora || true)
  [ -z "$others" ] || fail "the machine lacks what the package needs: $others"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --reinstall -o DPkg::Lock::Timeout=300 \
    "$deb" >"$work/apt.out" 2>&1 || fail "apt-get install"
  usr=/usr
else
  echo "not root: the unpacked package stands in for an installed one"
  usr="$work/root/usr"
fi

desktop-file-validate "$usr/share/applications/$id.desktop" >"$work/desktop.out" 2>&1 ||
  fail "desktop-file-validate"
# --no-net: the screenshots' addresses are not fetched.
appstreamcli validate --no-net "$usr/share/metainfo/$id.metainfo.xml" >"$work/appstream.out" 2>&1 ||
  fail "appstreamcli validate"
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" \
  "$usr/share/metainfo/$id.metainfo.xml" || fail "the launchable is not the installed entry"
# Every option and environment variable the programs know is in their pages.
for opt in $("$usr/bin/parlora-cli" --help | grep -oE '^ +(-h, )?--[a-z-]+' | grep -oE -- '--[a-z-]+'); do
  grep -q -- "$opt" "$work/parlora-cli.txt" || fail "parlora-cli(1) lacks $opt"
done
for word in SV CL HD= IP= PARLORA_REGISTRY_DIR XDG_CONFIG_HOME XDG_DATA_HOME PARLORA_FTP_PORT \
            PARLORA_LISTEN_ADDR PARLORA_OWN_IP parlora.ini Tmp.txt HKEY_CURRENT_USER.reg; do
  grep -q -- "$word" "$work/parlora.txt" || fail "parlora(1) lacks $word"
done

# Two installed parlora-cli: one creates a room, the other enters it and
# says something. Ranges of this test's own: 127.0.0.50-99 (the other
# shell tests use 100 and above, the C++ tests stay below 20).
export PARLORA_REGISTRY_DIR="$work/registry" XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data"
cli="$usr/bin/parlora-cli"
low=$(awk '{print $1}' /proc/sys/net/ipv4/ip_local_port_range 2>/dev/null || echo 32768)
port=$((10000 + RANDOM % (low - 10000)))
host=127.0.0.$((50 + RANDOM % 15))
member=127.0.0.$((65 + RANDOM % 15))
mkfifo "$work/in"
PARLORA_LISTEN_ADDR=$host PARLORA_OWN_IP=$host \
  "$cli" --create Lobby --handle Hanako --port $port <"$work/in" >"$work/host.out" 2>&1 &
pids+=($!)
exec 3>"$work/in"
wait_for 30 grep -q "$host:Hanako さんが入室しました。" "$work/host.out" || fail "the room was not created"
echo "こんにちは from Taro" | PARLORA_LISTEN_ADDR=$member PARLORA_OWN_IP=$member \
  timeout 60 "$cli" --join "$host" --port $port --handle Taro >"$work/member.out" 2>&1 ||
  fail "the member did not enter and leave cleanly"
grep -q "$member:Taro さんが入室しました。" "$work/member.out" || fail "the member's arrival"
wait_for 30 grep -q "<Taro>こんにちは from Taro" "$work/host.out" || fail "the text did not reach the host"
exec 3>&-
wait "${pids[-1]}" || fail "the host did not end cleanly"
unset 'pids[-1]'

# The installed parlora under Xvfb, every file it opens traced.
strace -qq -o /dev/null true 2>"$work/strace.out" || fail "strace cannot trace here (ptrace refused?)"
start_xvfb "$work" || fail "Xvfb did not start"
pids+=("$XVFB_PID")
start_session_bus "$work"
[ -z "$BUS_PID" ] || pids+=("$BUS_PID")
gui=127.0.0.$((80 + RANDOM % 20))
# It starts in a folder of its own, as from a desktop menu in the user's home.
(cd "$work" && QT_QPA_PLATFORM=xcb PARLORA_LISTEN_ADDR=$gui PARLORA_OWN_IP=$gui \
  exec strace -f -qq -e trace=open,openat -o "$work/trace" "$usr/bin/parlora" SV HD=Taro) \
  >"$work/parlora.out" 2>&1 &
tracer=$!
pids+=("$tracer")
chat_window() { xdotool search --onlyvisible --name "^Parlora:Taro'ROOM" | head -n1 | grep .; }
wait_for 60 chat_window || fail "the installed program opened no room"
chat=$(chat_window)
# The program itself is ended before its tracer.
program=$(awk 'NR == 1 {print $1}' "$work/trace")
pids+=("$program")
help_window() { xdotool search --onlyvisible --name "^Parlora ヘルプ$" | head -n1 | grep .; }
for _ in 1 2 3 4 5; do
  xdotool windowactivate --sync "$chat" 2>/dev/null || xdotool windowfocus --sync "$chat"
  xdotool key --window "$chat" alt+h
  sleep 0.5
  xdotool key i
  wait_for 10 help_window && break
done
help_window >/dev/null || fail "the help did not open"

opened() { grep -E "open(at)?\(.*\"$1\".* = [0-9]+$" "$work/trace" >/dev/null; }
opened "$usr/share/parlora/fonts.conf" || fail "the font aliases were not read from $usr/share/parlora"
opened "$usr/share/parlora/help/index.html" || fail "the help was not read from $usr/share/parlora"
# A program that translates Qt's texts reads them from Qt's installed folder.
objdump -T "$usr/bin/parlora" >"$work/symbols"
if grep -q QTranslator "$work/symbols"; then
  opened "/usr/share/qt6/translations/qt[a-z]*_ja\.qm" || fail "Qt's Japanese texts were not read"
else
  echo "the program loads no translations"
fi
if grep -F -e "\"$build" -e "\"$source_dir" "$work/trace" | grep -v ENOENT >"$work/tree.out"; then
  fail "the installed program read from the source or build tree"
fi

# SIGTERM closes the program as the user would.
stop_process "$program" || fail "the installed program did not end on TERM"
unset 'pids[-1]'
wait "$tracer" || fail "the installed program did not end cleanly"
unset 'pids[-1]'
echo "1 passed, 0 failed"
