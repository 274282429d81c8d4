#!/usr/bin/env bash
# Takes the screenshots under docs/screenshots/ from the real program running
# under Xvfb with the Japanese fonts: the start dialog, the options dialog
# and a chat window with a short conversation between two running copies.
# Also the room selection dialog and the version dialog, and under openbox the
# game and template windows beside a chat window, the font and save dialogs.
# Usage: scripts/screenshots.sh [build-dir]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
parlora="$build/src/app/parlora"
out=docs/screenshots
[ -x "$parlora" ] || { echo "no program at $parlora (build first)" >&2; exit 1; }
for tool in Xvfb xdotool import openbox xprop xwininfo; do
  command -v "$tool" >/dev/null || { echo "$tool is missing (scripts/setup.sh test)" >&2; exit 1; }
done
mkdir -p "$out"

work=$(mktemp -d)
pids=()
# The copies keep their templates beside the program and save them when they
# end; the pictures start from none, and a user's own file comes back after.
templates_file="$(dirname "$parlora")/parlora.ini"
[ -e "$templates_file" ] && mv "$templates_file" "$work/parlora.ini.kept"
source scripts/lib.sh
# The copies end before their X server, newest first.
cleanup() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do stop_process "${pids[i]}" >/dev/null || true; done
  rm -f "$templates_file"
  [ -e "$work/parlora.ini.kept" ] && mv "$work/parlora.ini.kept" "$templates_file"
  rm -rf "$work"
}
trap cleanup EXIT

start_xvfb "$work" || { echo "Xvfb did not start" >&2; exit 1; }
pids+=("$XVFB_PID")
start_session_bus "$work"
[ -z "$BUS_PID" ] || pids+=("$BUS_PID")

export QT_QPA_PLATFORM=xcb
export PARLORA_REGISTRY_DIR="$work/registry"
export PARLORA_LISTEN_ADDR=127.0.0.1
export PARLORA_OWN_IP=127.0.0.1
mkdir -p "$PARLORA_REGISTRY_DIR"

shot() { shot_window "$1" "$out/$2"; } # window-id file

# Start dialog (the splash has gone after its two seconds), then the
# options dialog opened from its "設定" button.
"$parlora" &
pids+=($!)
start=$(window_titled "Parlora for DirectPlay")
sleep 2.5
shot "$start" start-dialog.png
xdotool mousemove --window "$start" 207 301 click 1
options=$(window_titled "設定")
shot "$options" options-dialog.png
kill "${pids[-1]}"
wait "${pids[-1]}" 2>/dev/null || true

# Two copies in one room; a few lines typed into each.
chat_of() { # pid: its chat window once it is in the room
  local id
  for _ in $(seq 100); do
    id=$(xdotool search --all --onlyvisible --pid "$1" --name "^Parlora:Taro'ROOM" 2>/dev/null | head -n1 || true)
    [ -n "$id" ] && { echo "$id"; return; }
    sleep 0.1
  done
  echo "no chat window of process $1" >&2
  exit 1
}
"$parlora" SV HD=Taro &
pids+=($!)
taro=$(chat_of "${pids[-1]}")
# A second room at the same address, so the newcomer chooses among two.
"$parlora" SV HD=Jiro &
pids+=($!)
jiro=$(window_titled "Parlora:Jiro'ROOM")
xdotool windowmove "$jiro" 540 260
"$parlora" IP=127.0.0.1 CL HD=Hanako &
pids+=($!)
select=$(window_titled "入室するチャットルームを選択して下さい")
shot "$select" room-selection.png
xdotool mousemove --window "$select" 165 156 click 1
hanako=$(chat_of "${pids[-1]}")
xdotool windowmove "$taro" 20 20 windowmove "$hanako" 520 120
menu() { # window-id menu-key item-key: choose a menu item by its accelerators
  xdotool windowfocus --sync "$1"
  xdotool key --window "$1" "alt+$2"
  sleep 0.3
  xdotool key "$3"
}
click_memo() { # window-id: put the caret in the chat window's message box
  local height
  height=$(xdotool getwindowgeometry --shell "$1" | sed -n 's/^HEIGHT=//p')
  xdotool mousemove --window "$1" 120 $((height - 80)) click 1
}
say() { # window-id text
  xdotool windowraise "$1"
  sleep 0.2
  click_memo "$1"
  xdotool type --window "$1" --delay 80 "$2"
  xdotool key --window "$1" ctrl+s
  sleep 0.5
}
say "$taro" "こんにちは、表ソ能ーです。"
say "$hanako" "Hello! はじめまして。"
say "$taro" "今日は①㈱～のテストです"
xdotool windowraise "$taro"
shot "$taro" chat-window.png
menu "$taro" h v
about=$(window_titled "ﾊﾞｰｼﾞｮﾝ情報")
shot "$about" version-dialog.png
xdotool key Escape
sleep 0.3

# The template window with a registered phrase, then a game round in play.
menu "$taro" t m
templates=$(window_titled "Message Template")
xdotool windowmove "$templates" 520 20
for phrase in "おはようございます" "よろしくお願いします" "またね"; do
  xdotool windowfocus --sync "$taro"
  click_memo "$taro"
  xdotool type --window "$taro" --delay 60 "$phrase"
  xdotool mousemove --window "$templates" 45 318 click 1
  sleep 0.3
done
shot "$templates" template-window.png
menu "$taro" t j
game=$(window_titled "じゃんけん")
xdotool mousemove --window "$game" 50 17 click 1
sleep 0.5
menu "$hanako" t j
game2=$(xdotool search --all --onlyvisible --pid "${pids[-1]}" --name "^じゃんけん\$" | head -n1)
shot "$game2" jyanken-window.png
xdotool mousemove --window "$game2" 84 17 click 1
sleep 1
xdotool windowraise "$taro"
shot "$taro" chat-window-jyanken.png

# The name guide under the caret after ">", and the help viewer.
xdotool windowactivate --sync "$taro" 2>/dev/null || xdotool windowfocus --sync "$taro"
click_memo "$taro"
xdotool type --window "$taro" --delay 80 "また遊ぼうね >"
sleep 1.5
shot "$taro" chat-window-name-guide.png
xdotool key --window "$taro" Escape
menu "$taro" h i
help=$(window_titled "Parlora ヘルプ")
shot "$help" help-viewer.png
# A fresh run under a window manager, so the windows wear their frames: the
# game and template windows placed beside the chat window by the program
# itself, and the standard dialogs in Japanese. The copies above end first
# (saving their templates), and the window manager comes before the windows.
for ((i = ${#pids[@]} - 1; i >= 0; i--)); do stop_process "${pids[i]}" >/dev/null || true; done
pids=()
mkdir -p "$work/framed"
start_xvfb "$work/framed" || { echo "Xvfb did not start" >&2; exit 1; }
pids+=("$XVFB_PID")
start_session_bus "$work/framed"
[ -z "$BUS_PID" ] || pids+=("$BUS_PID")
openbox --sm-disable >"$work/openbox.out" 2>&1 &
pids+=($!)
for _ in $(seq 300); do
  xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id" && break
  sleep 0.1
done
sleep 3 # it claims the screen before it is ready to frame new windows
framed_shot() { # file window-id...: the screen, cut to the frames of the windows
  local left=100000 top=100000 right=0 bottom=0 id x y w h l r t b
  sleep 1
  for id in "${@:2}"; do
    # xdotool counts the frame twice for a framed window; xwininfo does not.
    eval "$(xwininfo -id "$id" | sed -n 's/^ *Absolute upper-left X: *\(-\?[0-9]*\)/X=\1/p
      s/^ *Absolute upper-left Y: *\(-\?[0-9]*\)/Y=\1/p; s/^ *Width: *\([0-9]*\)/WIDTH=\1/p
      s/^ *Height: *\([0-9]*\)/HEIGHT=\1/p')"
    read -r l r t b < <(xprop -id "$id" _NET_FRAME_EXTENTS | sed 's/.*= //; s/,//g')
    x=$((X - ${l:-0})); y=$((Y - ${t:-0}))
    w=$((WIDTH + ${l:-0} + ${r:-0})); h=$((HEIGHT + ${t:-0} + ${b:-0}))
    [ $x -lt $left ] && left=$x
    [ $y -lt $top ] && top=$y
    [ $((x + w)) -gt $right ] && right=$((x + w))
    [ $((y + h)) -gt $bottom ] && bottom=$((y + h))
  done
  import -window root -crop "$((right - left))x$((bottom - top))+${left}+${top}" +repage "$out/$1"
  echo "wrote $out/$1"
}
"$parlora" SV HD=Taro &
pids+=($!)
taro=$(chat_of "${pids[-1]}")
sleep 2.5 # the splash goes
xdotool windowmove "$taro" 40 40
sleep 0.5
menu "$taro" t m
templates=$(window_titled "Message Template")
menu "$taro" t j
game=$(window_titled "じゃんけん")
framed_shot game-and-template-beside-chat.png "$taro" "$templates" "$game"

xdotool windowactivate --sync "$taro" 2>/dev/null || xdotool windowfocus --sync "$taro"
eval "$(xdotool getwindowgeometry --shell "$taro" | sed -n 's/^\(WIDTH\|HEIGHT\)=/\1=/p')"
xdotool mousemove --window "$taro" $((WIDTH - 30)) $((HEIGHT - 32)) click 1
font=$(window_titled "フォントの選択")
framed_shot font-dialog.png "$font"
xdotool key Escape
sleep 0.5
menu "$taro" f s
save=$(window_titled "名前を付けて保存")
framed_shot save-dialog.png "$save"
xdotool key Escape
