#!/usr/bin/env bash
# image_check.sh PRODUCT_DIR [IMAGE...]: every built tickmend.sys (i386, its test build, amd64)
# as Windows would load it. Fails on any x87, MMX or SSE instruction (a driver may not touch
# that state at raised IRQL, and a 32-bit one nowhere without saving it), on an export table,
# and on an amd64 image without unwind data. The fences (lfence, mfence, sfence) are ordering
# instructions, not FPU or vector state: the driver runs them only where CPUID has them,
# which the driver's own tables check.
set -u
product=$1
shift
images=("$@")
if [ ${#images[@]} -eq 0 ]; then
    images=("$product/tickmend.sys" "$product/tickmend-sim.sys")
    if [ -f "$product/amd64/tickmend.sys" ]; then images+=("$product/amd64/tickmend.sys")
    else echo "no amd64/tickmend.sys (no x86_64 compiler): the amd64 image is not checked"; fi
fi
faults=0
for image in "${images[@]}"; do
    [ -f "$image" ] || { echo "FAIL: $image is missing"; faults=$((faults + 1)); continue; }
    objdump=i686-w64-mingw32-objdump
    amd64=0
    if file -b "$image" | grep -q 'x86-64'; then objdump=x86_64-w64-mingw32-objdump amd64=1; fi
    # The instruction text is the third tab-separated field; prefixes come before the mnemonic.
    bad=$("$objdump" -d "$image" | awk -F'\t' 'NF >= 3 {
        n = split($3, w, " "); i = 1
        while (i < n && w[i] ~ /^(lock|rep|repz|repnz|repe|repne|data16|data32|addr16|addr32|notrack|bnd|[cdefgs]s)$/) i++
        m = w[i]
        if (m ~ /^[lms]fence$/) next
        # Some take general registers or memory alone: a conversion from memory (cvttsd2si),
        # the MXCSR and AVX state, the SSE hints.
        if (m ~ /^f/ || m ~ /^(emms|v?ldmxcsr|v?stmxcsr|vzero|xsave|xrstor|movnti|maskmovq|cvt|prefetch|clflush)/ ||
            $3 ~ /%(st|mm|xmm|ymm|zmm)/)
            print "    " $1 $3
    }')
    if [ -n "$bad" ]; then
        echo "FAIL: $image has x87, MMX or SSE instructions:"
        echo "$bad" | head -n 20
        faults=$((faults + 1))
    fi
    headers=$("$objdump" -p "$image")
    if echo "$headers" | grep -q 'There is an export table' ||
        echo "$headers" | grep -Eq 'Entry 0 0*[1-9a-f][0-9a-f]* '; then
        echo "FAIL: $image has an export table"
        faults=$((faults + 1))
    fi
    if [ $amd64 = 1 ] && ! echo "$headers" | grep -Eq 'Entry 3 0*[1-9a-f][0-9a-f]* [0-9a-f]* Exception Directory'; then
        echo "FAIL: $image has no unwind data (.pdata)"
        faults=$((faults + 1))
    fi
    [ $faults = 0 ] && echo "$image: general registers only, no export table$([ $amd64 = 1 ] && echo ', unwind data')"
done
exit $faults
