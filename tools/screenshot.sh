#!/usr/bin/env bash
# Starts Quorvex under Xvfb from a scratch program folder and writes three PNGs of its
# window: as it starts (log hidden), with the log shown, and during a download from a
# slow local server (Xvfb has no window manager, so the window title is drawn above
# the picture).
# Usage: tools/screenshot.sh [EXECUTABLE] [OUTPUT_DIR]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
exe="${1:-$here/build/quorvex}"
out="${2:-$here/docs}"
source "$here/tools/deps.sh"
quorvex_need_packages xvfb xauth xdotool x11-utils imagemagick
mkdir -p "$out"
work="$(mktemp -d)"
app=""; server=""
trap 'kill $app $server $xvfb 2>/dev/null || true; rm -rf "$work"' EXIT
cp "$exe" "$work/quorvex"
# The entry fetched first (the last line) comes from a local server that sends 37 %
# of its body and then waits.
cat >"$work/routes.json" <<'JSON'
{"/tools/setup.zip": [{"send": "HTTP/1.1 200 OK\r\nContent-Length: 10000000\r\n\r\n"},
                      {"send_repeat": "x", "count": 3700000}, {"sleep": 60}]}
JSON
python3 "$here/tests/common/scripted_server.py" --routes "$work/routes.json" --port-file "$work/port" &
server=$!
for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done
port="$(cat "$work/port")"
printf 'handbuch.pdf -> https://example.org/docs/handbuch.pdf\r\nget.cgi?id=7 -> http://example.org/cgi/get.cgi?id=7\r\nsetup.zip -> http://127.0.0.1:%s/tools/setup.zip\r\n' "$port" >"$work/URL-Liste.INI"
mkdir -p "$work/bin"; printf '#!/bin/sh\nexit 0\n' >"$work/bin/xdg-open"; chmod +x "$work/bin/xdg-open"

display=":$(( (RANDOM % 400) + 100 ))"
Xvfb "$display" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
export DISPLAY="$display"
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
PATH="$work/bin:$PATH" QT_QPA_PLATFORM=xcb LC_ALL=C.UTF-8 "$work/quorvex" &
app=$!
win=""
for _ in $(seq 100); do
    win="$(xdotool search --name '^Quorvex$' 2>/dev/null | head -n1 || true)"
    [ -n "$win" ] && break
    sleep 0.1
done
[ -n "$win" ] || { echo "window did not appear" >&2; exit 1; }
sleep 0.5
import -window "$win" "$out/quorvex-log-hidden.png"
# Click "Log zeigen" (twips 7380/1020 inside the frame at 60/60, 15 twips a pixel).
xdotool mousemove --window "$win" 518 94 click 1
sleep 0.5
import -window "$win" "$out/quorvex-log-shown.png"
# Click "Jetzt laden" (twips 7380/300 inside the frame).
xdotool mousemove --window "$win" 522 42 click 1
sleep 1.5
title="$(xdotool getwindowname "$win")"
import -window "$win" "$work/progress.png"
convert "$work/progress.png" -background '#d6d6d6' -gravity north -splice 0x22 \
    -font DejaVu-Sans -pointsize 13 -fill black -annotate +0+3 "${title//%/%%}" "$out/quorvex-progress.png"
echo "title during the run: $title"
for f in "$out"/quorvex-*.png; do echo "$f $(identify -format '%wx%h' "$f")"; done
