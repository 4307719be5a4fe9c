# The cases of bench/run.sh that measure Quorvex on its own (sourced by it).

# --- memory: peak RSS for a 16 MiB and a large body ------------------------------------
peakRss() { # name -> KiB in $RSS
    local d="$work/runs/memory"
    printf '%s -> %s\r\n' "$1" "$base/$1" >"$work/memory.qlist"
    newProgram "$d" "$work/memory.qlist"
    /usr/bin/time -f %M -o "$work/rss" "$d/quorvex" /DOWNLOAD >"$d/quorvex.out" 2>&1 \
        || { tail -n 20 "$d/quorvex.out" >&2; die "quorvex /DOWNLOAD failed for $1"; }
    sameFile "$d/Downloads/$1" "$files/$1"
    rm -rf "$d"
    settle
    RSS="$(tail -n 1 "$work/rss")"
}
if want memory; then
    say memory
    small=() large=()
    for _ in 1 2 3; do peakRss m16.bin; small+=("$RSS"); done
    peakRss large.bin
    large+=("$RSS")
    ms="$(medianOf "${small[@]}")" ml="$(medianOf "${large[@]}")"
    peakKiB=$((ms > ml ? ms : ml))
    grow="$(awk -v a="$ms" -v b="$ml" 'BEGIN { printf "%.1f", (b - a) / 1024 }')"
    row memory "16 MiB body $(mib "$ms") MiB   $memMiB MiB body $(mib "$ml") MiB   (peak RSS; KiB: ${small[*]} / ${large[*]})"
    goal memory "$(mib "$peakKiB")" 40 "peak $(mib "$peakKiB") MiB" "<= 40 MiB"
    goal memory "$grow" 8 "$memMiB MiB body - 16 MiB body = $grow MiB" "<= 8 MiB"
fi

# --- disk: the free space a body needs in the download folder --------------------------
# The download folder is a tmpfs of its own, so its use is Quorvex's alone. A roomy one
# shows the peak (sampled every millisecond); one with room for the body and a small
# margin shows that the body arrives in that much.
diskCase() {
    local d="$work/runs/disk" size=$((diskMiB << 20)) margin=$((1 << 20)) peak arrived ratio
    printf 'disk.bin -> %s\r\n' "$base/disk.bin" >"$work/disk.qlist"
    newProgram "$d" "$work/disk.qlist"
    mountTmpfs "$d/Downloads" $((3 * size + margin))
    sampleUsage "$d/Downloads" "$work/disk.stop" "$work/disk.peak"
    timeQuorvex "$d"
    : >"$work/disk.stop"
    wait "$SAMPLER"
    peak="$(cat "$work/disk.peak")"
    sameFile "$d/Downloads/disk.bin" "$files/disk.bin"
    unmountTmpfs "$d/Downloads"

    cp "$work/disk.qlist" "$d/URL-Liste.INI"
    mountTmpfs "$d/Downloads" $((size + margin))
    timeRun "$d/quorvex.out" "$d/quorvex" /DOWNLOAD
    # A run that fails may say nothing with "###"; grep finding nothing must not end the bench.
    arrived="did not arrive (exit $RC: $({ grep -a '###' "$d/quorvex.out" || true; } | tail -n 1 | cut -c1-120))"
    if [ "$RC" -eq 0 ] && [ ! -s "$d/URL-Liste.INI" ] && cmp -s "$d/Downloads/disk.bin" "$files/disk.bin"; then
        arrived="arrived"
    fi
    unmountTmpfs "$d/Downloads"
    rm -rf "$d"
    settle

    ratio="$(awk -v p="$peak" -v s="$size" 'BEGIN { printf "%.3f", p / s }')"
    row disk "a $diskMiB MiB body took up to $(awk -v p="$peak" 'BEGIN { printf "%.1f", p / 1048576 }') MiB of the download folder (${ratio} x its size); with room for it and 1 MiB it $arrived"
    # The tight run is the proof; the sampled peak may miss a short one.
    local shown="need $(printf %.2f "$ratio") x the body"
    if [ "$arrived" != arrived ]; then
        ratio=999
        shown="$shown; did not fit"
    fi
    goal disk "$ratio" "$(awk -v m="$margin" -v s="$size" 'BEGIN { printf "%.6f", 1 + m / s }')" \
        "$shown" "<= 1.0 x (+1 MiB)"
}
if want disk; then
    say disk
    mkdir -p "$work/probe"
    if [ "$(id -u)" -eq 0 ] && mount -t tmpfs -o size=1m quorvex-bench "$work/probe" 2>/dev/null; then
        umount "$work/probe"
        diskCase
    else
        row disk "not measured: a tmpfs for the download folder could not be mounted (needs root)"
    fi
fi

# --- start: /DOWNLOAD with an empty list -----------------------------------------------
if want start; then
    say start
    t=() c=()
    for _ in $(seq 1 $((pairs + 2))); do
        newProgram "$work/runs/start"
        timeQuorvex "$work/runs/start"
        t+=("$WALL") c+=("$CPU")
        rm -rf "$work/runs/start"
    done
    st="$(medianOf "${t[@]}")"
    row start "$st s start to exit   (CPU $(medianOf "${c[@]}") s; runs: ${t[*]})"
    goal start "$st" 0.3 "$st s" "<= 0.3 s"
fi

# --- idle: CPU while the server stalls for 10 s ----------------------------------------
if want idle; then
    say idle
    "$build/bench/bench_idle" | tee "$work/idle.out" >&2 || die "bench_idle failed"
    # "idle: 0.001 CPU s over 10 s stall (...)"
    idle="$(awk '/^idle:/ { print $2; exit }' "$work/idle.out")"
    [ -n "$idle" ] || die "bench_idle printed no figure"
    row idle "$idle s CPU during the 10 s stall   (the transfer component waiting on a stalled server)"
    goal idle "$idle" 0.2 "$idle s CPU" "<= 0.2 s"
fi

# --- log: one WriteLog call ------------------------------------------------------------
if want log; then
    say log
    "$build/bench/bench_writelog" >"$work/log.out" || die "bench_writelog failed"
    logUs="$(awk '/^log:/ { print $2; exit }' "$work/log.out")"
    row log "$logUs us per WriteLog   ($(cat "$work/log.out"))"
    goal log "$logUs" 3 "$logUs us per call" "<= 3 us"
fi

# --- window: 100 links pasted into a list of 2000, every flush 10 ms slower -------------
if want window; then
    say window
    QT_QPA_PLATFORM=offscreen LD_PRELOAD="$build/bench/libslowflush.so" SLOWFLUSH_MS=10 \
        "$build/bench/bench_window" >"$work/window.out" || die "bench_window failed"
    # "window: 9.2 ms longest block, 20.6 ms until the list file held all 100 links (2000 listed)"
    block="$(awk '/^window:/ { print $2; exit }' "$work/window.out")"
    saved="$(awk '/^window:/ { print $6; exit }' "$work/window.out")"
    [ -n "$block" ] && [ -n "$saved" ] || die "bench_window printed no figure"
    row window "$block ms longest block, $saved ms until the 100 pasted links were in the list file (2000 listed)"
    goal window "$block" 50 "$block ms longest block" "<= 50 ms"
    goal window "$saved" 120 "$saved ms until in the file" "<= 100 ms + 2 flushes"
fi
