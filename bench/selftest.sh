#!/usr/bin/env bash
# Checks the figures bench/run.sh prints from its timings: the per-pair ratios, their
# median and spread, the busy mark and the goal verdicts. Needs no build or server.
set -uo pipefail
benchDir="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
die() { echo "die: $*" >&2; exit 2; }
source "$benchDir/lib.sh"
row() { :; }
failures=0

check() { # name got expected
    if [ "$2" != "$3" ]; then
        echo "FAIL $1: got '$2', expected '$3'"
        failures=$((failures + 1))
    fi
}

# name | pairs (A_WALL B_WALL [A_CPU B_CPU], ';' between pairs) | pairs.awk's line, or "exit N"
while IFS='|' read -r name input expected; do
    got="$(tr ';' '\n' <<<"$input" | awk -f "$benchDir/pairs.awk")" || got="exit $?"
    check "$name" "$got" "$expected"
done <<'EOF'
ratio per pair, not of medians|1 1;10 10;2 1|3 1.000 1.000 2.000 2.00 2.000 1.000 0.000 0.000 1.00 1.00 2.00
even count takes the middle two|1 1;3 1;2 1;4 1|4 2.500 1.000 4.000 4.00 2.500 1.000 0.000 0.000 1.00 3.00 2.00 4.00
cpu medians are kept apart|0.6 0.3 0.5 0.1;0.62 0.31 0.7 0.2;0.61 0.3 0.6 0.3|3 2.000 2.000 2.033 1.02 0.610 0.300 0.600 0.200 2.00 2.00 2.03
one pair|1.5 1.0|1 1.500 1.500 1.500 1.00 1.500 1.000 0.000 0.000 1.50
a peer time of 0 is a failed timer|1 1;1 0|exit 1
no pairs at all||exit 1
EOF

# name | value | limit | busy | verdict
while IFS='|' read -r name value limit busy expected; do
    goals=() missed=0
    goal x "$value" "$limit" shown "<= $limit" $busy
    check "$name" "$(awk '{ $1 = $2 = $3 = ""; sub(/^ +/, ""); print }' <<<"${goals[0]}")|$missed" "$expected"
done <<'EOF'
on the limit holds|1.3|1.3||<= 1.3 ok|0
just over misses|1.301|1.3||<= 1.3 MISSED|1
busy is said beside the verdict|1.2|1.3|busy|<= 1.3 ok (busy machine)|0
a missed memory goal|40.1|40||<= 40 MISSED|1
EOF

# name | spread | busy?
while IFS='|' read -r name spread expected; do
    if isBusy "$spread"; then got=busy; else got=quiet; fi
    check "$name" "$got" "$expected"
done <<'EOF'
a tight series is quiet|1.08|quiet
1.5 itself is still quiet|1.50|quiet
past 1.5 is busy|1.51|busy
EOF

check "median of an odd count" "$(medianOf 3 1 2)" 2
check "median of an even count" "$(medianOf 0.4 0.1 0.3 0.2)" 0.250
check "median sorts numbers, not text" "$(medianOf 10 9 100)" 10

# What arrived against what was served: a missing file, a short one and a changed
# byte must each stop the bench; the program's hidden working files do not count.
served="$work/served" got="$work/got"
mkdir -p "$served"
printf 'abcd' >"$served/a.bin"
printf 'xyz' >"$served/b.bin"
# name | how the downloads differ (shell run in $got) | deep? | exit status
while IFS='|' read -r name change deep expected; do
    rm -rf "$got"
    cp -r "$served" "$got"
    (cd "$got" && eval "$change")
    (sameFolder "$got" "$served" 2 $deep) 2>/dev/null
    check "$name" "$?" "$expected"
done <<'EOF'
the same files pass||deep|0
hidden working files are left out|printf junk >.quorvex-part-1||0
a missing file stops|rm b.bin||2
a short file stops|printf xy >b.bin||2
a changed byte passes the quick check|printf xyZ >b.bin||0
a changed byte stops the deep check|printf xyZ >b.bin|deep|2
an extra file stops|printf 1 >c.bin||2
EOF

timeRun "$work/out" sh -c 'sleep 0.2; exit 3'
check "a failing command's status is kept" "$RC" 3
check "the wall time covers the command" "$(awk -v w="$WALL" 'BEGIN { print (w >= 0.2 && w < 5) }')" 1
check "a sleeping command uses next to no CPU" "$(awk -v c="$CPU" 'BEGIN { print (c < 0.15) }')" 1
timeRun "$work/out" sh -c 'echo printed; echo warned >&2'
check "the command's output goes to its file" "$(tr '\n' ' ' <"$work/out")|$RC" "printed warned |0"

if [ "$failures" -ne 0 ]; then
    echo "$failures failed"
    exit 1
fi
echo "bench self-test: all passed"
