#include "tsc_protocol.h"

namespace tkd {

const char* command_name(uint32_t number)
{
    switch (number) {
    case SYNC_CORE_TSC: return "SYNC_CORE_TSC";
    case REGISTER_TSC_DRIFT: return "REGISTER_TSC_DRIFT";
    case Deregister_TSC_DRIFT: return "Deregister_TSC_DRIFT";
    case SYNC_NODE_TSC: return "SYNC_NODE_TSC";
    default: return nullptr;
    }
}

bool decode_tsc(uint32_t word, uint32_t interval_ms, tsc_command* command)
{
    const uint32_t number = command_number(word);
    command->number = number;
    command->interval_ms = 0;
    switch (number) {
    case SYNC_CORE_TSC:
        if (word & 0x88000000) return false;
        command->node = (word >> 24) & 7;
        command->core = (word >> 28) & 7;
        return true;
    case SYNC_NODE_TSC:
        if (word & 0x8F000000) return false;
        command->node = (word >> 28) & 7;
        command->core = 0;
        return true;
    case REGISTER_TSC_DRIFT:
    case Deregister_TSC_DRIFT:
        command->core = (word >> 24) & 0x1F;
        command->node = (word >> 29) & 7;
        if (number != REGISTER_TSC_DRIFT) return true;
        if (interval_ms && (interval_ms < drift_interval_min_ms || interval_ms > drift_interval_max_ms)) return false;
        command->interval_ms = interval_ms;
        return true;
    default:
        return false;
    }
}

processor_place place_of(uint32_t family, uint32_t apic_id, bool htt)
{
    if (!htt) return processor_place{0, 0};
    if (family < 16) return processor_place{(apic_id >> 1) & 7, apic_id & 1};
    return processor_place{(apic_id >> 2) & 0x3F, apic_id & 3};
}

processor_place place_of_cpuid(uint32_t eax1, uint32_t ebx1, uint32_t edx1)
{
    return place_of(cpuid_family(eax1), cpuid_apic_id(ebx1), cpuid_htt(edx1));
}

} // namespace tkd
