#!/usr/bin/env bash
# Time from starting `parlora SV HD=Taro` to its room being open (the chat
# window's caption "Parlora:Taro'ROOM" appearing), under Xvfb, N runs.
# Usage: bench/bench_startup.sh [build-dir] [runs]
set -euo pipefail
build=${1:-build}
runs=${2:-10}
parlora="$build/src/app/parlora"
work=$(mktemp -d)
source "$(dirname "$0")/../scripts/lib.sh"
trap 'kill ${XVFB_PID:-} 2>/dev/null; rm -rf "$work"' EXIT
start_xvfb "$work" || { echo "Xvfb did not start" >&2; exit 1; }
# An address of its own, so no other copy of the program answers for it.
addr=127.0.0.$((100 + RANDOM % 100))
export QT_QPA_PLATFORM=xcb PARLORA_REGISTRY_DIR="$work" \
  PARLORA_LISTEN_ADDR=$addr PARLORA_OWN_IP=$addr
times=()
for i in $(seq "$runs"); do
  start=$(date +%s%N)
  "$parlora" SV HD=Taro >/dev/null 2>&1 &
  pid=$!
  limit=$((SECONDS + 30))
  until xdotool search --onlyvisible --name "^Parlora:Taro'ROOM" 2>/dev/null | grep -q .; do
    [ $SECONDS -lt $limit ] || { echo "run $i: the room did not open" >&2; exit 1; }
    sleep 0.01
  done
  end=$(date +%s%N)
  times+=($(((end - start) / 1000000)))
  kill "$pid"
  wait "$pid" 2>/dev/null || true
done
sorted=$(printf '%s\n' "${times[@]}" | sort -n)
echo "runs: ${times[*]} ms"
echo "median: $(echo "$sorted" | sed -n "$(((runs + 1) / 2))p") ms, best: $(echo "$sorted" | head -n1) ms"
