#!/usr/bin/env bash
# Takes docs/screenshots/options-dialog-public-address.png: the options
# dialog of a program hosting a room on a machine at home behind a router
# running miniupnpd (the router lab of the tests, in network namespaces),
# its list of own addresses open, the router's public address first. Runs
# the real program under Xvfb with the Japanese fonts, inside the lab.
# Needs root (namespaces) and the test packages of scripts/setup.sh.
# Usage: sudo scripts/screenshot-router-lab.sh [build-dir]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" != --inside ]; then
  build=${1:-build}
  lab="$build/tests/portmap/parlora_router_lab"
  [ -x "$build/src/app/parlora" ] || { echo "no program in $build (build first)" >&2; exit 1; }
  [ -x "$lab" ] || { echo "no $lab (ninja -C $build parlora_router_lab)" >&2; exit 1; }
  [ "$(id -u)" = 0 ] || { echo "the router lab needs root (network namespaces)" >&2; exit 1; }
  for tool in Xvfb xdotool import upnpc; do
    command -v "$tool" >/dev/null || { echo "$tool is missing (scripts/setup.sh test)" >&2; exit 1; }
  done
  exec "$lab" bash "$0" --inside "$build"
fi

# Inside the lab: this machine is 192.168.50.10 on the LAN.
build=$2
parlora="$build/src/app/parlora"
out=docs/screenshots
work=$(mktemp -d)
pids=()
source scripts/lib.sh
# The program keeps its templates beside itself and saves them when it ends:
# the picture starts from none, and the user's own file comes back after.
templates_file="$(dirname "$parlora")/parlora.ini"
[ -e "$templates_file" ] && mv "$templates_file" "$work/parlora.ini.kept"
cleanup() {
  [ ${#pids[@]} -eq 0 ] || stop_newest_first "${pids[@]}" >/dev/null || true
  rm -f "$templates_file"
  [ -e "$work/parlora.ini.kept" ] && mv "$work/parlora.ini.kept" "$templates_file"
  rm -rf "$work"
}
trap cleanup EXIT

# A stable global IPv6 address, as a provider would give one: listed too.
ip -6 addr add 2001:db8:50::10/64 dev eth0 nodad

start_xvfb "$work" || { echo "Xvfb did not start" >&2; exit 1; }
pids+=("$XVFB_PID")
start_session_bus "$work"
[ -z "$BUS_PID" ] || pids+=("$BUS_PID")

# A user of its own: no settings or templates of the caller's.
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/config" XDG_DATA_HOME="$work/home/data"
mkdir -p "$HOME"
export QT_QPA_PLATFORM=xcb PARLORA_PORTMAP=1
unset PARLORA_OWN_IP PARLORA_LISTEN_ADDR

# The program creates a room by itself and asks the router to forward it.
"$parlora" SV HD=hanako &
pids+=($!)
chat=$(window_titled "Parlora:hanako'ROOM")
wait_for 30 sh -c 'upnpc -l 2>/dev/null | grep -q "TCP *47624->"' ||
  { echo "the router forwards no port for the room" >&2; exit 1; }
sleep 2.5 # the splash goes

# File menu, its fourth item (設定); then the address list opened.
xdotool windowfocus --sync "$chat"
xdotool key --window "$chat" alt+f
sleep 0.3
xdotool key Down Down Down Return
options=$(window_titled "設定")
sleep 0.5
xdotool mousemove --window "$options" 200 14 click 1
mkdir -p "$out"
shot_window "$options" "$out/options-dialog-public-address.png"
