#!/usr/bin/env bash
# Runs a test program in a real X session: Xvfb with the openbox window
# manager, for what needs one (minimising and restoring windows).
# Usage: with_window_manager.sh PROGRAM [ARGS...]      (exit 77: skipped)
set -euo pipefail
for tool in Xvfb openbox xdotool; do
  command -v "$tool" >/dev/null || { echo "$tool is missing: skipped"; exit 77; }
done
source "$(dirname "$0")/../../scripts/lib.sh"
work=$(mktemp -d)
wm=""
BUS_PID=""
cleanup() {
  [ -z "$wm" ] || stop_process "$wm" >/dev/null || true
  [ -z "$BUS_PID" ] || stop_process "$BUS_PID" >/dev/null || true
  [ -z "${XVFB_PID:-}" ] || stop_process "$XVFB_PID" >/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
start_xvfb "$work" || { echo "Xvfb did not start"; exit 1; }
start_session_bus "$work"
openbox --sm-disable >"$work/openbox.out" 2>&1 &
wm=$!
# The manager is ready once it has claimed the screen. One that never does
# is this machine's problem, not the program's: skipped, saying why.
# Its first start on a machine can be slow (font caches), so it gets 30 s.
ready=""
for _ in $(seq 300); do
  if xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"; then ready=1; break; fi
  sleep 0.1
done
if [ -z "$ready" ]; then
  echo "openbox did not take the screen: skipped"; cat "$work/openbox.out"; exit 77
fi
export QT_QPA_PLATFORM=xcb PARLORA_TEST_WINDOW_MANAGER=1
"$@"
