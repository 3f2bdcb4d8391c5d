#include "cpu_rules.h"

namespace tkd {

namespace {

bool vendor_is(const uint32_t leaf0[4], const char* name)
{
    // EBX, EDX, ECX hold the twelve characters.
    const uint32_t order[3] = {leaf0[1], leaf0[3], leaf0[2]};
    for (int i = 0; i < 12; ++i)
        if (static_cast<char>(order[i / 4] >> (8 * (i % 4))) != name[i]) return false;
    return true;
}

// Intel processors whose IA32_TIME_STAMP_COUNTER write takes all 64 bits, by family and
// model (Intel's manual lists them; earlier ones clear the high half).
bool intel_writes_64_bits(uint32_t family, uint32_t model)
{
    if (family == 0xF) return model == 3 || model == 4 || model == 6;
    if (family != 6) return false;
    switch (model) {
    case 0x0E: case 0x0F: case 0x17: case 0x1A: case 0x1C: case 0x1D: return true;
    default: return false;
    }
}

} // namespace

cpu_facts read_cpu_facts(cpuid_fn cpuid, void* context)
{
    cpu_facts f = {};
    uint32_t leaf0[4] = {}, r[4] = {};
    cpuid(context, 0, leaf0);
    f.amd = vendor_is(leaf0, "AuthenticAMD");
    f.intel = vendor_is(leaf0, "GenuineIntel");
    if (leaf0[0] >= 1) {
        cpuid(context, 1, r);
        f.base_family = (r[0] >> 8) & 0xF;
        f.ext_family = (r[0] >> 20) & 0xFF;
        f.model = (r[0] >> 4) & 0xF;
        if (f.base_family == 0xF || (f.base_family == 6 && f.intel)) f.model |= ((r[0] >> 16) & 0xF) << 4;
        f.sse2 = (r[3] >> 26) & 1;
        f.hypervisor = (r[2] >> 31) & 1;
    }
    if (leaf0[0] >= 7) {
        cpuid(context, 7, r);
        f.tsc_adjust = (r[1] >> 1) & 1;
    }
    uint32_t top[4] = {};
    cpuid(context, 0x80000000, top);
    const bool extended = top[0] >= 0x80000001 && top[0] <= 0x8000FFFF;
    if (extended) {
        cpuid(context, 0x80000001, r);
        f.rdtscp = (r[3] >> 27) & 1;
    }
    if (extended && top[0] >= 0x80000007) {
        cpuid(context, 0x80000007, r);
        f.invariant_tsc = (r[3] >> 8) & 1;
    }
    return f;
}

tsc_read tsc_read_for(const cpu_facts& cpu)
{
    if (cpu.rdtscp) return tsc_read::rdtscp;
    return cpu.sse2 ? tsc_read::mfence_rdtsc : tsc_read::cpuid_rdtsc;
}

const char* tsc_read_name(tsc_read read)
{
    switch (read) {
    case tsc_read::rdtscp: return "rdtscp";
    case tsc_read::mfence_rdtsc: return "mfence";
    default: return "cpuid";
    }
}

counter_write counter_write_for(const cpu_facts& cpu)
{
    if (cpu.invariant_tsc) return counter_write::invariant;
    if (cpu.tsc_adjust) return counter_write::adjust;
    // The extended family adds to the base family only where that is 0Fh (AMD's and Intel's rule).
    const uint32_t family = cpu.base_family == 0xF ? cpu.base_family + cpu.ext_family : cpu.base_family;
    // AMD's counter write takes all 64 bits from K8 (family 0Fh) on.
    if ((cpu.amd && family >= 0xF) || (cpu.intel && intel_writes_64_bits(family, cpu.model)))
        return counter_write::direct;
    return counter_write::unsafe;
}

const char* counter_write_name(counter_write write)
{
    switch (write) {
    case counter_write::invariant: return "invariant";
    case counter_write::adjust: return "adjust";
    case counter_write::direct: return "direct";
    default: return "unsafe";
    }
}

bool fid_msr_readable(const cpu_facts& cpu)
{
    return cpu.amd && cpu.base_family == 0xF && cpu.ext_family == 0 && !cpu.hypervisor;
}

} // namespace tkd
