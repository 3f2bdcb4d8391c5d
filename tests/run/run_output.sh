#!/usr/bin/env bash
# run_output.sh PRODUCT_DIR: scripts/run on the two-node machine with --keep, then --stop,
# on the one-node machines and on one where skew fails: every line each prints within 79
# columns (a console of 80), every verdict its summary quotes whole (none where skew failed),
# what it says of skew as skew says it, and --stop's ending in words.
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
# on the next): each begins with a verdict's own first words, never in its middle; with
# none_said, a skew that failed is said to have given none (never its table quoted instead).
check_summary() { # NAME [none_said]
    local line
    while IFS= read -r line; do
        case "${line#*: }" in
        "in step"* | "out of step"* | "cannot tell"* | "time never went backwards"* | "time went backwards"*)
            [ "${2:-}" != none_said ] || fail "$1: a verdict from a skew that failed: $line" ;;
        "no verdict: skew failed"*) [ "${2:-}" = none_said ] || fail "$1: no verdict: $line" ;;
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
# What the run says of skew's verdict is what skew then prints: "out of step" only where it is
# (one node: the offset stays; one node of invariant counters: they stay together).
for machine in one-node one-node-invariant; do
    run "$machine" "$machine"
    check_summary "$machine"
    if grep -q 'says "out of step"' "$work/$machine.txt" && ! grep -q '^after: out of step' "$work/$machine.txt"; then
        fail "$machine: the run says skew says \"out of step\", and skew says otherwise"
    fi
done
# A machine whose processor 1 cannot be bound: skew fails and gives no verdict; the summary
# says so rather than quoting the table.
printf 'cpu bit=0 apic=0\ncpu bit=1 apic=1\ncpu bit=2 apic=2\ncpu bit=3 apic=3\nbind_fails bit=1\n' > "$work/unbound.machine"
run unbound "Z:$(printf '%s' "$work/unbound.machine" | tr / '\\\\')"
check_summary unbound none_said

# What the runs recorded stays out of the tests after this one (scripts/run forgets it at its start).
wine_env
wine reg delete 'HKCU\Software\QEL\qel_pacemill' /f </dev/null >/dev/null 2>&1
if [ "$failed" = 1 ]; then
    for f in "$work"/*.txt; do echo "--- $f"; cat "$f"; done
    exit 1
fi
echo "scripts/run: every line within 79 columns (--keep, --stop, one-node, one-node-invariant, a skew that fails)," \
     "the summary's verdicts whole"
