#!/usr/bin/env bash
# End to end through the real program: `parlora SV HD=Taro` under Xvfb hosts
# a room, a parlora-cli member joins it, a text typed into the chat window
# with xdotool reaches the member, and the member's text shows in the
# window's log, read back through the log saved as TXT from the File menu,
# as is the member's departure once its input ends.
# Usage: e2e_chat.sh PARLORA PARLORA_CLI      (exit 77: skipped)
set -euo pipefail
parlora=$1
cli=$2
for tool in Xvfb xdotool iconv; do
  command -v "$tool" >/dev/null || { echo "$tool is missing: skipped"; exit 77; }
done

work=$(mktemp -d)
pids=()
source "$(dirname "$0")/../../scripts/lib.sh"
# Ends the processes newest first (the program before its X server); one
# that needs more than TERM fails the test.
cleanup() {
  exec 3>&- 2>/dev/null || true
  local hung=""
  stop_newest_first "${pids[@]}" || hung=1
  if [ -n "$hung" ]; then echo "--- program output:"; cat "$work/parlora.out" 2>/dev/null || true; fi
  rm -rf "$work"
  [ -z "$hung" ] || exit 1
}
trap cleanup EXIT
fail() {
  echo "FAILED: $*"
  echo "--- program output:"; cat "$work/parlora.out" 2>/dev/null || true
  echo "--- member output:"; cat "$work/cli.out" 2>/dev/null || true
  echo "--- windows on the display:"
  for w in $(xdotool search --onlyvisible --name . 2>/dev/null); do
    echo "$w $(xdotool getwindowname "$w" 2>/dev/null)"
  done
  exit 1
}


start_xvfb "$work" || fail "Xvfb did not start"
pids+=("$XVFB_PID")
start_session_bus "$work"
[ -z "$BUS_PID" ] || pids+=("$BUS_PID")

# A private settings folder and addresses of this test's own.
export QT_QPA_PLATFORM=xcb
export PARLORA_REGISTRY_DIR="$work/registry"
mkdir -p "$PARLORA_REGISTRY_DIR"
# Ranges of its own: install_test.sh, which may run at the same time, uses
# 127.0.0.150-199 and 225-249, package_test.sh 50-99; the C++ tests stay below 20.
host=127.0.0.$((100 + RANDOM % 50))
member=127.0.0.$((200 + RANDOM % 25))

PARLORA_LISTEN_ADDR=$host PARLORA_OWN_IP=$host "$parlora" SV HD=Taro >"$work/parlora.out" 2>&1 &
pids+=($!)
find_chat() { xdotool search --onlyvisible --name "^Parlora:Taro'ROOM" | head -n1 | grep -q .; }
wait_for 30 find_chat || fail "the room did not open"
chat=$(xdotool search --onlyvisible --name "^Parlora:Taro'ROOM" | head -n1)

mkfifo "$work/in"
PARLORA_LISTEN_ADDR=$member PARLORA_OWN_IP=$member \
  "$cli" --join "$host" --handle Hanako <"$work/in" >"$work/cli.out" 2>&1 &
pids+=($!)
exec 3>"$work/in"
wait_for 30 grep -q "$member:Hanako さんが入室しました。" "$work/cli.out" || fail "the member did not enter"

# Taro types into the real message box and sends with Ctrl+S. xdotool types
# a character outside the keymap by remapping a spare key for it; on a busy
# machine the program can read that key after it was remapped for the next
# character, so a garbled line is sent again rather than failing the test.
typed() {
  xdotool windowactivate --sync "$chat" 2>/dev/null || xdotool windowfocus --sync "$chat"
  local height
  height=$(xdotool getwindowgeometry --shell "$chat" | sed -n 's/^HEIGHT=//p')
  xdotool mousemove --window "$chat" 120 $((height - 80)) click 1
  xdotool type --window "$chat" --delay 120 "$1"
  xdotool key --window "$chat" ctrl+s
  wait_for 10 grep -qF "<Taro>$1" "$work/cli.out"
}
sent=""
for attempt in 1 2 3 4; do
  if typed "こんにちは表ソ能 from Taro"; then sent=1; break; fi
done
[ -n "$sent" ] || fail "Taro's text did not reach the member"

# Hanako answers from the terminal.
echo "はじめまして①～ from Hanako" >&3
wait_for 20 grep -q "<Hanako>はじめまして①～ from Hanako" "$work/cli.out" || fail "the member's own copy"

# Save the log as TXT through the File menu, until it holds Hanako's line.
saved() {
  local file="$work/log$1.txt" want=$2
  xdotool windowactivate --sync "$chat" 2>/dev/null || xdotool windowfocus --sync "$chat"
  xdotool key --window "$chat" alt+f
  sleep 0.3
  xdotool key s
  sleep 1
  xdotool key ctrl+a
  xdotool type --delay 20 "$file"
  xdotool key Return
  wait_for 10 test -s "$file" || return 1
  iconv -f CP932 -t UTF-8 "$file" >"$file.utf8"
  grep -q "$want" "$file.utf8"
}
ok=""
for attempt in 1 2 3 4 5; do
  if saved "$attempt" "<Hanako>はじめまして①～ from Hanako"; then ok=$attempt; break; fi
done
[ -n "$ok" ] || fail "the member's text is not in the saved log"
log="$work/log$ok.txt.utf8"
grep -q "<Taro>こんにちは表ソ能 from Taro" "$log" || fail "Taro's own entry is not in the saved log"
grep -q "$member:Hanako さんが入室しました。" "$log" || fail "no arrival line in the saved log"
# The file is CP932 with CR LF line ends.
grep -q $'\r$' "$work/log$ok.txt" || fail "the TXT log has no CR LF line ends"

# The member leaves at the end of its input; the window logs the departure.
exec 3>&-
wait "${pids[-1]}" || fail "the member did not exit cleanly"
gone=""
for attempt in 6 7 8 9 10; do
  if saved "$attempt" "^Hanako さんが退室しました。"; then gone=$attempt; break; fi
done
[ -n "$gone" ] || fail "the member's departure is not in the saved log"
echo "--- saved log:"; cat "$work/log$gone.txt.utf8"
echo "1 passed, 0 failed"
