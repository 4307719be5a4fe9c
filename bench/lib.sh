# Helpers of bench/run.sh (sourced; uses its globals here, work, files, bin, pids, mounts;
# startNginx sets base, tlsBase and trust).

die() { echo "bench: $*" >&2; exit 2; }
say() { echo "== $*" >&2; }

freePort() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Writeback of what one run wrote must not land in the next run's time: every run's
# output is flushed (and, where it is removed, removed) before the next run starts.
# Only the bench's own file system is synced; caches are not dropped, so the served
# files stay in memory for both programs alike.
settle() { sync -f "$work" 2>/dev/null || sync; }

# On ext4 without a journal, creating a file passes over the inodes freed in the last
# seconds (5 s once their inode table block is written back, 5 min once it is dirty
# again, and every file created dirties one). After thousands of files were removed,
# runs of small files take up to twice as long for minutes, whichever program runs.
# So within a bench nothing that many runs wrote is removed: a case's runs are set
# aside and go with the work area at the end, and a bench that starts within five
# minutes of another's clean-up waits for the rest.
cleanedStamp="${TMPDIR:-/tmp}/quorvex-bench.cleaned"
setAside() { # name: moves $work/runs out of the way
    mkdir -p "$work/spent"
    mv "$work/runs" "$work/spent/$1"
}
noteCleanUp() { date +%s >"$cleanedStamp" 2>/dev/null || true; }
waitForAgedInodes() {
    local last left
    last="$(cat "$cleanedStamp" 2>/dev/null || echo 0)"
    [[ "$last" =~ ^[0-9]+$ ]] || last=0
    left=$((last + 310 - $(date +%s)))
    if [ "$left" -gt 0 ] && [ "$left" -le 310 ]; then
        say "an earlier bench removed its files $((310 - left)) s ago; waiting $left s until the file system has aged them"
        sleep "$left"
    fi
}
# For the profiles, which time nothing against a peer: remove, write the tables back
# and let the freed inodes age past the short limit.
removeAndAge() { # dir...
    rm -rf "$@"
    settle
    sleep 6
}

# timeRun OUT CMD...: runs CMD with its output in OUT; sets WALL and CPU (seconds,
# user + system of CMD and its children) and RC.
timeRun() {
    local out="$1" TIMEFORMAT='%3R %3U %3S' user system
    shift
    RC=0
    { time "$@" >"$out" 2>&1; } 2>"$work/time.txt" || RC=$?
    read -r WALL user system <"$work/time.txt"
    CPU="$(awk -v u="$user" -v s="$system" 'BEGIN { printf "%.3f", u + s }')"
}

# The peer's time with its output made durable at its end (the floor for a program
# that loses nothing to a power cut): WALL plus the time of CMD, in SYNCED.
syncedPeer() { # cmd...
    local wall="$WALL" cpu="$CPU" rc="$RC"
    timeRun "$work/synced.out" "$@"
    SYNCED="$(awk -v a="$wall" -v b="$WALL" 'BEGIN { printf "%.3f", a + b }')"
    WALL="$wall" CPU="$cpu" RC="$rc"
}

# A program folder as a user has it, with a list of the lines in LISTFILE (one
# "name -> url" a line, written with CR LF).
newProgram() { # dir [listfile]
    mkdir -p "$1"
    ln "$bin" "$1/quorvex" 2>/dev/null || cp "$bin" "$1/quorvex"
    if [ -n "${2:-}" ]; then cp "$2" "$1/URL-Liste.INI"; else : >"$1/URL-Liste.INI"; fi
}

# Runs quorvex /DOWNLOAD in DIR, timed; a run that does not end with 0 or leaves
# entries in the list stops the bench.
timeQuorvex() { # dir
    timeRun "$1/quorvex.out" env "${trustEnv[@]}" "${diskEnv[@]}" "$1/quorvex" /DOWNLOAD
    if [ "$RC" -ne 0 ] || [ -s "$1/URL-Liste.INI" ]; then
        echo "bench: quorvex /DOWNLOAD in $1 ended with $RC, $(grep -c . "$1/URL-Liste.INI") entries left" >&2
        tail -n 20 "$1/quorvex.out" >&2
        exit 2
    fi
}

sameFile() { # got expected
    cmp -s "$1" "$2" || die "$1 differs from $2 ($(stat -c %s "$1" 2>/dev/null || echo no) bytes)"
}

# A folder of downloads against the served folder: same count and bytes; names and
# contents compared too when deep is given (every name, every byte).
bytesIn() { find "$1" -maxdepth 1 -type f ! -name '.*' -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }'; }

sameFolder() { # got expected count [deep]
    local n
    n="$(find "$1" -maxdepth 1 -type f ! -name '.*' | wc -l)"
    [ "$n" -eq "$3" ] || die "$1 holds $n of $3 files"
    if [ -n "${4:-}" ]; then
        diff -rq -x '.*' "$1" "$2" >&2 || die "$1 differs from $2"
    else
        [ "$(bytesIn "$1")" = "$(bytesIn "$2")" ] || die "$1 differs in size from $2"
    fi
}

startNginx() {
    local port tlsPort
    port="$(freePort)"
    tlsPort="$(freePort)"
    # A throw-away authority for the https cases: every program trusts the system's
    # bundle with it added, so each pays for a whole store as it would for real.
    bash "$here/tests/common/make_test_ca.sh" "$work/tls"
    mkdir -p "$work/nginx"
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
    server {
        listen 127.0.0.1:$tlsPort ssl;
        root $files;
        ssl_certificate $work/tls/server.pem;
        ssl_certificate_key $work/tls/server.key;
        ssl_session_cache shared:tls:1m;
    }
}
EOF
    : >"$files/ping"
    nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -e "$work/nginx/error.log" &
    pids+=($!)
    base="http://127.0.0.1:$port"
    tlsBase="https://127.0.0.1:$tlsPort"
    trust="$work/tls/bundle.pem"
    # The bundle alone, as a system store with the authority added would be.
    trustEnv=(SSL_CERT_FILE="$trust" SSL_CERT_DIR=)
    for _ in $(seq 1 50); do
        curl -sf -o /dev/null "$base/ping" && curl -sf --cacert "$trust" -o /dev/null "$tlsBase/ping" && return 0
        sleep 0.1
    done
    cat "$work/nginx/error.log" >&2
    die "nginx did not start"
}

mountTmpfs() { # dir bytes
    mkdir -p "$1"
    mount -t tmpfs -o "size=$2,mode=0755" quorvex-bench "$1" || die "cannot mount a tmpfs on $1"
    mounts+=("$1")
}

unmountTmpfs() { # dir
    umount "$1" || die "cannot unmount $1"
    local kept=() m
    for m in "${mounts[@]}"; do [ "$m" = "$1" ] || kept+=("$m"); done
    mounts=("${kept[@]}")
}

# Samples the used bytes of the file system holding DIR every millisecond until
# STOPFILE exists, then prints the largest figure seen into OUTFILE. Returns once
# sampling runs; the sampler's process id is in SAMPLER.
sampleUsage() { # dir stopfile outfile
    rm -f "$2" "$2.ready"
    python3 - "$1" "$2" >"$3" <<'EOF' &
import os, sys, time
path, stop = sys.argv[1], sys.argv[2]
peak = 0
deadline = time.monotonic() + 600
open(stop + ".ready", "w").close()
while time.monotonic() < deadline:
    st = os.statvfs(path)
    peak = max(peak, (st.f_blocks - st.f_bfree) * st.f_frsize)
    if os.path.exists(stop):
        break
    time.sleep(0.001)
print(peak)
EOF
    SAMPLER=$!
    pids+=("$SAMPLER")
    for _ in $(seq 1 100); do
        [ -e "$2.ready" ] && return 0
        sleep 0.05
    done
    die "the usage sampler did not start"
}

# --- figures and verdicts ------------------------------------------------------------
medianOf() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }

declare -a rows goals
missed=0

row() { # name text
    rows+=("$(printf '%-11s %s' "$1" "$2")")
    printf '%-11s %s\n' "$1" "$2" >&2
}

# goal NAME VALUE LIMIT SHOWN GOALTEXT [busy]: holds when VALUE <= LIMIT.
goal() {
    local verdict=ok
    if ! awk -v v="$2" -v l="$3" 'BEGIN { exit !(v <= l) }'; then
        verdict=MISSED
        missed=1
    fi
    [ -n "${6:-}" ] && verdict="$verdict (busy machine)"
    goals+=("$(printf '%-11s %-42s goal %-20s %s' "$1" "$4" "$5" "$verdict")")
}

# Busy when the pairs disagree by more than half: the peer did not take the same
# share of the machine from pair to pair.
BusySpread=1.5
isBusy() { awk -v s="$1" -v l="$BusySpread" 'BEGIN { exit !(s > l) }'; }

# pairLine CASE PEER DETAIL: reads $work/CASE.pairs, adds the case's row and sets
# RATIO, MEDIAN_CPU (Quorvex's, seconds) and BUSY.
pairLine() {
    local stats n med lo hi spread aw bw ac bc list
    stats="$(awk -f "$benchDir/pairs.awk" "$work/$1.pairs")" || die "$1: no usable pairs"
    read -r n med lo hi spread aw bw ac bc list <<<"$stats"
    RATIO="$med"
    MEDIAN_CPU="$ac"
    BUSY=""
    row "$1" "$(printf 'quorvex/%s %.2f (min %.2f, max %.2f; %d pair%s)   quorvex %.3f s (CPU %.3f s)   %s %.3f s (CPU %.3f s)   %s; ratios:%s' \
        "$2" "$med" "$lo" "$hi" "$n" "$([ "$n" -eq 1 ] || echo s)" "$aw" "$ac" "$2" "$bw" "$bc" "$3" " $list")"
    if isBusy "$spread"; then
        BUSY=busy
        row "" "busy: the ratios spread ${spread} x (max/min over $BusySpread): the machine was not quiet"
    fi
}

# The work area: the binary under test in $bin, generated bodies in $files, and a stub
# xdg-open first on PATH, so that no run ever starts a file manager.
prepareWork() {
    files="$work/files"
    bin="$work/bin/quorvex"
    mkdir -p "$files" "$work/bin" "$work/stub"
    install -m 0755 "${testedBinary:-$build/quorvex}" "$bin"
    printf '#!/bin/sh\nexit 0\n' >"$work/stub/xdg-open"
    chmod 0755 "$work/stub/xdg-open"
    export PATH="$work/stub:$PATH"
    export QT_QPA_PLATFORM=offscreen
}
