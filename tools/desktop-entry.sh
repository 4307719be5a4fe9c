#!/usr/bin/env bash
# Puts Quorvex into the desktop's application menu for the current user: writes
# quorvex.desktop into $XDG_DATA_HOME/applications (~/.local/share/applications) and
# the icon into $XDG_DATA_HOME/icons/hicolor, starting the given executable.
# Usage: tools/desktop-entry.sh [EXECUTABLE]     (default: app/quorvex, see run.sh)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
source "$here/tools/installed.sh"
case "$exe" in
    *$'\n'* | *$'\r'*) echo "The path of the executable holds a line break; a desktop entry cannot start it" >&2; exit 1 ;;
esac
command -v desktop-file-validate >/dev/null || {
    source "$here/tools/deps.sh"
    quorvex_need_packages desktop-file-utils
}

data="${XDG_DATA_HOME:-$HOME/.local/share}"
apps="$data/applications"
icons="$data/icons/hicolor"

# Exec takes the path as one quoted argument: inside the quotes \ " ` $ get a
# backslash, then the value's own escaping doubles every backslash, and % is
# doubled for the field codes.
quoted="$exe"
quoted="${quoted//\\/\\\\}"
quoted="${quoted//\"/\\\"}"
quoted="${quoted//\`/\\\`}"
quoted="${quoted//\$/\\\$}"
quoted="${quoted//\\/\\\\}"
quoted="${quoted//%/%%}"

for size in 16 32 48 128; do
    install -D -m 0644 "$here/tools/icons/quorvex-$size.png" "$icons/${size}x${size}/apps/quorvex.png"
done

# Checked before it goes where the menu looks.
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cat >"$work/quorvex.desktop" <<DESKTOP
[Desktop Entry]
Type=Application
Version=1.4
Name=Quorvex
GenericName=Download-Werkzeug
Comment=Lädt eine Liste von Dateien per HTTP in den Ordner Downloads neben dem Programm
Exec="$quoted"
Icon=quorvex
Terminal=false
Categories=Network;FileTransfer;
DESKTOP
desktop-file-validate "$work/quorvex.desktop"
entry="$apps/quorvex.desktop"
install -D -m 0644 "$work/quorvex.desktop" "$entry"
command -v update-desktop-database >/dev/null && update-desktop-database -q "$apps" || true
command -v gtk-update-icon-cache >/dev/null && gtk-update-icon-cache -q -t "$icons" 2>/dev/null || true
echo "$entry"
