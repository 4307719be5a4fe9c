#!/usr/bin/env bash
# Measures Quorvex against curl and wget on a local nginx and ends with one line per
# goal. Run it on a quiet machine: with other work on the cores the ratios swing by 2x.
#
# Paired cases run Quorvex (A) and its peer (B) by turns, A B B A A B ..., a warm-up
# pair first; the figure is the median of the per-pair ratios A/B, with their min and max.
# A spread (max/min) over 1.5 marks the case as measured on a busy machine.
#
# Between any two runs the bench's file system is synced (outside the timed part), so
# one program's page-cache writeback never lands on the other's run. Caches are not
# dropped: the served files stay in memory for both programs alike.
set -euo pipefail

usage() {
    cat <<'EOF'
Usage: bench/run.sh [options]
  -p, --pairs N      counted pairs per paired case (default 7)
  -w, --warmup N     warm-up pairs, not counted (default 1)
  -c, --cases LIST   comma-separated subset of:
                     big,checksum,many,tiny,slow-disk,real,https-many,https-big,memory,disk,
                     start,idle,log,window
      --big-mib N    big: one body of N MiB against curl (default 256); checksum:
                     the same body with "#sha256=" in its link against without
      --many N       many: N bodies of 4 KiB against wget -i (default 1000)
      --tiny N       tiny: N bodies of 100 bytes against wget -i (default 10000)
      --slow N       slow-disk: N bodies of 4 KiB against wget -i, both on a disk
                     whose flushes take --flush-ms longer (default 300)
      --flush-ms N   slow-disk: the time a flush takes (default 10)
      --real-mib N   real-speed: N MiB at 20 MiB/s against curl (default 64)
      --https-many N https-many: N bodies of 4 KiB over https against
                     wget --no-http-keep-alive -i, a connection per file (default 300);
                     once with the bundle alone, once beside the system's folder
      --https-mib N  https-big: one body of N MiB over https against curl (default 64)
      --mem-mib N    memory: the large body, N MiB (default 1024; the small one is 16)
      --disk-mib N   disk: a body of N MiB on a tmpfs (default 64; needs root)
  -q, --quick        short run for checking the bench itself: 3 pairs, 32 MiB big,
                     200 many, 1000 tiny, 8 MiB real-speed, 100 https-many,
                     16 MiB https-big, 64 MiB memory, 16 MiB disk
      --self-test    check the pair statistics and exit
  -h, --help
Environment: QUORVEX_BENCH_BUILD (build folder, default build-bench), QUORVEX_BENCH_BINARY
(the quorvex to measure, default the one built there), TMPDIR (work area).
Exit status: 0 every goal held, 1 a goal missed, 2 the bench itself failed.
EOF
}

benchDir="$(cd "$(dirname "$0")" && pwd)"
here="$(cd "$benchDir/.." && pwd)"
pairs="" warmup=1 cases="" bigMiB="" many="" tiny="" realMiB="" memMiB="" diskMiB="" quick=""
httpsMany="" httpsMiB="" slow="" flushMs=10
number() { [[ "$2" =~ ^[0-9]+$ ]] || { echo "bench: $1 needs a number, not '$2'" >&2; exit 2; }; echo "$2"; }
while [ $# -gt 0 ]; do
    case "$1" in
    -p | --pairs) pairs="$(number "$1" "${2:-}")"; shift ;;
    -w | --warmup) warmup="$(number "$1" "${2:-}")"; shift ;;
    -c | --cases) cases="${2:-}"; shift ;;
    --big-mib) bigMiB="$(number "$1" "${2:-}")"; shift ;;
    --many) many="$(number "$1" "${2:-}")"; shift ;;
    --tiny) tiny="$(number "$1" "${2:-}")"; shift ;;
    --slow) slow="$(number "$1" "${2:-}")"; shift ;;
    --flush-ms) flushMs="$(number "$1" "${2:-}")"; shift ;;
    --real-mib) realMiB="$(number "$1" "${2:-}")"; shift ;;
    --https-many) httpsMany="$(number "$1" "${2:-}")"; shift ;;
    --https-mib) httpsMiB="$(number "$1" "${2:-}")"; shift ;;
    --mem-mib) memMiB="$(number "$1" "${2:-}")"; shift ;;
    --disk-mib) diskMiB="$(number "$1" "${2:-}")"; shift ;;
    -q | --quick) quick=1 ;;
    --self-test) exec "$benchDir/selftest.sh" ;;
    -h | --help) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
    esac
    shift
done
if [ -n "$quick" ]; then
    : "${pairs:=3}" "${bigMiB:=32}" "${many:=200}" "${tiny:=1000}" "${realMiB:=8}" "${memMiB:=64}" "${diskMiB:=16}"
    : "${httpsMany:=100}" "${httpsMiB:=16}" "${slow:=100}"
fi
: "${pairs:=7}" "${bigMiB:=256}" "${many:=1000}" "${tiny:=10000}" "${realMiB:=64}" "${memMiB:=1024}" "${diskMiB:=64}"
: "${httpsMany:=300}" "${httpsMiB:=64}" "${slow:=300}"
[ "$pairs" -ge 1 ] || { echo "bench: at least one pair" >&2; exit 2; }
for n in "$bigMiB" "$many" "$tiny" "$slow" "$realMiB" "$memMiB" "$diskMiB" "$httpsMany" "$httpsMiB"; do
    [ "$n" -ge 1 ] || { echo "bench: sizes and counts start at 1" >&2; exit 2; }
done
allCases=big,checksum,many,tiny,slow-disk,real,https-many,https-big,memory,disk,start,idle,log,window
cases="${cases:-$allCases}"
for c in ${cases//,/ }; do
    [[ ",$allCases," == *",$c,"* ]] || { echo "bench: unknown case '$c'" >&2; exit 2; }
done
want() { [[ ",$cases," == *",$1,"* ]]; }

cd "$here"
source tools/deps.sh
quorvex_need_packages "${QUORVEX_BUILD_PACKAGES[@]}" nginx-light curl wget time python3 coreutils diffutils openssl
source "$benchDir/lib.sh"

build="${QUORVEX_BENCH_BUILD:-$here/build-bench}"
say "build (Release) in $build"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target quorvex bench_writelog bench_idle bench_window slowflush -j2 >/dev/null
# Another build of the program to measure (an earlier commit's, for figures before a
# change); the bench's own helpers still come from this checkout.
testedBinary="${QUORVEX_BENCH_BINARY:-$build/quorvex}"

# Served files, the downloads kept until a case ends (each body once: its
# part file becomes the download) and slack: refuse to start rather than fill the disk.
tmp="${TMPDIR:-/tmp}"
blocks() { echo $(((($1 + 4095) / 4096) * 4)); } # bytes -> KiB in 4 KiB blocks
needKiB=$((1024 * 1024))
{ want big || want checksum; } && needKiB=$((needKiB + 3 * (bigMiB << 10)))
want real && needKiB=$((needKiB + 3 * (realMiB << 10)))
want https-big && needKiB=$((needKiB + 3 * (httpsMiB << 10)))
want https-many && needKiB=$((needKiB + (4 * (warmup + pairs) + 1 + warmup + pairs) * httpsMany * $(blocks 4096)))
want memory && needKiB=$((needKiB + 3 * (memMiB << 10) + (16 << 10) * 3))
want many && needKiB=$((needKiB + (2 * (warmup + pairs) + 1) * many * $(blocks 4096)))
want tiny && needKiB=$((needKiB + (2 * (warmup + pairs) + 1) * tiny * $(blocks 100)))
want slow-disk && needKiB=$((needKiB + (2 * (warmup + pairs) + 1) * slow * $(blocks 4096)))
want disk && needKiB=$((needKiB + (diskMiB << 10)))
freeKiB="$(df -Pk "$tmp" | awk 'NR == 2 { print $4 }')"
[ "$freeKiB" -ge "$needKiB" ] || die "$tmp has $((freeKiB / 1024)) MiB free, needs $((needKiB / 1024)) MiB"

work="$(mktemp -d "$tmp/quorvex-bench.XXXXXX")"
pids=() mounts=() trustEnv=() diskEnv=()
cleanup() {
    local pid m
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    for m in "${mounts[@]}"; do umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null || true; done
    rm -rf "$work"
    noteCleanUp
}
trap cleanup EXIT
trap 'exit 130' INT TERM

waitForAgedInodes
prepareWork

say "generating files in $files"
random() { head -c $(($2 << 20)) /dev/urandom >"$files/$1"; }
{ want big || want checksum; } && random big.bin "$bigMiB"
want checksum && bigSum="$(sha256sum "$files/big.bin" | cut -d' ' -f1)"
want real && random real.bin "$realMiB"
want https-big && random https-big.bin "$httpsMiB"
want memory && random m16.bin 16 && random large.bin "$memMiB"
want disk && random disk.bin "$diskMiB"
startNginx

# The list files of a case of COUNT bodies of SIZE bytes under /CASE/ (of BASE, the
# http server unless given).
makeListCase() { # case count size [base]
    python3 - "$files/$1" "$2" "$3" "${4:-$base}/$1" "$work/$1.qlist" "$work/$1.wlist" <<'EOF'
import os, sys
folder, count, size, url, qlist, wlist = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4], sys.argv[5], sys.argv[6]
os.makedirs(folder)
width = len(str(count - 1))
with open(qlist, "w", newline="") as q, open(wlist, "w") as w:
    for i in range(count):
        name = "f%0*d.bin" % (width, i)
        with open(os.path.join(folder, name), "wb") as f:
            f.write(os.urandom(size))
        q.write("%s -> %s/%s\r\n" % (name, url, name))
        w.write("%s/%s\n" % (url, name))
EOF
}
want many && makeListCase many "$many" 4096
want tiny && makeListCase tiny "$tiny" 100
want slow-disk && makeListCase slow-disk "$slow" 4096
want https-many && makeListCase https-many "$httpsMany" 4096 "$tlsBase"
settle

# --- paired cases ------------------------------------------------------------------
# A runner takes the tool (q or p) and the pair's number, sets WALL and CPU and checks
# what arrived. Runs keep folders of their own until the bench ends (setAside): on a
# file system that avoids reusing recently freed inodes, creating files after removing
# thousands costs more, and that would fall on whichever program ran next.

runOne() { # name url tool pair
    local d="$work/runs/$1-$4"
    if [ "$3" = q ]; then
        printf '%s -> %s\r\n' "$1" "$2" >"$work/one.qlist"
        newProgram "$d" "$work/one.qlist"
        timeQuorvex "$d"
        sameFile "$d/Downloads/$1" "$files/$1"
    else
        mkdir -p "$d"
        timeRun "$d/curl.out" curl -sS --cacert "$trust" -o "$d/$1" "$2"
        [ "$RC" -eq 0 ] || die "curl ended with $RC: $(cat "$d/curl.out")"
        syncedPeer sync "$d/$1"
        sameFile "$d/$1" "$files/$1"
    fi
    rm -rf "$d"
}
runBig() { runOne big.bin "$base/big.bin" "$@"; }
# Quorvex both times: with the body's SHA-256 in the link (q) and without (p). The
# peer's "synced" figure is its own: both runs sync the body before naming it.
runChecksum() { # tool pair
    local d="$work/runs/checksum-$2-$1" url="$base/big.bin"
    [ "$1" = q ] && url="$url#sha256=$bigSum"
    printf 'big.bin -> %s\r\n' "$url" >"$work/one.qlist"
    newProgram "$d" "$work/one.qlist"
    timeQuorvex "$d"
    sameFile "$d/Downloads/big.bin" "$files/big.bin"
    if [ "$1" = q ]; then
        grep -q 'Prüfsumme stimmt (sha256)' "$d/quorvex.out" || die "checksum: the body was not checked"
    fi
    SYNCED="$WALL"
    rm -rf "$d"
}
runReal() { runOne real.bin "$base/slow/real.bin" "$@"; }
runHttpsBig() { runOne https-big.bin "$tlsBase/https-big.bin" "$@"; }

runListCase() { # case count tool pair [wget option...]
    local d="$work/runs/$1-$4-$3" deep=""
    [ "$4" -eq 1 ] && deep=1
    if [ "$3" = q ]; then
        newProgram "$d" "$work/$1.qlist"
        timeQuorvex "$d"
        sameFolder "$d/Downloads" "$files/$1" "$2" $deep
    else
        timeRun "$d.out" env "${diskEnv[@]}" wget -q --ca-certificate="$trust" "${@:5}" -i "$work/$1.wlist" -P "$d"
        [ "$RC" -eq 0 ] || die "wget ended with $RC: $(tail -n 5 "$d.out")"
        syncedPeer sync -f "$d"
        sameFolder "$d" "$files/$1" "$2" $deep
    fi
}
runMany() { runListCase many "$many" "$@"; }
runTiny() { runListCase tiny "$tiny" "$@"; }
# Both programs on the slow disk; Quorvex's device flushes are counted.
runSlowDisk() {
    local count="$work/slow-disk-$2-$1.count"
    diskEnv=(LD_PRELOAD="$build/bench/libslowflush.so" SLOWFLUSH_MS="$flushMs" SLOWFLUSH_COUNT="$count")
    runListCase slow-disk "$slow" "$@"
    diskEnv=()
    if [ "$1" = q ] && [ "$2" -gt "$warmup" ]; then awk '{ print $2 }' "$count" >>"$work/slow-disk.flushes"; fi
}
# The peer that, like Quorvex, opens a new connection (and TLS session) per file.
runHttpsMany() { runListCase https-many "$httpsMany" "$@" --no-http-keep-alive; }

pairCase() { # case runner peer detail
    local i qw qc pw pc ps
    : >"$work/$1.pairs"
    : >"$work/$1-synced.pairs"
    say "$1 (load $(cut -d' ' -f1 /proc/loadavg))"
    for i in $(seq 1 $((warmup + pairs))); do
        # Every other pair the peer goes first (A B, B A, A B, ...): what one run leaves
        # behind that slows the next (file system state that settles over tens of
        # seconds) falls on both programs alike instead of always on the first.
        if [ $((i % 2)) -eq 1 ]; then
            "$2" q "$i"
            qw="$WALL" qc="$CPU"
            settle
            "$2" p "$i"
            pw="$WALL" pc="$CPU" ps="$SYNCED"
        else
            "$2" p "$i"
            pw="$WALL" pc="$CPU" ps="$SYNCED"
            settle
            "$2" q "$i"
            qw="$WALL" qc="$CPU"
        fi
        settle
        WALL="$pw" CPU="$pc"
        if [ "$i" -gt "$warmup" ]; then
            echo "$qw $WALL $qc $CPU" >>"$work/$1.pairs"
            echo "$qw $ps $qc $CPU" >>"$work/$1-synced.pairs"
        fi
        printf '   pair %d%s: quorvex %s s   %s %s s\n' "$i" "$([ "$i" -le "$warmup" ] && echo ' (warm-up)')" "$qw" "$3" "$WALL" >&2
    done
    setAside "$1"
    pairLine "$1" "$3" "$4"
}

if want big; then
    pairCase big runBig curl "$bigMiB MiB"
    goal big "$RATIO" 1.3 "quorvex/curl $(printf %.2f "$RATIO")" "<= 1.3" $BUSY
    pairLine big-synced 'curl + sync' "$bigMiB MiB, the peer's file synced at its end"
    goal big-sync "$RATIO" 1 "quorvex/(curl + sync) $(printf %.2f "$RATIO")" "< 1" $BUSY
fi
if want checksum; then
    pairCase checksum runChecksum 'quorvex without #sha256=' "$bigMiB MiB, its SHA-256 in the link against none"
    goal checksum "$RATIO" 1.15 "with/without #sha256= $(printf %.2f "$RATIO")" "<= 1.15" $BUSY
fi
if want many; then
    pairCase many runMany 'wget -i' "$many x 4 KiB"
    goal many "$RATIO" 1.5 "quorvex/wget -i $(printf %.2f "$RATIO")" "<= 1.5" $BUSY
    pairLine many-synced 'wget -i + sync -f' "$many x 4 KiB, the peer made durable at its end"
    goal many-sync "$RATIO" 1.3 "quorvex/(wget -i + sync -f) $(printf %.2f "$RATIO")" "<= 1.3" $BUSY
fi
if want tiny; then
    pairCase tiny runTiny 'wget -i' "$tiny x 100 B"
    goal tiny "$RATIO" 1.5 "quorvex/wget -i $(printf %.2f "$RATIO")" "<= 1.5" $BUSY
fi
if want slow-disk; then
    : >"$work/slow-disk.flushes"
    pairCase slow-disk runSlowDisk 'wget -i' "$slow x 4 KiB, a flush taking $flushMs ms more, both programs"
    goal slow-disk "$RATIO" 2 "quorvex/wget -i $(printf %.2f "$RATIO")" "<= 2" $BUSY
    perEntry="$(sort -g "$work/slow-disk.flushes" | awk -v n="$slow" '{ v[NR] = $1 } END { printf "%.3f", v[int((NR + 1) / 2)] / n }')"
    row "" "quorvex: $perEntry device flushes an entry (median of the pairs)"
    goal slow-flush "$perEntry" 0.3 "quorvex flushes an entry $perEntry" "<= 0.3"
fi
if want https-many; then
    # Twice: the bundle alone, as without either variable, and the same bundle beside
    # the system's hashed folder, as where SSL_CERT_DIR is set (many machines set it).
    bundleEnv=("${trustEnv[@]}")
    for folder in "" /etc/ssl/certs; do
        trustEnv=(SSL_CERT_FILE="$trust" SSL_CERT_DIR="$folder")
        name=https-many cpuName=https-cpu detail=""
        [ -n "$folder" ] && name=https-dir cpuName=dir-cpu detail=", SSL_CERT_DIR=$folder"
        pairCase "$name" runHttpsMany 'wget --no-http-keep-alive -i' "$httpsMany x 4 KiB over https$detail"
        goal "$name" "$RATIO" 1.3 "quorvex/wget --no-http-keep-alive -i $(printf %.2f "$RATIO")" "<= 1.3" $BUSY
        perEntry="$(awk -v c="$MEDIAN_CPU" -v n="$httpsMany" 'BEGIN { printf "%.2f", 1000 * c / n }')"
        goal "$cpuName" "$perEntry" 3 "quorvex CPU per https entry ${perEntry} ms" "<= 3 ms" $BUSY
    done
    trustEnv=("${bundleEnv[@]}")
    # For reference only: one connection for all files, which Quorvex never does.
    refWalls=()
    for i in $(seq 1 "$pairs"); do
        timeRun "$work/ref.out" wget -q --ca-certificate="$trust" -i "$work/https-many.wlist" -P "$work/runs/ref-$i"
        [ "$RC" -eq 0 ] || die "wget ended with $RC: $(tail -n 5 "$work/ref.out")"
        refWalls+=("$WALL")
        settle
    done
    setAside https-many-ref
    row "" "reference: wget -i (one connection for all files) $(medianOf "${refWalls[@]}") s, median of $pairs runs"
fi
if want https-big; then
    pairCase https-big runHttpsBig curl "$httpsMiB MiB over https"
    goal https-big "$RATIO" 1.1 "quorvex/curl $(printf %.2f "$RATIO")" "<= 1.1" $BUSY
fi
if want real; then
    pairCase real-speed runReal curl "$realMiB MiB at 20 MiB/s"
    goal real-speed "$RATIO" 1.05 "quorvex/curl $(printf %.3f "$RATIO")" "<= 1.05" $BUSY
fi

source "$benchDir/single.sh"

echo
echo "Figures ($pairs pairs after $warmup warm-up; $(nproc) cores; load at the end $(cut -d' ' -f1-3 /proc/loadavg)):"
printf '%s\n' "${rows[@]}"
echo
echo "Goals:"
printf '%s\n' "${goals[@]}"
exit "$missed"
