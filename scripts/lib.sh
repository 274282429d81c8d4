# Sourced by the scripts that run the program under Xvfb and by its tests.
# start_xvfb DIR: starts Xvfb on a display it picks itself (it writes the
# number once it listens; probing for a free number first races with servers
# that start or end), exports DISPLAY and sets XVFB_PID. Without -noreset the
# server resets when its last client leaves (the readiness check below is
# one), and a program connecting during that reset finds no display. Returns 1, with
# Xvfb's own output on standard error, when no server came up in 20 s.
start_xvfb() {
  local dir=$1
  rm -f "$dir/xvfb.display"
  Xvfb -displayfd 5 -screen 0 1024x768x24 -nolisten tcp -noreset 5>"$dir/xvfb.display" >"$dir/xvfb.out" 2>&1 &
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

# start_session_bus DIR: a D-Bus session bus of the caller's own for the
# programs it starts; exports DBUS_SESSION_BUS_ADDRESS and sets BUS_PID for
# the caller to stop. Without an address, libdbus on a desktop machine
# (dbus-x11) autolaunches a bus whose daemon outlives the caller and keeps
# its output pipes open. Where no bus can be started, BUS_PID is empty and the
# address names no bus, so the programs run without one.
start_session_bus() {
  local dir=$1
  BUS_PID=""
  export DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/no-session-bus"
  command -v dbus-daemon >/dev/null || return 0
  if dbus-daemon --session --fork --nosyslog --print-address=5 --print-pid=6 \
      5>"$dir/bus.address" 6>"$dir/bus.pid" </dev/null >/dev/null 2>&1; then
    DBUS_SESSION_BUS_ADDRESS=$(head -n1 "$dir/bus.address")
    BUS_PID=$(head -n1 "$dir/bus.pid")
  fi
}

# stop_process PID [SECONDS]: TERM, then KILL if it is still there after
# SECONDS (default 15). Returns 1, having said so, when TERM was not enough.
stop_process() {
  local pid=$1 end=$((SECONDS + ${2:-15}))
  kill "$pid" 2>/dev/null || return 0
  while kill -0 "$pid" 2>/dev/null && [ $SECONDS -lt $end ]; do sleep 0.1; done
  if kill -0 "$pid" 2>/dev/null; then
    echo "process $pid did not end on TERM:"
    ps -o pid,stat,wchan:32,args -p "$pid" || true
    grep -H . /proc/"$pid"/task/*/wchan 2>/dev/null || true
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    return 1
  fi
  wait "$pid" 2>/dev/null || true
}

# stop_newest_first PID...: stop_process on each, the last given first (a
# program before its X server). Returns 1 when any needed more than TERM.
stop_newest_first() {
  local i hung=0 all=("$@")
  for ((i = ${#all[@]} - 1; i >= 0; i--)); do
    stop_process "${all[i]}" || hung=1
  done
  return $hung
}

# wait_for SECONDS COMMAND...: waits up to SECONDS for COMMAND to succeed.
wait_for() {
  local limit=$1; shift
  local end=$((SECONDS + limit))
  until "$@" >/dev/null 2>&1; do
    [ $SECONDS -lt $end ] || return 1
    sleep 0.2
  done
}

# window_titled TITLE: the id of the first visible window whose title is
# exactly TITLE, waiting up to 10 s for it; says so and fails when none came.
window_titled() {
  local id
  for _ in $(seq 100); do
    id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n1 || true)
    [ -n "$id" ] && { echo "$id"; return; }
    sleep 0.1
  done
  echo "window '$1' did not appear" >&2
  exit 1
}

# shot_window ID FILE: the screen cut to the window (what lies over it, such
# as an open list, included), once it has had time to paint.
shot_window() {
  local X Y WIDTH HEIGHT
  sleep 0.7
  eval "$(xdotool getwindowgeometry --shell "$1" | sed -n 's/^\(X\|Y\|WIDTH\|HEIGHT\)=/\1=/p')"
  import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$2"
  echo "wrote $2"
}
