#!/usr/bin/env bash
# under_wine.sh PRODUCT_DIR DEVICE_PROBE: the test build of tickmend.sys in a Wine prefix of its
# own, as a root-enumerated device: found by tickmend's device search, refusing what it must
# (every request that changes the machine on a handle opened for reading), bringing the
# simulated counters into step for Gaming Mode while another program floods it with syncs
# (served within its budget, then busy), choosing its fence and counter write by CPUID (no
# SSE2: no MFENCE; a hypervisor: no MSR; an invariant counter: never written, and tickmend
# says why), refusing a northbridge it was not made for, taking a one-node machine's drift
# registration, refusing the MSR and the northbridge on a machine not AMD's, and gone
# without a trace (.inf and .pnf) after tickmend-driver remove; then the setup's component
# "TSC driver" added by the uninstall entry's Change, taken off by it, and out with the
# uninstaller.
set -u
product=$1 probe=$2
export TICKMEND_WINEPREFIX=$product/kdriver-prefix
. "$(dirname "$0")/../../scripts/lib.sh"
work=$product/kdriver-work
rm -rf "$work" && mkdir -p "$work/stage"
cp "$product/tickmend.inf" "$work/stage/" && cp "$product/tickmend-sim.sys" "$work/stage/tickmend.sys" || exit 1
key='HKLM\System\CurrentControlSet\Services\tickmend'

w() { wine "$@" </dev/null 2>>"$work/wine.err"; }
cleanup() {
    w "$product/tickmend-sim.exe" /k >/dev/null
    w "$product/tickmend-driver.exe" remove >/dev/null
    wineserver -k 2>/dev/null
}
fail() { echo "FAIL: $*"; cleanup; exit 1; }
check() { # WHAT FILE PATTERN
    grep -q -- "$3" "$2" || { echo "--- $2:"; cat "$2"; fail "$1: no \"$3\""; }
}
says() { # WHAT FILE SENTENCE: a sentence, whatever line the client wrapped it onto
    tr -s ' \n' '  ' < "$2" | grep -q -- "$3" || { echo "--- $2:"; cat "$2"; fail "$1: no \"$3\""; }
}
# A machine as the driver will see it: its description, a state file of its own, and the
# values the driver's test build reads at its start. The driver starts with its device,
# which Wine's PnP manager starts at its own start.
machine() { # NAME APIC_IDS_HEX [CPUID_80000007_EDX], description on stdin
    cat > "$work/$1.txt"
    export TICKMEND_SIM_MACHINE TICKMEND_SIM_STATE
    TICKMEND_SIM_MACHINE=$(winepath -w "$work/$1.txt") TICKMEND_SIM_STATE="C:\\$1.counters"
    rm -f "$WINEPREFIX/drive_c/$1.counters"
    w "$product/tickmend-ctl-sim.exe" topology >/dev/null || fail "$1: the simulated machine does not load"
    w reg add "$key" /v SimState /t REG_SZ /d "\\??\\C:\\$1.counters" /f >/dev/null &&
        w reg add "$key" /v ApicIds /t REG_BINARY /d "$2" /f >/dev/null &&
        w reg add "$key" /v Cpuid80000007Edx /t REG_DWORD /d "${3:-6}" /f >/dev/null || fail "$1: service values"
    wineserver -k 2>/dev/null
    wine_env
    w wineboot -r >/dev/null
}

wine_env
cleanup
wine_env
w "$product/tickmend-driver.exe" install "$(winepath -w "$work/stage/tickmend.inf")" > "$work/install.txt" ||
    fail "tickmend-driver install: $(cat "$work/install.txt")"

# Two nodes of one processor each, the second 3,400,000 cycles ahead.
machine two-node 0002 <<'M'
cpu bit=0 apic=0
cpu bit=1 apic=2
tsc bit=1 offset=3400000
cpuid80000007_edx 0x6
driver system
M
w "$product/tickmend-ctl-sim.exe" topology > "$work/two-node-topology.txt"
check "device search" "$work/two-node-topology.txt" "driver: found (northbridge power management bit set)"
w "$probe" > "$work/probe.txt" || { cat "$work/probe.txt"; fail "refused requests"; }
chosen() { # VALUE EXPECTED: what the driver chose for processor 0, as its test build wrote it
    w reg query "$key" /v "$1" > "$work/chosen.txt"
    grep -q "$2" "$work/chosen.txt" || { cat "$work/chosen.txt"; fail "$1 is not $2"; }
}
chosen TscRead mfence
chosen CounterWrite direct
w "$product/tickmend-ctl-sim.exe" skew > "$work/skew-before.txt"
check "counters before" "$work/skew-before.txt" "out of step"
wine "$product/tickmend-sim.exe" </dev/null >/dev/null 2>&1 &
# Another program sends 1,000 syncs meanwhile: served within its budget, the rest busy; the
# program's own on is served beside it.
wine "$probe" flood </dev/null > "$work/flood.txt" 2>>"$work/wine.err" &
flood=$!
# Tried again only while tickmend is not yet serving its pipe (2): a busy or left-out on
# (the flood spending the program's budget) fails at once.
on=1
for _ in $(seq 60); do
    wine "$product/tickmend-ctl-sim.exe" on --strict </dev/null > "$work/on.txt" 2> "$work/on.err"
    on=$?
    [ $on = 2 ] || break
    sleep 1
done
[ $on = 0 ] || { cat "$work/on.txt" "$work/on.err"; fail "Gaming Mode on beside the flood (exit $on)"; }
wait $flood || { cat "$work/flood.txt"; fail "syncs beyond the budget"; }
check "flood" "$work/flood.txt" "busy"
w "$product/tickmend-ctl-sim.exe" skew --rounds 20000 > "$work/skew-after.txt"
check "counters after" "$work/skew-after.txt" "^in step"
w "$product/tickmend-sim.exe" /k
w "$probe" access > "$work/access.txt" || { cat "$work/access.txt"; fail "requests by the handle's access"; }

# No SSE2 (an Athlon XP): the counter is read after CPUID, not MFENCE. A hypervisor's bit:
# the frequency-ID MSR is not read.
w reg add "$key" /v Cpuid1Edx /t REG_DWORD /d 0x10000010 /f >/dev/null &&
    w reg add "$key" /v Cpuid1Ecx /t REG_DWORD /d 0x80000000 /f >/dev/null || fail "old: service values"
machine old 0002 <<'M'
cpu bit=0 apic=0
cpu bit=1 apic=2
driver system
M
chosen TscRead cpuid
w "$probe" msr-refused > "$work/msr-probe.txt" || { cat "$work/msr-probe.txt"; fail "the MSR on a hypervisor"; }
w reg delete "$key" /v Cpuid1Edx /f >/dev/null && w reg delete "$key" /v Cpuid1Ecx /f >/dev/null

# Another AMD function at 0:24:3 (family 10h's): the northbridge is neither read nor written.
w reg add "$key" /v NorthbridgeId /t REG_DWORD /d 0x12031022 /f >/dev/null || fail "1203: service value"
machine later-amd 0002 <<'M'
cpu bit=0 apic=0
cpu bit=1 apic=2
driver system
M
w "$probe" nb-refused > "$work/nb-probe.txt" || { cat "$work/nb-probe.txt"; fail "northbridge 0x1203"; }
w "$product/tickmend-ctl-sim.exe" topology > "$work/later-amd-topology.txt"
says "advice for a northbridge not made for" "$work/later-amd-topology.txt" "not the AMD K8 one the TSC driver was made for"
w reg delete "$key" /v NorthbridgeId /f >/dev/null

# Invariant counters apart: measured, never written, and tickmend's on says why.
machine invariant 0002 0x106 <<'M'
cpu bit=0 apic=0
cpu bit=1 apic=2
tsc bit=1 offset=3400000
cpuid80000007_edx 0x106
driver system
M
chosen CounterWrite invariant
wine "$product/tickmend-sim.exe" </dev/null >/dev/null 2>&1 &
on=1
for _ in $(seq 60); do
    wine "$product/tickmend-ctl-sim.exe" on </dev/null > "$work/invariant-on.txt" 2> "$work/invariant-on.err" &&
        { on=0; break; }
    sleep 1
done
[ $on = 0 ] || { cat "$work/invariant-on.txt" "$work/invariant-on.err"; fail "Gaming Mode on, invariant"; }
says "invariant: why in words" "$work/invariant-on.err" "invariant counters, Windows keeps time by them: left alone"
w "$product/tickmend-ctl-sim.exe" skew > "$work/invariant-skew.txt"
check "invariant: not written" "$work/invariant-skew.txt" "out of step"
w "$product/tickmend-sim.exe" /k

# One node of two processors: the second drifts; its registration is accepted.
machine one-node 0001 <<'M'
cpu bit=0 apic=0
cpu bit=1 apic=1
tsc bit=1 offset=5000 drift_ppm=300
cpuid80000007_edx 0x6
driver system
M
w "$product/tickmend-sim.exe" /logon # a start at logon: silent, where a start by hand would say why it ends
w "$product/tickmend-ctl-sim.exe" topology > "$work/one-node-topology.txt"
check "drift registration" "$work/one-node-topology.txt" "drift compensation registered"

# A processor and a northbridge function not AMD's: the frequency-ID MSR is not read, the
# northbridge dword neither read nor written.
w reg add "$key" /v CpuidVendor /t REG_SZ /d GenuineIntel /f >/dev/null &&
    w reg add "$key" /v NorthbridgeId /t REG_DWORD /d 0x29C08086 /f >/dev/null || fail "foreign: service values"
machine foreign 0001 <<'M'
cpu bit=0 apic=0
cpu bit=1 apic=1
driver system
M
w "$probe" foreign > "$work/foreign-probe.txt" || { cat "$work/foreign-probe.txt"; fail "requests on a foreign machine"; }

# Removal: no device, no service, no file, no driver package.
w "$product/tickmend-driver.exe" remove > "$work/remove.txt" || fail "tickmend-driver remove: $(cat "$work/remove.txt")"
w "$product/tickmend-ctl-sim.exe" topology > "$work/removed.txt"
check "device gone" "$work/removed.txt" "driver: absent"
w sc query tickmend > "$work/service.txt" && fail "the service is still there: $(cat "$work/service.txt")"
[ ! -e "$WINEPREFIX/drive_c/windows/system32/drivers/tickmend.sys" ] || fail "tickmend.sys is still there"
! grep -qil 'root\\tickmend' "$WINEPREFIX"/drive_c/windows/inf/*.inf 2>/dev/null || fail "the driver package is still there"
! ls "$WINEPREFIX"/drive_c/windows/inf/tickmend*.pnf 2>/dev/null || fail "the driver package's .pnf is still there"

# The setup's component "TSC driver" (the real build, whose northbridge read finds no PCI
# bus under Wine: found, and refusing), and the uninstaller taking it all off again.
# Installed without it first, then added by the uninstall entry's Change (the setup again),
# and taken off again by a Change with it unticked.
if [ -f "$product/tickmend-setup.exe" ]; then
    w "$product/tickmend-setup.exe" /S /DRIVER=0 || fail "tickmend-setup.exe /S /DRIVER=0"
    ctl=$(find "$WINEPREFIX/drive_c" -path '*/QEL Pacemill/tickmend-ctl.exe' | head -n 1)
    [ -n "$ctl" ] || fail "setup: no tickmend-ctl.exe installed"
    dir=$(dirname "$ctl")
    w sc query tickmend > "$work/setup-service.txt" && fail "setup /DRIVER=0: a tickmend service"
    entry='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\QEL Pacemill'
    w reg query "$entry" /v NoModify > /dev/null && fail "setup: the uninstall entry has NoModify"
    change=$(w reg query "$entry" /v ModifyPath | tr -d '\r' | sed -n 's/.*REG_SZ *"\(.*\)"$/\1/p')
    [ -n "$change" ] || fail "setup: the uninstall entry has no Change (ModifyPath)"
    w "$change" /S /DRIVER=1 || fail "Change /S /DRIVER=1"
    w sc query tickmend > "$work/setup-service.txt" || fail "Change /DRIVER=1: no tickmend service"
    w "$ctl" topology > "$work/setup-topology.txt"
    check "setup: device search" "$work/setup-topology.txt" "driver: refusing"
    w "$change" /S /DRIVER=0 || fail "Change /S /DRIVER=0"
    w sc query tickmend > "$work/service.txt" && fail "Change /DRIVER=0: the service is still there"
    [ ! -e "$dir/driver" ] || fail "Change /DRIVER=0: $dir/driver is still there"
    w "$change" /S /DRIVER=1 || fail "Change /S /DRIVER=1, again"
    # The uninstaller goes on from a copy of itself: its folder going is its end.
    w "$dir/uninstall.exe" /S
    for _ in $(seq 120); do [ -e "$dir" ] || break; sleep 0.5; done
    [ ! -e "$dir" ] || fail "uninstall: $dir is still there"
    w sc query tickmend > "$work/service.txt" && fail "uninstall: the service is still there"
    [ ! -e "$WINEPREFIX/drive_c/windows/system32/drivers/tickmend.sys" ] || fail "uninstall: tickmend.sys is still there"
    ! grep -qil 'root\\tickmend' "$WINEPREFIX"/drive_c/windows/inf/*.inf 2>/dev/null || fail "uninstall: the driver package is still there"
    ! ls "$WINEPREFIX"/drive_c/windows/inf/tickmend*.pnf 2>/dev/null || fail "uninstall: the driver package's .pnf is still there"
else
    echo "no tickmend-setup.exe (makensis missing): the setup's component is not tried"
fi
wineserver -k 2>/dev/null
echo "tickmend.sys under Wine: device found, requests refused, counters in step, drift registered, removed; the setup's component installed and uninstalled"
