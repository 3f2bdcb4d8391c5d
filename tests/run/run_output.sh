#!/usr/bin/env bash
# run_output.sh PRODUCT_DIR: scripts/run on the two-node machine with --keep, then --stop,
# and on the one-node machine: every line each prints within 79 columns (a console of 80),
# every verdict its summary quotes whole, and --stop's ending in words.
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
export TICKMEND_BUILD_DIR=$1
. "$root/scripts/lib.sh"
work=$TICKMEND_BUILD_DIR/run-output
rm -rf "$work" && mkdir -p "$work"
failed=0
fail() { echo "FAIL: $*"; failed=1; }

# Runs scripts/run ARGS with the machine NAME; its output in $work/NAME.txt.
run() { # NAME MACHINE ARGS...
    local name=$1 machine=$2
    shift 2
    TICKMEND_SIM_MACHINE=$machine "$root/scripts/run" "$@" > "$work/$name.txt" 2>&1 || fail "scripts/run $* on $machine: exit $?"
    awk -v name="$name" 'length($0) > 79 { printf "FAIL: %s, line %d: %d columns: %s\n", name, NR, length($0), $0; bad = 1 }
                         END { exit bad }' "$work/$name.txt" || failed=1
}

# The summary's lines that quote skew (the first line of each; a verdict goes on, indented,
# on the next): each begins with a verdict's own first words, never in its middle.
check_summary() { # NAME
    local line
    while IFS= read -r line; do
        case "${line#*: }" in
        "in step"* | "out of step"* | "cannot tell"* | "time never went backwards"* | "time went backwards"*) ;;
        *) fail "$1: the summary quotes part of a verdict: $line" ;;
        esac
    done < <(sed -n '/^== Summary/,$p' "$work/$1.txt" | grep -E '^(before tickmend|with Gaming Mode on|after):')
    [ -n "$(sed -n '/^== Summary/,$p' "$work/$1.txt" | grep -E '^(before tickmend|with Gaming Mode on|after):')" ] ||
        fail "$1: no verdict in the summary"
}

run keep two-node --keep
check_summary keep
run stop two-node --stop
grep -q '^Ended the tickmend-sim.exe that scripts/run --keep left running' "$work/stop.txt" ||
    fail "--stop does not say that it ended the kept instance: $(cat "$work/stop.txt")"
! grep -qE '(^|[^(])exit [0-9]+$' "$work/stop.txt" || fail "--stop ends with a bare exit code: $(cat "$work/stop.txt")"
run one-node one-node
check_summary one-node

# What the runs recorded stays out of the tests after this one (scripts/run forgets it at its start).
wine_env
wine reg delete 'HKCU\Software\QEL\qel_pacemill' /f </dev/null >/dev/null 2>&1
if [ "$failed" = 1 ]; then
    for f in "$work"/*.txt; do echo "--- $f"; cat "$f"; done
    exit 1
fi
echo "scripts/run: every line within 79 columns (--keep, --stop, one-node), the summary's verdicts whole"
