#!/usr/bin/env bash
# `cmake --install` into a temporary prefix puts the programs, the help
# document, the font aliases, the desktop entry and the icon in place, and
# the installed program starts and opens a room.
# Usage: install_test.sh BUILD_DIR
set -euo pipefail
build=$1
prefix=$(mktemp -d)
work=$(mktemp -d)
pid=""
source "$(dirname "$0")/../../scripts/lib.sh"
BUS_PID=""
cleanup() {
  local hung=""
  if [ -n "$pid" ]; then stop_process "$pid" || hung=1; fi
  [ -z "$BUS_PID" ] || stop_process "$BUS_PID" >/dev/null || true
  rm -rf "$prefix" "$work" || true
  [ -z "$hung" ] || exit 1
}
trap cleanup EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
desktop=$(echo "$prefix"/share/applications/*.desktop)
for f in bin/parlora bin/parlora-cli share/parlora/help/index.html share/parlora/fonts.conf \
         share/icons/hicolor/scalable/apps/parlora.svg share/man/man1/parlora.1.gz \
         share/man/man1/parlora-cli.1.gz share/metainfo/$(basename "$desktop" .desktop).metainfo.xml; do
  [ -e "$prefix/$f" ] || { echo "FAILED: $f was not installed"; exit 1; }
done
grep -q '^Exec=parlora' "$desktop" || { echo "FAILED: desktop entry"; exit 1; }

# The installed program opens a room; a headless member finds it there.
# Ranges of its own (e2e_chat.sh uses 127.0.0.100-149 and 200-224, package_test.sh 50-99).
addr=127.0.0.$((150 + RANDOM % 50))
start_session_bus "$work"
export QT_QPA_PLATFORM=offscreen PARLORA_REGISTRY_DIR="$work" PARLORA_LISTEN_ADDR=$addr \
  PARLORA_OWN_IP=$addr
"$prefix/bin/parlora" SV HD=Taro >"$work/out" 2>&1 &
pid=$!
member=127.0.0.$((225 + RANDOM % 25))
for _ in $(seq 100); do
  if echo | PARLORA_LISTEN_ADDR=$member PARLORA_OWN_IP=$member \
      timeout 20 "$prefix/bin/parlora-cli" --join "$addr" --handle probe >"$work/cli" 2>&1; then
    break
  fi
  kill -0 "$pid" 2>/dev/null || { echo "FAILED: the installed program ended"; cat "$work/out"; exit 1; }
  sleep 0.2
done
grep -q "probe さんが入室しました" "$work/cli" || { echo "FAILED: no room at the installed program"; cat "$work/cli"; exit 1; }
echo "1 passed, 0 failed"
