#!/usr/bin/env bash
# Installs what the tests need, builds, and runs the whole suite with CTest twice:
# a Release build, then a clang build with the address and undefined-behaviour
# sanitizers that also runs the fuzz targets for a bounded time.
# Arguments are passed on to both ctest runs (e.g. -R tst_batchrun).
# QUORVEX_SKIP_SANITIZERS=1 runs the Release pass only.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
cd "$here"
source tools/deps.sh
quorvex_need_packages "${QUORVEX_BUILD_PACKAGES[@]}" "${QUORVEX_RUN_PACKAGES[@]}" "${QUORVEX_TEST_PACKAGES[@]}"
jobs="$(nproc)"

echo "== Release build and tests"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs" "$@"

if [ -n "${QUORVEX_SKIP_SANITIZERS:-}" ]; then
    exit 0
fi
echo "== Sanitizer build (address, undefined) with fuzz targets, and tests"
CC=clang CXX=clang++ cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEX_FUZZ=ON >/dev/null
cmake --build build-sanitize -j"$jobs"
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    LSAN_OPTIONS="suppressions=$here/tests/lsan.supp:print_suppressions=0" \
    ctest --test-dir build-sanitize --output-on-failure -j"$jobs" "$@"
