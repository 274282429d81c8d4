# Sourced by the scripts that run the program under Xvfb.
# start_xvfb DIR: starts Xvfb on a display it picks itself (it writes the
# number once it listens; probing for a free number first races with servers
# that start or end), exports DISPLAY and sets XVFB_PID. Returns 1, with
# Xvfb's own output on standard error, when no server came up in 20 s.
start_xvfb() {
  local dir=$1
  rm -f "$dir/xvfb.display"
  Xvfb -displayfd 5 -screen 0 1024x768x24 -nolisten tcp 5>"$dir/xvfb.display" >"$dir/xvfb.out" 2>&1 &
  XVFB_PID=$!
  local end=$((SECONDS + 20))
  until grep -q . "$dir/xvfb.display" 2>/dev/null; do
    if [ $SECONDS -ge $end ] || ! kill -0 "$XVFB_PID" 2>/dev/null; then
      cat "$dir/xvfb.out" >&2
      return 1
    fi
    sleep 0.1
  done
  DISPLAY=":$(head -n1 "$dir/xvfb.display")"
  export DISPLAY
  # The number is written once the server listens; wait for it to answer too.
  until xdotool getdisplaygeometry >/dev/null 2>&1; do
    [ $SECONDS -lt $end ] || return 1
    sleep 0.1
  done
}
