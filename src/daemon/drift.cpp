// TSC drift registration of single-node machines: whether the counters can drift, the
// interval, and one registration per processor, each sent from that processor.
#include "daemon/daemon_state.h"
#include "daemon/each_processor.h"
#include "driver/driver.h"
#include "platform/binding.h"
#include "platform/seam.h"
#include "registry/registry.h"
#include "smp_enum/smp_enum.h"
#include "common/settings.h"
#include "common/trace.h"

#include <stdio.h>

namespace {

char registration_words[128]; // what the last registration achieved, for the start's record

void say(const char* words)
{
    lstrcpynA(registration_words, words, sizeof registration_words);
}

constexpr DWORD DEFAULT_INTERVAL_MS = 1000;
constexpr DWORD MAX_INTERVAL_MS = 2000;
// The shortest period tickmend.sys runs a drift timer at (0 stays "registered, never run"): a
// shorter one would stop every processor that often, and the driver refuses it.
constexpr DWORD MIN_INTERVAL_MS = tkd::drift_interval_min_ms;

constexpr DWORD EDX_FID_CONTROL = 1u << 1;
constexpr DWORD EDX_VID_CONTROL = 1u << 2;
constexpr DWORD EDX_INVARIANT_TSC = 1u << 8;

// The frequency varies when the processor can change it and the start and maximum
// frequency IDs differ.
bool frequency_varies(DWORD edx, ULONGLONG fid_status)
{
    if (!(edx & (EDX_FID_CONTROL | EDX_VID_CONTROL))) return false;
    DWORD start_fid = static_cast<DWORD>(fid_status >> 8) & 0x3F;
    DWORD max_fid = static_cast<DWORD>(fid_status >> 16) & 0x3F;
    return start_fid != max_fid;
}

// Without an invariant TSC the counter is stable only while the northbridge bit is clear.
// A read that fails tells us nothing, so the counter then counts as not stable and the
// compensation stays on: a needless compensation costs little, a missing one lets the
// counters drift apart.
bool counter_stable(DWORD edx)
{
    if (edx & EDX_INVARIANT_TSC) return true;
    DWORD nb = 0;
    if (!ReadPCI32(NB_BUS, NB_DEVICE, NB_FUNCTION, NB_REGISTER, &nb)) return false;
    return (nb & NB_BIT) == 0;
}

// True in a 32-bit process on 64-bit Windows. IsWow64Process is looked up: early XP lacks it.
bool on_64_bit_windows()
{
    using is_wow64_fn = BOOL(WINAPI*)(HANDLE, PBOOL);
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    auto is_wow64 = kernel ? reinterpret_cast<is_wow64_fn>(reinterpret_cast<void (*)()>(
                                 GetProcAddress(kernel, "IsWow64Process")))
                           : nullptr;
    BOOL wow64 = FALSE;
    return is_wow64 && is_wow64(GetCurrentProcess(), &wow64) && wow64;
}

// On 64-bit Windows the 64-bit view first, where the 64-bit regedit and reg.exe write, then
// the 32-bit one (WOW6432Node), where a 32-bit tool writes; elsewhere the one view there is.
bool read_sync_interval(DWORD* value)
{
    if (on_64_bit_windows() &&
        GetRegistryValue(HKEY_LOCAL_MACHINE, machine_settings_key, "sync_interval", value, sizeof *value,
                         KEY_WOW64_64KEY))
        return true;
    return GetRegistryValue(HKEY_LOCAL_MACHINE, machine_settings_key, "sync_interval", value, sizeof *value) != 0;
}

// The configured interval, bounded; a value shorter than 4 bytes keeps its high bytes 0.
DWORD configured_interval()
{
    DWORD value = 0;
    if (!read_sync_interval(&value)) {
        TRACE("could not find sync_interval in registry, defaulting to %i ms\n", (int)DEFAULT_INTERVAL_MS);
        return DEFAULT_INTERVAL_MS;
    }
    if (value > MAX_INTERVAL_MS) {
        TRACE("sync_interval in registry exceedes %i ms, setting it to %i ms\n", (int)MAX_INTERVAL_MS,
              (int)MAX_INTERVAL_MS);
        return MAX_INTERVAL_MS;
    }
    if (value != 0 && value < MIN_INTERVAL_MS) {
        TRACE("sync_interval in registry is under %i ms, setting it to %i ms\n", (int)MIN_INTERVAL_MS,
              (int)MIN_INTERVAL_MS);
        return MIN_INTERVAL_MS;
    }
    TRACE("using sync_interval of %i ms found in registry\n", (int)value);
    return value;
}

// The interval that registration sends: 0 when the counters cannot drift, else the
// configured sync_interval, bounded.
DWORD drift_interval()
{
    DWORD regs[4] = {};
    platform_processors().cpuid(0x80000007, regs);
    DWORD edx = regs[3];
    ULONGLONG fid_status = 0;
    ReadMSR64(MSR_FID_STATUS, &fid_status); // read in every case, as the driver expects
    bool varies = frequency_varies(edx, fid_status);
    bool stable = counter_stable(edx) && !varies;
    return stable ? 0 : configured_interval();
}

} // namespace

int register_tickmend()
{
    TRACE("register_tickmend - ENTRY\n");
    say("drift compensation not registered: not a machine of one node");
    if (cpu_count < 2 || node_count > 1) return 0;

    DWORD interval = drift_interval();

    process_binding binding;
    if (!binding.have_masks()) {
        TRACE("GetProcessAffinityMask failed.\n");
        say("drift compensation not registered: the processor affinity could not be read");
        return 0;
    }
    unique_device device(open_tsc_device());
    if (!device) {
        say("drift compensation not registered: the TSC driver is absent");
        return 0;
    }

    // The result is the judgement of the last reply; an undeliverable request ends the loop.
    int result = 0, accepted = 0, sent = 0;
    TscReplyWords refusal = {0, 0};
    bool undelivered = false;
    from_each_processor(binding, [&](int p) {
        TRACE("registering core %i node %i\n", cpu_core[p], cpu_node[p]);
        TscReplyWords reply = {0, 0};
        TscResult r = send_tsc_command(device.get(), drift_command_word(REGISTER_TSC_DRIFT, cpu_node[p], cpu_core[p]),
                                       interval, &reply);
        ++sent;
        if (r == TscResult::undelivered) {
            undelivered = true;
            result = 0;
            return false;
        }
        if (r == TscResult::accepted) ++accepted;
        else if (sent - accepted == 1) refusal = reply;
        result = r == TscResult::accepted ? 1 : 0;
        return true;
    });
    if (undelivered)
        say("drift compensation not registered: a request to the TSC driver was not delivered");
    else if (accepted == sent && result)
        snprintf(registration_words, sizeof registration_words,
                 "drift compensation registered on %d processors (interval %lu ms)", accepted,
                 static_cast<unsigned long>(interval));
    else
        snprintf(registration_words, sizeof registration_words,
                 "drift compensation %s on %d of %d processors: the TSC driver refused (Status 0x%08lX, RetCode %ld)",
                 result ? "registered" : "not registered", accepted, sent,
                 static_cast<unsigned long>(refusal.status), static_cast<long>(refusal.ret_code));
    return result;
}

// Withdrawal needs no binding: the word names the processor.
void deregister_tickmend()
{
    unique_device device(open_tsc_device());
    if (!device) return;
    for (int p = 0; p < MAX_CPUS; ++p) {
        if (!cpu_present(p)) continue;
        send_tsc_command(device.get(), drift_command_word(Deregister_TSC_DRIFT, cpu_node[p], cpu_core[p]));
    }
}

const char* drift_registration_words()
{
    return registration_words;
}
