#!/usr/bin/env bash
# image_check_rows.sh: image_check.sh on small images of one instruction each, as i686 and
# x86_64 objdump print them: each x87, MMX, SSE or AVX one (those that name no such register
# among them) is caught, the general ones and the fences the driver chooses by CPUID pass;
# an image with an export table is caught. Exit code: the rows that went otherwise.
set -u
check=$(dirname "$0")/image_check.sh
work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT
faults=0
row() { # WANT(fail|pass) INSTRUCTION [LINK FLAGS]
    printf '.text\n.globl _start\n_start:\n %s\n ret\n' "$2" > "$work/i.s"
    i686-w64-mingw32-gcc -nostdlib -Wl,--entry,_start ${3:-} -o "$work/i.sys" "$work/i.s" ||
        { echo "FAULT: cannot assemble \"$2\""; faults=$((faults + 1)); return; }
    if "$check" "$work" "$work/i.sys" >/dev/null; then got=pass; else got=fail; fi
    [ "$got" = "$1" ] || { echo "FAULT: \"$2\" ${3:-}: $got, not $1"; faults=$((faults + 1)); }
}
for i in "fldz" "fistpll (%eax)" "fxsave (%eax)" "emms" "movq %mm0,%mm1" "cvtsi2sd %eax,%xmm0" \
    "cvttsd2si (%eax),%eax" "cvtss2si (%eax),%eax" "ldmxcsr (%eax)" "vldmxcsr (%eax)" "vzeroupper" \
    "movnti %eax,(%ebx)" "prefetchnta (%eax)" "clflush (%eax)" "xsave (%eax)"; do
    row fail "$i"
done
for i in "mfence" "rdtscp" "cpuid" "lock cmpxchg8b (%eax)" "movl %fs:0x51,%eax" "cwtl" "cltd"; do row pass "$i"; done
row fail "nop" "-Wl,--export-all-symbols"
echo "$faults rows of the image check went otherwise"
exit $faults
