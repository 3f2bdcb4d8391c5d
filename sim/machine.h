// A simulated machine as a description states it, and the parser of that description.
// Internal to the simulated machine; tests and programs use sim.h.
#pragma once
#include <windows.h>
#include <map>
#include <string>
#include <vector>

struct SimCpu {
    int bit = 0;     // affinity bit, 0..31
    int apic = 0;    // initial APIC ID, 0..255
    int family = 15; // processor family as CPUID leaf 1 encodes it (base + extended)
    int base_family = -1; // the two fields as given, -1 when derived from family
    int ext_family = -1;
    bool htt = true; // CPUID leaf 1 EDX bit 28
    LONGLONG tsc_offset = 0; // cycles this processor's TSC is ahead of the real one at power-on
    LONG drift_ppm = 0;      // how fast it runs ahead (or behind) of the real one from then on
    LONG read_cycles = 0;    // each read of its counter takes at least this long (a busy processor)
};

struct SimMachine {
    std::vector<SimCpu> cpus;
    int os_count = 0;                  // the operating system's processor count; 0 = cpus listed
    DWORD cpuid_80000007_edx = 0;
    DWORD_PTR bind_fails = 0;          // processors that cannot be bound to alone
    bool affinity_query_fails = false; // GetProcessAffinityMask fails
    std::map<DWORD, ULONGLONG> msrs;
    std::map<DWORD, DWORD> pci;        // by pci_key
    bool driver_absent = false;
    int fail_from = 0;                 // requests from this one on are not delivered; 0 = never
    LONG refuse_status = 0;            // reply words of TSC requests otherwise accepted
    LONG refuse_retcode = 0;
    bool sync_does_nothing = false;    // SYNC_NODE_TSC and SYNC_CORE_TSC accepted, counters left
    bool driver_system = false;        // the device Windows finds (tickmend.sys), not the stand-in

    const SimCpu* cpu_at(int bit) const;
    DWORD_PTR system_mask() const;
    DWORD reported_count() const { return os_count ? os_count : static_cast<DWORD>(cpus.size()); }
};

// Key of a configuration dword in SimMachine::pci.
inline DWORD pci_key(BYTE bus, BYTE device, BYTE function, BYTE offset)
{
    return static_cast<DWORD>(bus) << 24 | static_cast<DWORD>(device) << 16 |
           static_cast<DWORD>(function) << 8 | offset;
}

// Core and node of a processor as a driver derives them from its initial APIC ID.
struct SimTopology {
    int core;
    int node;
};
SimTopology topology_of(const SimCpu& cpu);

// The description text of a preset, nullptr when there is no preset of that name.
const char* sim_preset_text(const char* name);
// The preset names, comma-separated, for error texts.
const char* sim_preset_names();

// Parses a whole description into *machine; on failure *error says "source:line: what"
// and *machine is left as it was.
bool parse_machine(const std::string& text, const std::string& source, SimMachine* machine,
                   std::string* error);
// Reads a preset or a description file into *machine; on failure *error says why and
// *machine is left as it was.
bool read_machine(const char* preset_or_path, SimMachine* machine, std::string* error);
