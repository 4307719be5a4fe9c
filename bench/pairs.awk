# Figures of one paired case. Input: one line per counted pair,
#   A_WALL B_WALL [A_CPU B_CPU]
# (seconds; A is quorvex, B its peer). Output, one line:
#   PAIRS RATIO_MEDIAN RATIO_MIN RATIO_MAX SPREAD A_WALL B_WALL A_CPU B_CPU RATIOS...
# where every ratio is A/B of one pair, SPREAD is max/min of those ratios and the
# walls and CPU times are plain medians (shown, never divided).
#
# The ratio is taken within each pair because the machine's speed drifts between
# pairs; a ratio of two medians would mix figures taken at different speeds.

function median(v, n,    i, j, t, s) {
    for (i = 1; i <= n; i++)
        s[i] = v[i]
    for (i = 2; i <= n; i++) {
        t = s[i]
        for (j = i - 1; j >= 1 && s[j] > t; j--)
            s[j + 1] = s[j]
        s[j + 1] = t
    }
    if (n % 2)
        return s[(n + 1) / 2]
    return (s[n / 2] + s[n / 2 + 1]) / 2
}

NF >= 2 {
    if ($2 <= 0) {
        # A peer time of 0 would make the ratio infinite; it means the timer failed.
        bad = 1
        next
    }
    n++
    aw[n] = $1; bw[n] = $2
    ac[n] = NF >= 4 ? $3 : 0; bc[n] = NF >= 4 ? $4 : 0
    r[n] = $1 / $2
    list = list sprintf(" %.2f", r[n])
    if (n == 1 || r[n] < lo) lo = r[n]
    if (n == 1 || r[n] > hi) hi = r[n]
}

END {
    if (n == 0 || bad) {
        print "0"
        exit 1
    }
    printf "%d %.3f %.3f %.3f %.2f %.3f %.3f %.3f %.3f%s\n", n, median(r, n), lo, hi, (lo > 0 ? hi / lo : 0),
        median(aw, n), median(bw, n), median(ac, n), median(bc, n), list
}
