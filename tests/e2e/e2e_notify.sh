#!/usr/bin/env bash
# End to end through the real program: `parlora SV HD=Taro` under Xvfb with
# address notification on and the FTP log window option on, while the FTP
# server's disk is full. The room opens, the start page fails: the log
# window stays up and an error box shows (a success would hide the window
# and show no box), and the server holds no page. Then space is made, a
# second room is created from the File menu, and the page arrives.
# Usage: e2e_notify.sh PARLORA [SCREENSHOT_DIR]      (exit 77: skipped)
set -euo pipefail
parlora=$1
shots=${2:-}
[ "$(id -u)" -eq 0 ] || { echo "not root, so no tmpfs can be mounted: skipped"; exit 77; }
for tool in Xvfb xdotool unshare iconv; do
  command -v "$tool" >/dev/null || { echo "$tool is missing: skipped"; exit 77; }
done
/usr/bin/python3 -c 'import pyftpdlib' 2>/dev/null || { echo "pyftpdlib is missing: skipped"; exit 77; }
# A mount namespace of its own: the full disk never shows outside the test,
# and goes with it however it ends.
if [ -z "${PARLORA_E2E_NS:-}" ]; then
  exec unshare --mount --propagation private env PARLORA_E2E_NS=1 bash "$0" "$@"
fi

here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/lib.sh"
work=$(mktemp -d)
pids=()
cleanup() {
  stop_newest_first "${pids[@]}" >/dev/null || true
  umount "$work/disk" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAILED: $*"; shot e2e-notify-failed.png
  echo "--- program output:"; cat "$work/parlora.out" 2>/dev/null || true
  ls -la "$work/disk" 2>&1; cat "$work/ftp.err" | tail -5
  echo "--- windows on the display:"
  for w in $(xdotool search --onlyvisible --name . 2>/dev/null); do
    echo "$w $(xdotool getwindowname "$w" 2>/dev/null)"
  done
  exit 1
}
shot() { [ -z "$shots" ] || import -window root "$shots/$1" 2>/dev/null || true; }

# The server's disk: a small tmpfs, filled to the last byte.
mkdir -p "$work/disk"
mount -t tmpfs -o size=64k,mode=0777 tmpfs "$work/disk"
dd if=/dev/zero of="$work/disk/filler" bs=4k 2>/dev/null || true
dd if=/dev/zero of="$work/disk/filler" bs=1 oflag=append conv=notrunc 2>/dev/null || true
/usr/bin/python3 "$here/../net/ftp_server.py" "$work/disk" user secret >"$work/ftp.port" 2>"$work/ftp.err" &
pids+=($!)
wait_for 15 grep -q . "$work/ftp.port" || fail "the FTP server did not start"
ftp_port=$(head -n1 "$work/ftp.port")

# Every value is there: a load stops at the first one missing.
# The template sits in a folder with a Japanese name; the settings hold its
# path as CP932 text, as the options dialog saves it.
mkdir -p "$work/ホームページ"
printf '<p>テスト ##IPADDRESS## から</p>\r\n<p>##DATETIME##</p>\r\n%s\r\n' \
  "$(head -c 20000 /dev/zero | tr '\0' x)" >"$work/ホームページ/start.html"
export PARLORA_REGISTRY_DIR="$work/registry"
mkdir -p "$PARLORA_REGISTRY_DIR"
{
  printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Parlora3]\r\n"main_K2"=dword:00000000\r\n"main_K3"=dword:00000000\r\n"main_K4"=dword:00000000\r\n"main_K5"=dword:00000001\r\n"chatenter"=dword:00000000\r\n\r\n'
  printf '[HKEY_LOCAL_MACHINE\\SOFTWARE\\Parlora3\\Notify]\r\n'
  printf '"Notify"=dword:00000001\r\n"ftpaddress"="127.0.0.1"\r\n"Login"="user"\r\n"pwd"="secret"\r\n'
  printf '"connecting"="%s"\r\n"disconnect"=""\r\n"ftpdir"="index.html"\r\n"ftpdebug"=dword:00000001\r\n' \
    "$work/ホームページ/start.html"
} | iconv -f UTF-8 -t CP932 >"$PARLORA_REGISTRY_DIR/HKEY_LOCAL_MACHINE.reg"

start_xvfb "$work" || fail "Xvfb did not start"
pids+=("$XVFB_PID")
start_session_bus "$work"
[ -z "$BUS_PID" ] || pids+=("$BUS_PID")
export QT_QPA_PLATFORM=xcb
host=127.0.0.$((60 + RANDOM % 30))
PARLORA_LISTEN_ADDR=$host PARLORA_OWN_IP=$host PARLORA_FTP_PORT=$ftp_port \
  "$parlora" SV HD=Taro >"$work/parlora.out" 2>&1 &
pids+=($!)

visible() { xdotool search --onlyvisible --name "$1" | head -n1 | grep .; }
# A message box: titled "Parlora" like the splash, which is 306 x 136.
message_box() {
  local w
  for w in $(xdotool search --onlyvisible --name "^Parlora\$" 2>/dev/null); do
    xdotool getwindowgeometry "$w" 2>/dev/null | grep -q "Geometry: 306x136" || { echo "$w"; return 0; }
  done
  return 1
}
log_window="^ホームページ更新ＬＯＧ$"
wait_for 60 visible "$log_window" || fail "the FTP log window did not come up for the upload"
wait_for 60 message_box || fail "no message box after the upload"
visible "$log_window" >/dev/null || fail "the FTP log window is not up"
sleep 0.5
shot e2e-notify-disk-full.png
[ ! -s "$work/disk/index.html" ] || fail "a page was stored on the full disk"
# Dismiss the box: the room opens, the log window stays.
box=$(message_box)
xdotool windowfocus --sync "$box" 2>/dev/null || true
xdotool key Return
wait_for 30 visible "^Parlora:Taro'ROOM" || fail "the room did not open"
no_box() { ! message_box; }
wait_for 10 no_box || fail "the box stayed"
visible "$log_window" >/dev/null || fail "the FTP log window went after the failure"
echo "first room: the start page failed, the log window stays up, one error box"

# Space again; a second room from the File menu ("別のチャットルーム").
rm -f "$work/disk/filler"
chat=$(visible "^Parlora:Taro'ROOM")
xdotool windowactivate --sync "$chat" 2>/dev/null || xdotool windowfocus --sync "$chat"
xdotool key --window "$chat" alt+f
sleep 0.5
xdotool key Return
wait_for 20 visible "^Parlora for DirectPlay$" || fail "no start dialog for the second room"
dialog=$(visible "^Parlora for DirectPlay$")
sleep 0.5
xdotool windowactivate --sync "$dialog" 2>/dev/null || true
# The handle box, the new room's name box, then "作成".
xdotool mousemove --window "$dialog" 207 85 click 1
xdotool key ctrl+a
xdotool type --delay 50 "Taro"
xdotool mousemove --window "$dialog" 160 182 click 1
xdotool key ctrl+a
xdotool type --delay 50 "Second"
shot e2e-notify-second-room.png
xdotool mousemove --window "$dialog" 276 227 click 1
wait_for 60 test -s "$work/disk/index.html" || fail "the start page did not arrive once there was space"
grep -q "テスト $host から" "$work/disk/index.html" || fail "the page does not hold the address"
# With the log option on, a success shows no box and hides the window.
wait_for 20 bash -c "! xdotool search --onlyvisible --name '$log_window' | grep -q ." ||
  fail "the log window stayed after the success"
wait_for 30 visible "^Parlora:Second" || fail "the second room did not open"
message_box >/dev/null && fail "a box is shown after the success"
shot e2e-notify-sent.png
echo "second room: the page went out"
echo "1 passed, 0 failed"
