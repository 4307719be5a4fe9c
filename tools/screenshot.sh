#!/usr/bin/env bash
# Starts Quorvex under Xvfb from a scratch program folder and writes two PNGs of its
# window: as it starts (log hidden) and with the log shown.
# Usage: tools/screenshot.sh [EXECUTABLE] [OUTPUT_DIR]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
exe="${1:-$here/build/quorvex}"
out="${2:-$here/docs}"
source "$here/tools/deps.sh"
quorvex_need_packages xvfb xauth xdotool x11-utils imagemagick
mkdir -p "$out"
work="$(mktemp -d)"
trap 'kill $app $xvfb 2>/dev/null || true; rm -rf "$work"' EXIT
cp "$exe" "$work/quorvex"
printf 'setup.zip -> http://downloads.example.org/tools/setup.zip\r\nhandbuch.pdf -> https://example.org/docs/handbuch.pdf\r\nget.cgi?id=7 -> http://example.org/cgi/get.cgi?id=7\r\n' >"$work/URL-Liste.INI"
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
for f in "$out"/quorvex-log-*.png; do echo "$f $(identify -format '%wx%h' "$f")"; done
