#!/usr/bin/env bash
# Installs what the tests need, builds, and runs the whole suite with CTest.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
cd "$here"
source tools/deps.sh
quorvex_need_packages "${QUORVEX_BUILD_PACKAGES[@]}" "${QUORVEX_RUN_PACKAGES[@]}" "${QUORVEX_TEST_PACKAGES[@]}"
jobs="$(nproc)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs" "$@"
