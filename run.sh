#!/usr/bin/env bash
# Builds Quorvex in Release, puts it into app/ and starts it with the given arguments.
# app/ holds the list file and the Downloads folder, so rebuilding never touches them.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
cd "$here"
source tools/deps.sh
quorvex_need_packages "${QUORVEX_BUILD_PACKAGES[@]}" "${QUORVEX_RUN_PACKAGES[@]}"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build --target quorvex -j"$(nproc)" >/dev/null
mkdir -p app
install -m 0755 build/quorvex app/quorvex
exec app/quorvex "$@"
