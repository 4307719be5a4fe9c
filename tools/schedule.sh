#!/usr/bin/env bash
# Has systemd run "quorvex /DOWNLOAD" once a day for the current user: writes
# quorvex.service and quorvex.timer (from tools/systemd/) into
# $XDG_CONFIG_HOME/systemd/user (~/.config/systemd/user), with the program folder as
# working directory. Enabling the timer is left to you; the last line says how.
# Usage: tools/schedule.sh [EXECUTABLE]     (default: app/quorvex, see run.sh)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
source "$here/tools/installed.sh"
case "$exe" in
    *\"* | *\'* | *\\* | *[[:cntrl:]]*)
        echo "systemd starts no program whose path holds quotes, backslashes or control characters: $exe" >&2
        exit 1 ;;
esac
folder="$(dirname -- "$exe")"

# % starts a specifier in unit files.
service="$(<"$here/tools/systemd/quorvex.service")"
service="${service//@FOLDER@/"${folder//%/%%}"}"
service="${service//@EXECUTABLE@/"${exe//%/%%}"}"

units="${XDG_CONFIG_HOME:-$HOME/.config}/systemd/user"
mkdir -p "$units"
printf '%s\n' "$service" >"$units/quorvex.service"
cp "$here/tools/systemd/quorvex.timer" "$units/quorvex.timer"
echo "$units/quorvex.service"
echo "$units/quorvex.timer"
echo "Start it with: systemctl --user daemon-reload && systemctl --user enable --now quorvex.timer"
