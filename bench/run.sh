#!/usr/bin/env bash
# Measures Quorvex against curl and wget on a local nginx and prints the medians and,
# last, one ratio line per case with the goal it is held to.
#
# The machine this runs on is shared and noisy, so every case runs Quorvex and its
# peers alternately in the same run: the ratios, not the absolute times, are what the
# goals are about.
#
# Environment:
#   QUORVEX_BENCH_BUILD  build folder to (re)use, default build-bench
#   QUORVEX_BENCH_RUNS   runs per case and program, default 3
#   QUORVEX_BENCH_BIG_RUNS  runs of the 1 GiB memory case, default 1
#   TMPDIR               where the served files and downloads go
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
cd "$here"
source tools/deps.sh
quorvex_need_packages "${QUORVEX_BUILD_PACKAGES[@]}" nginx-light curl wget time python3 coreutils

runs="${QUORVEX_BENCH_RUNS:-3}"
bigRuns="${QUORVEX_BENCH_BIG_RUNS:-1}"
build="${QUORVEX_BENCH_BUILD:-$here/build-bench}"

echo "== build (Release) in $build" >&2
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
targets=(quorvex bench_writelog)
[ -f bench/bench_idle.cpp ] && targets+=(bench_idle)
cmake --build "$build" --target "${targets[@]}" -j2 >/dev/null

# Served files (1.4 GiB), the 1 GiB download's spool and part file (2 GiB) and
# slack: refuse to start rather than fill the disk half-way.
tmp="${TMPDIR:-/tmp}"
needKiB=$((4 * 1024 * 1024))
freeKiB="$(df -Pk "$tmp" | awk 'NR == 2 { print $4 }')"
if [ "$freeKiB" -lt "$needKiB" ]; then
    echo "bench: $tmp has $((freeKiB / 1024)) MiB free, needs $((needKiB / 1024)) MiB" >&2
    exit 2
fi

work="$(mktemp -d "$tmp/quorvex-bench.XXXXXX")"
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

files="$work/files"
prog="$work/prog"
peer="$work/peer"
mkdir -p "$files/many" "$prog" "$peer" "$work/stub" "$work/nginx"

# The program folder as a user has it; xdg-open must never start a file manager.
install -m 0755 "$build/quorvex" "$prog/quorvex"
printf '#!/bin/sh\nexit 0\n' >"$work/stub/xdg-open"
chmod 0755 "$work/stub/xdg-open"
export PATH="$work/stub:$PATH"
export QT_QPA_PLATFORM=offscreen

echo "== generating files in $files" >&2
head -c $((256 << 20)) /dev/urandom >"$files/big.bin"
head -c $((64 << 20)) /dev/urandom >"$files/real.bin"
head -c $((16 << 20)) /dev/urandom >"$files/m16.bin"
head -c $((1024 << 20)) /dev/urandom >"$files/m1024.bin"
python3 - "$files/many" <<'EOF'
import os, sys
for i in range(1000):
    with open(os.path.join(sys.argv[1], "f%04d.bin" % i), "wb") as f:
        f.write(os.urandom(4096))
EOF

freePort() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

port="$(freePort)"
cat >"$work/nginx/nginx.conf" <<EOF
daemon off;
master_process off;
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log warn;
events { worker_connections 256; }
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    keepalive_requests 100000;
    default_type application/octet-stream;
    client_body_temp_path $work/nginx/body;
    proxy_temp_path $work/nginx/proxy;
    fastcgi_temp_path $work/nginx/fastcgi;
    uwsgi_temp_path $work/nginx/uwsgi;
    scgi_temp_path $work/nginx/scgi;
    server {
        listen 127.0.0.1:$port;
        root $files;
        location /slow/ {
            alias $files/;
            limit_rate 20m;
        }
    }
}
EOF
nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -e "$work/nginx/error.log" &
pids+=($!)
base="http://127.0.0.1:$port"
for _ in $(seq 1 50); do
    curl -sf -o /dev/null "$base/many/f0000.bin" && break
    sleep 0.1
done
curl -sf -o /dev/null "$base/many/f0000.bin" || { echo "bench: nginx did not start" >&2; cat "$work/nginx/error.log" >&2; exit 2; }

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Fresh download folder and list; the list lines are "name -> url".
prepareQuorvex() {
    rm -rf "$prog/Downloads" "$prog/URL-Liste.INI"
    mkdir "$prog/Downloads"
    : >"$prog/URL-Liste.INI"
    local line
    for line in "$@"; do
        printf '%s\r\n' "$line" >>"$prog/URL-Liste.INI"
    done
}

# Runs quorvex /DOWNLOAD on the prepared list and prints its wall time.
runQuorvex() {
    local t0 t1 rc=0
    t0="$(now)"
    "$prog/quorvex" /DOWNLOAD >"$work/quorvex.out" 2>&1 || rc=$?
    t1="$(now)"
    if [ "$rc" -ne 0 ]; then
        echo "bench: quorvex /DOWNLOAD ended with $rc" >&2
        tail -n 20 "$work/quorvex.out" >&2
        exit 1
    fi
    elapsed "$t0" "$t1"
}

timed() {
    local t0 t1
    t0="$(now)"
    "$@"
    t1="$(now)"
    elapsed "$t0" "$t1"
}

expectSize() {
    local size
    size="$(stat -c %s "$1")"
    if [ "$size" -ne "$2" ]; then
        echo "bench: $1 has $size bytes, expected $2" >&2
        exit 1
    fi
}

declare -a rows ratios
failed=0
row() { rows+=("$(printf '%-11s %s' "$1" "$2")"); printf '%-11s %s\n' "$1" "$2" >&2; }
# ratio NAME VALUE LIMIT TEXT GOALTEXT [moonshot]: holds when VALUE <= LIMIT; a missed
# moonshot is reported but does not fail the run.
ratio() {
    local verdict
    if [ "${6:-}" = moonshot ] && awk -v v="$2" -v l="$3" 'BEGIN { exit !(v < l) }'; then
        verdict="ok"
    elif [ "${6:-}" != moonshot ] && awk -v v="$2" -v l="$3" 'BEGIN { exit !(v <= l) }'; then
        verdict="ok"
    elif [ "${6:-}" = moonshot ]; then
        verdict="not yet"
    else
        verdict="MISSED"
        failed=1
    fi
    ratios+=("$(printf '%-11s %-44s goal %-26s %s' "$1" "$4" "$5" "$verdict")")
}

# --- big: one 256 MiB file -------------------------------------------------------
echo "== big" >&2
q=() c=() w=()
for _ in $(seq 1 "$runs"); do
    prepareQuorvex "big.bin -> $base/big.bin"
    q+=("$(runQuorvex)")
    expectSize "$prog/Downloads/big.bin" $((256 << 20))
    rm -f "$peer/big.bin"
    c+=("$(timed curl -sS -o "$peer/big.bin" "$base/big.bin")")
    expectSize "$peer/big.bin" $((256 << 20))
    rm -f "$peer/big.bin"
    w+=("$(timed wget -q -O "$peer/big.bin" "$base/big.bin")")
    expectSize "$peer/big.bin" $((256 << 20))
    rm -f "$peer/big.bin"
done
rm -rf "$prog/Downloads"
bq="$(median "${q[@]}")" bc="$(median "${c[@]}")" bw="$(median "${w[@]}")"
row big "quorvex ${bq} s   curl ${bc} s   wget ${bw} s   (256 MiB; runs: q ${q[*]} / c ${c[*]} / w ${w[*]})"

# --- many: 1000 files of 4 KiB in one list --------------------------------------
echo "== many" >&2
entries=()
: >"$work/many.list"
for i in $(seq -f '%04g' 0 999); do
    entries+=("f$i.bin -> $base/many/f$i.bin")
    echo "$base/many/f$i.bin" >>"$work/many.list"
done
# Every run gets folders of its own, removed only after the case: on a file system
# that avoids reusing recently freed inodes, creating files right after deleting
# thousands costs more, and that would fall on whichever program ran after the
# clean-up rather than on the program measured.
q=() w=()
mainProg="$prog"
for r in $(seq 1 "$runs"); do
    prog="$work/many-prog-$r"
    mkdir "$prog"
    ln "$mainProg/quorvex" "$prog/quorvex"
    prepareQuorvex "${entries[@]}"
    q+=("$(runQuorvex)")
    n="$(find "$prog/Downloads" -maxdepth 1 -name 'f*.bin' -size 4k | wc -l)"
    [ "$n" -eq 1000 ] || { echo "bench: quorvex fetched $n of 1000 files" >&2; exit 1; }
    w+=("$(timed wget -q -i "$work/many.list" -P "$peer/many-$r")")
    n="$(find "$peer/many-$r" -maxdepth 1 -name 'f*.bin' | wc -l)"
    [ "$n" -eq 1000 ] || { echo "bench: wget fetched $n of 1000 files" >&2; exit 1; }
done
prog="$mainProg"
rm -rf "$work"/many-prog-* "$peer"/many-*
mq="$(median "${q[@]}")" mw="$(median "${w[@]}")"
row many "quorvex ${mq} s   wget ${mw} s   (1000 x 4 KiB; runs: q ${q[*]} / w ${w[*]})"

# --- real-speed: 64 MiB at 20 MiB/s ---------------------------------------------
echo "== real-speed" >&2
q=() c=()
for _ in $(seq 1 "$runs"); do
    prepareQuorvex "real.bin -> $base/slow/real.bin"
    q+=("$(runQuorvex)")
    expectSize "$prog/Downloads/real.bin" $((64 << 20))
    rm -f "$peer/real.bin"
    c+=("$(timed curl -sS -o "$peer/real.bin" "$base/slow/real.bin")")
    expectSize "$peer/real.bin" $((64 << 20))
    rm -f "$peer/real.bin"
done
rm -rf "$prog/Downloads"
rq="$(median "${q[@]}")" rc="$(median "${c[@]}")"
row real-speed "quorvex ${rq} s   curl ${rc} s   (64 MiB, limit_rate 20m; runs: q ${q[*]} / c ${c[*]})"

# --- memory: peak RSS for a 16 MiB and a 1 GiB body ------------------------------
echo "== memory" >&2
peakRss() { # name size -> KiB
    prepareQuorvex "$1 -> $base/$1"
    /usr/bin/time -f %M -o "$work/rss" "$prog/quorvex" /DOWNLOAD >"$work/quorvex.out" 2>&1 \
        || { echo "bench: quorvex /DOWNLOAD failed for $1" >&2; tail -n 20 "$work/quorvex.out" >&2; exit 1; }
    expectSize "$prog/Downloads/$1" "$2"
    rm -rf "$prog/Downloads"
    tail -n 1 "$work/rss"
}
s=() l=()
for _ in $(seq 1 "$runs"); do s+=("$(peakRss m16.bin $((16 << 20)))"); done
for _ in $(seq 1 "$bigRuns"); do l+=("$(peakRss m1024.bin $((1024 << 20)))"); done
ms="$(median "${s[@]}")" ml="$(median "${l[@]}")"
msMiB="$(awk -v k="$ms" 'BEGIN { printf "%.1f", k / 1024 }')"
mlMiB="$(awk -v k="$ml" 'BEGIN { printf "%.1f", k / 1024 }')"
growMiB="$(awk -v a="$ms" -v b="$ml" 'BEGIN { printf "%.1f", (b - a) / 1024 }')"
row memory "16 MiB body ${msMiB} MiB   1 GiB body ${mlMiB} MiB   (peak RSS; KiB: ${s[*]} / ${l[*]})"

# --- start: /DOWNLOAD with an empty list ----------------------------------------
echo "== start" >&2
t=() startCpu=()
for _ in $(seq 1 $((runs + 2))); do
    prepareQuorvex
    t+=("$(runQuorvex)")
    /usr/bin/time -f '%U %S' -o "$work/cpu" "$prog/quorvex" /DOWNLOAD >/dev/null 2>&1
    startCpu+=("$(awk '{ printf "%.3f", $1 + $2 }' "$work/cpu")")
done
rm -rf "$prog/Downloads"
st="$(median "${t[@]}")" stCpu="$(median "${startCpu[@]}")"
row start "${st} s start to exit   (CPU ${stCpu} s; runs: ${t[*]})"

# --- idle: CPU while the server stalls for 10 s ---------------------------------
echo "== idle" >&2
if [ -x "$build/bench/bench_idle" ]; then
    "$build/bench/bench_idle" | tee "$work/idle.out" >&2
    # "idle: 0.001 CPU s over 10 s stall (...)"
    idle="$(awk '/^idle:/ { print $2; exit }' "$work/idle.out")"
    [ -n "$idle" ] || { echo "bench: bench_idle printed no figure" >&2; exit 1; }
    idleNote="bench_idle: the transfer component waiting on a stalled server"
else
    stallPort="$(freePort)"
    python3 - "$stallPort" <<'EOF' &
import socket, sys, time
# Answers each request only after 10 s, then closes; gives up after two clients or 60 s.
srv = socket.socket()
srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
srv.bind(("127.0.0.1", int(sys.argv[1])))
srv.listen(4)
srv.settimeout(60)
for _ in range(2):
    try:
        conn, _ = srv.accept()
    except socket.timeout:
        break
    conn.settimeout(15)
    data = b""
    while b"\r\n\r\n" not in data:
        part = conn.recv(4096)
        if not part:
            break
        data += part
    time.sleep(10)
    try:
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nConnection: close\r\n\r\nstall")
    except OSError:
        pass
    conn.close()
EOF
    pids+=($!)
    for _ in $(seq 1 50); do
        python3 -c 'import socket, sys; socket.create_connection(("127.0.0.1", int(sys.argv[1])), 0.2)' "$stallPort" 2>/dev/null && break
        sleep 0.1
    done
    prepareQuorvex "stall.txt -> http://127.0.0.1:$stallPort/stall.txt"
    /usr/bin/time -f '%e %U %S' -o "$work/cpu" "$prog/quorvex" /DOWNLOAD >"$work/quorvex.out" 2>&1 \
        || { echo "bench: quorvex /DOWNLOAD failed on the stalling server" >&2; tail -n 20 "$work/quorvex.out" >&2; exit 1; }
    rm -rf "$prog/Downloads"
    idleTotal="$(awk '{ printf "%.3f", $2 + $3 }' "$work/cpu")"
    idleWall="$(awk '{ print $1 }' "$work/cpu")"
    # Start-up and shut-down are paid whether or not the server stalls; what the
    # wait itself costs is the rest.
    idle="$(awk -v a="$idleTotal" -v b="$stCpu" 'BEGIN { d = a - b; if (d < 0) d = 0; printf "%.3f", d }')"
    idleNote="quorvex /DOWNLOAD, ${idleWall} s wall, ${idleTotal} s CPU in all, ${stCpu} s of it start-up"
fi
row idle "${idle} s CPU during the 10 s stall   (${idleNote})"

# --- log: one WriteLog call ------------------------------------------------------
echo "== log" >&2
"$build/bench/bench_writelog" >"$work/log.out"
logUs="$(awk '/^log:/ { print $2; exit }' "$work/log.out")"
row log "${logUs} us per WriteLog   ($(cat "$work/log.out"))"

echo
echo "Medians ($runs runs each, alternating; $(nproc) cores):"
printf '%s\n' "${rows[@]}"
echo
ratio big "$(awk -v a="$bq" -v b="$bc" 'BEGIN { printf "%.6f", a / b }')" 2.0 \
    "quorvex/curl $(awk -v a="$bq" -v b="$bc" 'BEGIN { printf "%.2f", a / b }')" "<= 2.0"
ratio big "$(awk -v a="$bq" -v b="$bw" 'BEGIN { printf "%.6f", a / b }')" 1.0 \
    "quorvex/wget $(awk -v a="$bq" -v b="$bw" 'BEGIN { printf "%.2f", a / b }')" "< 1.0 (moonshot)" moonshot
ratio many "$(awk -v a="$mq" -v b="$mw" 'BEGIN { printf "%.6f", a / b }')" 2.0 \
    "quorvex/wget $(awk -v a="$mq" -v b="$mw" 'BEGIN { printf "%.2f", a / b }')" "<= 2.0"
ratio real-speed "$(awk -v a="$rq" -v b="$rc" 'BEGIN { printf "%.6f", a / b }')" 1.05 \
    "quorvex/curl $(awk -v a="$rq" -v b="$rc" 'BEGIN { printf "%.3f", a / b }')" "<= 1.05"
ratio memory "$mlMiB" 64 "peak ${mlMiB} MiB (16 MiB body: ${msMiB} MiB)" "<= 64 MiB"
ratio memory "$growMiB" 8 "1 GiB run - 16 MiB run = ${growMiB} MiB" "<= 8 MiB"
ratio idle "$idle" 0.2 "${idle} s CPU" "<= 0.2 s"
ratio log "$logUs" 3 "${logUs} us per call" "<= 3 us"
ratio start "$st" 0.3 "${st} s" "<= 0.3 s"
echo "Ratios and goals:"
printf '%s\n' "${ratios[@]}"
exit "$failed"
