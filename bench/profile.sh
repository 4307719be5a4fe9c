#!/usr/bin/env bash
# Profiles one quorvex /DOWNLOAD run per case against a local nginx: where the CPU
# goes (perf, with call graphs) and which system calls it makes (strace -c).
# The Release build carries debug info (-g) so that the call graphs have names.
set -euo pipefail

usage() {
    cat <<'EOF'
Usage: bench/profile.sh [options]
  -c, --cases LIST   comma-separated subset of: big,many,tiny,https-many (default all)
      --big-mib N    big: one body of N MiB (default 256)
      --many N       many: N bodies of 4 KiB (default 1000)
      --tiny N       tiny: N bodies of 100 bytes (default 10000)
      --https-many N https-many: N bodies of 4 KiB over https (default 300)
  -o, --out DIR      where the reports go (default: profile/ in the build folder)
      --callgrind    count instructions with valgrind's callgrind instead of sampling
                     with perf: slower, but the same count on a busy machine
Per case DIR holds CASE.perf.data, CASE.perf.txt (the heaviest functions by own time,
then by time with callees), CASE.strace.txt (strace -c -f) and CASE.wall.txt; with --callgrind CASE.callgrind.out and CASE.callgrind.txt (the heaviest
functions by own instructions, then inclusive) in place of the perf files.
perf needs root or kernel.perf_event_paranoid <= 1.
Environment: QUORVEX_BENCH_BUILD (build folder, default build-bench), QUORVEX_BENCH_BINARY
(the quorvex to profile, default the one built there), TMPDIR.
EOF
}

benchDir="$(cd "$(dirname "$0")" && pwd)"
here="$(cd "$benchDir/.." && pwd)"
cases=big,many,tiny,https-many bigMiB=256 many=1000 tiny=10000 httpsMany=300 out="" callgrind=""
while [ $# -gt 0 ]; do
    case "$1" in
    -c | --cases) cases="${2:-}"; shift ;;
    --big-mib) bigMiB="${2:-}"; shift ;;
    --many) many="${2:-}"; shift ;;
    --tiny) tiny="${2:-}"; shift ;;
    --https-many) httpsMany="${2:-}"; shift ;;
    -o | --out) out="${2:-}"; shift ;;
    --callgrind) callgrind=1 ;;
    -h | --help) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
    esac
    shift
done
want() { [[ ",$cases," == *",$1,"* ]]; }

cd "$here"
source tools/deps.sh
if [ -n "$callgrind" ]; then
    quorvex_need_packages "${QUORVEX_BUILD_PACKAGES[@]}" nginx-light curl python3 strace valgrind
else
    quorvex_need_packages "${QUORVEX_BUILD_PACKAGES[@]}" nginx-light curl python3 strace linux-perf
fi
source "$benchDir/lib.sh"
build="${QUORVEX_BENCH_BUILD:-$here/build-bench}"
out="${out:-$build/profile}"
mkdir -p "$out"
out="$(cd "$out" && pwd)"
say "build (Release with debug info) in $build"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-g >/dev/null
cmake --build "$build" --target quorvex -j2 >/dev/null
testedBinary="${QUORVEX_BENCH_BINARY:-$build/quorvex}"

work="$(mktemp -d "${TMPDIR:-/tmp}/quorvex-profile.XXXXXX")"
pids=() mounts=() trustEnv=() diskEnv=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
    noteCleanUp
}
trap cleanup EXIT
trap 'exit 130' INT TERM

prepareWork
startNginx

# The list of a case: COUNT bodies of SIZE bytes under /CASE/.
makeList() { # case count size [base]
    python3 - "$files/$1" "$2" "$3" "${4:-$base}/$1" "$work/$1.qlist" <<'EOF'
import os, sys
folder, count, size, url, qlist = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4], sys.argv[5]
os.makedirs(folder)
width = len(str(count - 1))
with open(qlist, "w", newline="") as q:
    for i in range(count):
        name = "f%0*d.bin" % (width, i)
        with open(os.path.join(folder, name), "wb") as f:
            f.write(os.urandom(size))
        q.write("%s -> %s/%s\r\n" % (name, url, name))
EOF
}

# Instruction counts of one run, the whole process; the summary line of the annotation
# is the total.
callgrindCase() { # case dir
    say "$1: callgrind"
    newProgram "$2" "$work/$1.qlist"
    env "${trustEnv[@]}" valgrind --tool=callgrind --callgrind-out-file="$out/$1.callgrind.out" "$2/quorvex" /DOWNLOAD \
        >"$2/quorvex.out" 2>"$out/$1.valgrind.txt" \
        || { tail -n 20 "$2/quorvex.out" >&2; die "quorvex /DOWNLOAD under callgrind failed"; }
    [ ! -s "$2/URL-Liste.INI" ] || die "$1: entries left after the run under callgrind"
    removeAndAge "$2"
    {
        callgrind_annotate --threshold=95 "$out/$1.callgrind.out"
        callgrind_annotate --inclusive=yes --threshold=90 "$out/$1.callgrind.out"
    } >"$out/$1.callgrind.txt" 2>/dev/null
}

perfCase() { # case dir
    local d="$2"
    say "$1: perf"
    newProgram "$d" "$work/$1.qlist"
    perf record -q -F 999 --call-graph dwarf,16384 -o "$out/$1.perf.data" -- env "${trustEnv[@]}" "$d/quorvex" /DOWNLOAD >"$d/quorvex.out" 2>&1 \
        || { tail -n 20 "$d/quorvex.out" >&2; die "quorvex /DOWNLOAD under perf failed"; }
    [ ! -s "$d/URL-Liste.INI" ] || die "$1: entries left after the run under perf"
    removeAndAge "$d"
    perf report -i "$out/$1.perf.data" --stdio --no-children --percent-limit 1.5 -g none \
        --sort symbol,dso >"$out/$1.perf.txt" 2>/dev/null
    perf report -i "$out/$1.perf.data" --stdio --children --percent-limit 5 -g none \
        --sort symbol >>"$out/$1.perf.txt" 2>/dev/null
}

profileCase() { # case
    local d="$work/runs/$1"
    removeAndAge "$work/runs"
    if [ -n "$callgrind" ]; then callgrindCase "$1" "$d"; else perfCase "$1" "$d"; fi

    say "$1: strace"
    newProgram "$d" "$work/$1.qlist"
    strace -c -f -o "$out/$1.strace.txt" env "${trustEnv[@]}" "$d/quorvex" /DOWNLOAD >"$d/quorvex.out" 2>&1 \
        || { tail -n 20 "$d/quorvex.out" >&2; die "quorvex /DOWNLOAD under strace failed"; }
    removeAndAge "$d"

    newProgram "$d" "$work/$1.qlist"
    timeRun "$d/quorvex.out" env "${trustEnv[@]}" "$d/quorvex" /DOWNLOAD
    echo "wall $WALL s, CPU $CPU s (user + system), exit $RC, plain run" >"$out/$1.wall.txt"
    removeAndAge "$d"
    say "$1: $(cat "$out/$1.wall.txt")"
}

if want big; then
    mkdir -p "$files/big"
    head -c $((bigMiB << 20)) /dev/urandom >"$files/big/big.bin"
    printf 'big.bin -> %s/big/big.bin\r\n' "$base" >"$work/big.qlist"
    profileCase big
fi
if want many; then makeList many "$many" 4096 && profileCase many; fi
if want tiny; then makeList tiny "$tiny" 100 && profileCase tiny; fi
if want https-many; then makeList https-many "$httpsMany" 4096 "$tlsBase" && profileCase https-many; fi
say "reports in $out"
