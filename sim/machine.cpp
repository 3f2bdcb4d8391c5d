#include "sim/machine.h"
#include "common/handle.h"
#include "protocol/tsc_protocol.h"

#include <cstdio>
#include <cstring>

namespace {

// The northbridge dword every preset has: bit 24 set, with some other bits around it.
#define SIM_NB_LINE "pci 0 24 3 0x84 0x010A0C20\n"
// MSR 0xC0010042: start FID (bits 8..13) 0x0A, maximum FID (bits 16..21) 0x12.
#define SIM_FID_LINE "msr 0xC0010042 0x0000000E00120A0A\n"

struct Preset {
    const char* name;
    const char* text;
};

const Preset presets[] = {
    {"single-cpu",
     "cpu bit=0 apic=0 family=15 htt=0\n"
     "cpuid80000007_edx 0x6\n" SIM_FID_LINE SIM_NB_LINE},
    // A family-15 dual core with frequency and voltage control and no invariant TSC, whose
    // start and maximum FIDs differ: its counters can drift, and the second one does.
    {"one-node",
     "cpu bit=0 apic=0 family=15 htt=1\n"
     "cpu bit=1 apic=1 family=15 htt=1\n"
     "tsc bit=1 drift_ppm=300\n"
     "cpuid80000007_edx 0x6\n" SIM_FID_LINE SIM_NB_LINE},
    // The same with an invariant TSC and no frequency or voltage control: no drift.
    {"one-node-invariant",
     "cpu bit=0 apic=0 family=15 htt=1\n"
     "cpu bit=1 apic=1 family=15 htt=1\n"
     "cpuid80000007_edx 0x100\n" SIM_FID_LINE SIM_NB_LINE},
    // Nodes after the first start millions of cycles apart, second cores thousands.
    {"two-node",
     "cpu bit=0 apic=0 family=15 htt=1\n"
     "cpu bit=1 apic=1 family=15 htt=1\n"
     "cpu bit=2 apic=2 family=15 htt=1\n"
     "cpu bit=3 apic=3 family=15 htt=1\n"
     "tsc bit=1 offset=-2600\n"
     "tsc bit=2 offset=3400000\n"
     "tsc bit=3 offset=3404100\n"
     "cpuid80000007_edx 0x6\n" SIM_FID_LINE SIM_NB_LINE},
    {"four-node",
     "cpu bit=0 apic=0 family=15 htt=1\n"
     "cpu bit=1 apic=1 family=15 htt=1\n"
     "cpu bit=2 apic=2 family=15 htt=1\n"
     "cpu bit=3 apic=3 family=15 htt=1\n"
     "cpu bit=4 apic=4 family=15 htt=1\n"
     "cpu bit=5 apic=5 family=15 htt=1\n"
     "cpu bit=6 apic=6 family=15 htt=1\n"
     "cpu bit=7 apic=7 family=15 htt=1\n"
     "tsc bit=1 offset=-2600\n"
     "tsc bit=2 offset=3400000\n"
     "tsc bit=3 offset=3404100\n"
     "tsc bit=4 offset=-2150000\n"
     "tsc bit=5 offset=-2146900\n"
     "tsc bit=6 offset=5720000\n"
     "tsc bit=7 offset=5717300\n"
     "cpuid80000007_edx 0x6\n" SIM_FID_LINE SIM_NB_LINE},
    // The same two machines numbered as many dual-socket boards do: the first core of every
    // node before the second cores. The counters are those of the same cores above.
    {"two-node-interleaved",
     "cpu bit=0 apic=0 family=15 htt=1\n"
     "cpu bit=1 apic=2 family=15 htt=1\n"
     "cpu bit=2 apic=1 family=15 htt=1\n"
     "cpu bit=3 apic=3 family=15 htt=1\n"
     "tsc bit=1 offset=3400000\n"
     "tsc bit=2 offset=-2600\n"
     "tsc bit=3 offset=3404100\n"
     "cpuid80000007_edx 0x6\n" SIM_FID_LINE SIM_NB_LINE},
    {"four-node-interleaved",
     "cpu bit=0 apic=0 family=15 htt=1\n"
     "cpu bit=1 apic=2 family=15 htt=1\n"
     "cpu bit=2 apic=4 family=15 htt=1\n"
     "cpu bit=3 apic=6 family=15 htt=1\n"
     "cpu bit=4 apic=1 family=15 htt=1\n"
     "cpu bit=5 apic=3 family=15 htt=1\n"
     "cpu bit=6 apic=5 family=15 htt=1\n"
     "cpu bit=7 apic=7 family=15 htt=1\n"
     "tsc bit=1 offset=3400000\n"
     "tsc bit=2 offset=-2150000\n"
     "tsc bit=3 offset=5720000\n"
     "tsc bit=4 offset=-2600\n"
     "tsc bit=5 offset=3404100\n"
     "tsc bit=6 offset=-2146900\n"
     "tsc bit=7 offset=5717300\n"
     "cpuid80000007_edx 0x6\n" SIM_FID_LINE SIM_NB_LINE},
};

// Decimal, or hexadecimal after 0x; nothing else, no sign.
bool parse_unsigned(const std::string& s, ULONGLONG max, ULONGLONG* value)
{
    size_t i = 0;
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        i = 2;
    }
    if (i >= s.size()) return false;
    ULONGLONG v = 0;
    for (; i < s.size(); ++i) {
        int digit;
        char c = s[i];
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else return false;
        if (v > (max - static_cast<ULONGLONG>(digit)) / static_cast<ULONGLONG>(base)) return false;
        v = v * static_cast<ULONGLONG>(base) + static_cast<ULONGLONG>(digit);
    }
    *value = v;
    return true;
}

// A signed number within -max..max: -N or N (decimal or 0x...).
bool parse_signed(const std::string& s, ULONGLONG max, LONGLONG* value)
{
    ULONGLONG v = 0;
    const bool negative = !s.empty() && s[0] == '-';
    if (!parse_unsigned(negative ? s.substr(1) : s, max, &v)) return false;
    *value = negative ? -static_cast<LONGLONG>(v) : static_cast<LONGLONG>(v);
    return true;
}

// A 32-bit signed word: -N, N, or 0x... taken as its 32 bits.
bool parse_signed32(const std::string& s, LONG* value)
{
    ULONGLONG v = 0;
    if (!s.empty() && s[0] == '-') {
        if (!parse_unsigned(s.substr(1), 0x80000000ULL, &v)) return false;
        *value = static_cast<LONG>(-static_cast<long long>(v));
        return true;
    }
    if (!parse_unsigned(s, 0xFFFFFFFFULL, &v)) return false;
    *value = static_cast<LONG>(static_cast<DWORD>(v));
    return true;
}

std::vector<std::string> split_words(const std::string& text)
{
    std::vector<std::string> words;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
        size_t start = i;
        while (i < text.size() && text[i] != ' ' && text[i] != '\t') ++i;
        if (i > start) words.push_back(text.substr(start, i - start));
    }
    return words;
}

class Parser {
public:
    Parser(const std::string& source, SimMachine* machine, std::string* error)
        : source_(source), m_(machine), error_(error) {}

    bool line(int number, const std::string& raw)
    {
        line_ = number;
        std::string text = raw.substr(0, raw.find('#'));
        std::vector<std::string> words = split_words(text);
        if (words.empty()) return true;
        const std::string& d = words[0];
        std::vector<std::string> args(words.begin() + 1, words.end());
        if (d == "cpu") return cpu(args);
        if (d == "tsc") return tsc(args);
        if (d == "os_count") return os_count(args);
        if (d == "cpuid80000007_edx") return edx(args);
        if (d == "msr") return msr(args);
        if (d == "pci") return pci(args);
        if (d == "driver") return driver(args);
        if (d == "bind_fails") return bind_fails(args);
        if (d == "affinity_query") return affinity_query(args);
        return fail("unknown directive \"" + d + "\"");
    }

    bool finish()
    {
        line_ = 0;
        if (m_->cpus.empty()) return fail("no processor described (a \"cpu\" line is needed)");
        return true;
    }

private:
    bool fail(const std::string& what)
    {
        char where[32] = "";
        if (line_ > 0) std::snprintf(where, sizeof where, ":%d", line_);
        *error_ = source_ + where + ": " + what;
        return false;
    }

    bool count(const std::vector<std::string>& args, size_t n, const char* usage)
    {
        if (args.size() != n) return fail(std::string("expected \"") + usage + "\"");
        return true;
    }

    bool number(const std::string& s, ULONGLONG max, ULONGLONG* v, const char* what)
    {
        if (!parse_unsigned(s, max, v)) {
            char limit[32];
            std::snprintf(limit, sizeof limit, "%llu", max);
            return fail(std::string("bad ") + what + " \"" + s + "\" (a number from 0 to " + limit + ")");
        }
        return true;
    }

    // key=value words; every key given at most once and known.
    bool pairs(const std::vector<std::string>& args, const std::vector<std::string>& keys,
               std::map<std::string, std::string>* out)
    {
        for (const std::string& a : args) {
            size_t eq = a.find('=');
            if (eq == std::string::npos || eq == 0 || eq + 1 == a.size())
                return fail("expected key=value, found \"" + a + "\"");
            std::string key = a.substr(0, eq);
            bool known = false;
            for (const std::string& k : keys) known = known || k == key;
            if (!known) return fail("unknown key \"" + key + "\"");
            if (out->count(key)) return fail("key \"" + key + "\" given twice");
            (*out)[key] = a.substr(eq + 1);
        }
        return true;
    }

    bool cpu(const std::vector<std::string>& args)
    {
        std::map<std::string, std::string> kv;
        if (!pairs(args, {"bit", "apic", "family", "base_family", "ext_family", "htt"}, &kv)) return false;
        if (!kv.count("bit") || !kv.count("apic")) return fail("a cpu needs bit= and apic=");
        SimCpu c;
        ULONGLONG v = 0;
        if (!number(kv["bit"], 31, &v, "affinity bit")) return false;
        c.bit = static_cast<int>(v);
        if (!number(kv["apic"], 255, &v, "APIC ID")) return false;
        c.apic = static_cast<int>(v);
        if (kv.count("family")) {
            if (!number(kv["family"], 15 + 255, &v, "family")) return false;
            if (v == 0) return fail("family 0 does not exist");
            c.family = static_cast<int>(v);
        }
        if (kv.count("base_family") || kv.count("ext_family")) {
            // The two CPUID fields spelled out, for encodings the family alone does not give
            // (an extended family beside a base family other than 0xF).
            if (kv.count("family")) return fail("give family= or base_family=/ext_family=, not both");
            if (!kv.count("base_family")) return fail("ext_family= needs base_family=");
            if (!number(kv["base_family"], 15, &v, "base family")) return false;
            c.base_family = static_cast<int>(v);
            c.ext_family = 0;
            if (kv.count("ext_family")) {
                if (!number(kv["ext_family"], 255, &v, "extended family")) return false;
                c.ext_family = static_cast<int>(v);
            }
            c.family = c.base_family + c.ext_family;
            if (c.family == 0) return fail("family 0 does not exist");
        }
        if (kv.count("htt")) {
            if (kv["htt"] != "0" && kv["htt"] != "1") return fail("htt is 0 or 1");
            c.htt = kv["htt"] == "1";
        }
        if (m_->cpu_at(c.bit)) return fail("affinity bit " + kv["bit"] + " described twice");
        m_->cpus.push_back(c);
        return true;
    }

    // The counter of a processor described before: its offset and drift rate.
    bool tsc(const std::vector<std::string>& args)
    {
        std::map<std::string, std::string> kv;
        if (!pairs(args, {"bit", "offset", "drift_ppm", "read_cycles"}, &kv)) return false;
        if (!kv.count("bit"))
            return fail("expected \"tsc bit=N [offset=CYCLES] [drift_ppm=PPM] [read_cycles=CYCLES]\"");
        ULONGLONG v = 0;
        if (!number(kv["bit"], 31, &v, "affinity bit")) return false;
        SimCpu* c = nullptr;
        for (SimCpu& each : m_->cpus)
            if (each.bit == static_cast<int>(v)) c = &each;
        if (!c) return fail("tsc of processor " + kv["bit"] + ", which no cpu line before describes");
        LONGLONG n = 0;
        if (kv.count("offset")) {
            // Within 2^60 cycles, so that offsets and their differences never overflow.
            if (!parse_signed(kv["offset"], 1ULL << 60, &n)) return fail("bad offset \"" + kv["offset"] + "\"");
            c->tsc_offset = n;
        }
        if (kv.count("drift_ppm")) {
            if (!parse_signed(kv["drift_ppm"], 100000, &n))
                return fail("bad drift_ppm \"" + kv["drift_ppm"] + "\" (-100000 to 100000)");
            c->drift_ppm = static_cast<LONG>(n);
        }
        if (kv.count("read_cycles")) {
            if (!number(kv["read_cycles"], 100000000, &v, "read_cycles")) return false;
            c->read_cycles = static_cast<LONG>(v);
        }
        return true;
    }

    bool os_count(const std::vector<std::string>& args)
    {
        ULONGLONG v = 0;
        if (!count(args, 1, "os_count N")) return false;
        if (!number(args[0], 4096, &v, "processor count")) return false;
        if (v == 0) return fail("the processor count is at least 1");
        m_->os_count = static_cast<int>(v);
        return true;
    }

    bool edx(const std::vector<std::string>& args)
    {
        ULONGLONG v = 0;
        if (!count(args, 1, "cpuid80000007_edx VALUE")) return false;
        if (!number(args[0], 0xFFFFFFFFULL, &v, "EDX value")) return false;
        m_->cpuid_80000007_edx = static_cast<DWORD>(v);
        return true;
    }

    bool msr(const std::vector<std::string>& args)
    {
        ULONGLONG reg = 0, v = 0;
        if (!count(args, 2, "msr NUMBER VALUE")) return false;
        if (!number(args[0], 0xFFFFFFFFULL, &reg, "MSR number")) return false;
        if (!number(args[1], ~0ULL, &v, "MSR value")) return false;
        m_->msrs[static_cast<DWORD>(reg)] = v;
        return true;
    }

    bool pci(const std::vector<std::string>& args)
    {
        ULONGLONG bus = 0, dev = 0, fn = 0, off = 0, v = 0;
        if (!count(args, 5, "pci BUS DEVICE FUNCTION OFFSET VALUE")) return false;
        if (!number(args[0], 255, &bus, "bus") || !number(args[1], 31, &dev, "device") ||
            !number(args[2], 7, &fn, "function") || !number(args[3], 255, &off, "offset") ||
            !number(args[4], 0xFFFFFFFFULL, &v, "dword value"))
            return false;
        if (off & 3) return fail("the offset of a configuration dword is a multiple of 4");
        m_->pci[pci_key(static_cast<BYTE>(bus), static_cast<BYTE>(dev), static_cast<BYTE>(fn),
                        static_cast<BYTE>(off))] = static_cast<DWORD>(v);
        return true;
    }

    bool driver(const std::vector<std::string>& args)
    {
        if (args.size() == 1 && args[0] == "absent") {
            m_->driver_absent = true;
            return true;
        }
        if (args.size() == 1 && args[0] == "present") {
            m_->driver_absent = false;
            return true;
        }
        if (args.size() == 1 && args[0] == "system") {
            m_->driver_system = true;
            return true;
        }
        if (args.size() == 1 && args[0] == "sync_does_nothing") {
            m_->sync_does_nothing = true;
            return true;
        }
        if (args.size() == 2 && args[0] == "fail_from") {
            ULONGLONG v = 0;
            if (!number(args[1], 0x7FFFFFFF, &v, "request number")) return false;
            m_->fail_from = static_cast<int>(v);
            return true;
        }
        if (!args.empty() && args[0] == "refuse") {
            std::map<std::string, std::string> kv;
            std::vector<std::string> rest(args.begin() + 1, args.end());
            if (!pairs(rest, {"status", "retcode"}, &kv)) return false;
            if (kv.size() != 2) return fail("expected \"driver refuse status=S retcode=R\"");
            LONG status = 0, retcode = 0;
            if (!parse_signed32(kv["status"], &status)) return fail("bad status \"" + kv["status"] + "\"");
            if (!parse_signed32(kv["retcode"], &retcode)) return fail("bad retcode \"" + kv["retcode"] + "\"");
            m_->refuse_status = status;
            m_->refuse_retcode = retcode;
            return true;
        }
        return fail("expected \"driver absent\", \"driver present\", \"driver system\", \"driver fail_from N\", "
                    "\"driver refuse status=S retcode=R\" or \"driver sync_does_nothing\"");
    }

    bool bind_fails(const std::vector<std::string>& args)
    {
        std::map<std::string, std::string> kv;
        if (!pairs(args, {"bit"}, &kv)) return false;
        if (!kv.count("bit")) return fail("expected \"bind_fails bit=N\"");
        ULONGLONG v = 0;
        if (!number(kv["bit"], 31, &v, "affinity bit")) return false;
        m_->bind_fails |= static_cast<DWORD_PTR>(1) << v;
        return true;
    }

    bool affinity_query(const std::vector<std::string>& args)
    {
        if (args.size() != 1 || args[0] != "fails") return fail("expected \"affinity_query fails\"");
        m_->affinity_query_fails = true;
        return true;
    }

    const std::string& source_;
    SimMachine* m_;
    std::string* error_;
    int line_ = 0;
};

} // namespace

const SimCpu* SimMachine::cpu_at(int bit) const
{
    for (const SimCpu& c : cpus)
        if (c.bit == bit) return &c;
    return nullptr;
}

DWORD_PTR SimMachine::system_mask() const
{
    DWORD_PTR mask = 0;
    for (const SimCpu& c : cpus) mask |= static_cast<DWORD_PTR>(1) << c.bit;
    return mask;
}

SimTopology topology_of(const SimCpu& cpu)
{
    const tkd::processor_place p =
        tkd::place_of(static_cast<uint32_t>(cpu.family), static_cast<uint32_t>(cpu.apic), cpu.htt);
    return {static_cast<int>(p.core), static_cast<int>(p.node)};
}

const char* sim_preset_text(const char* name)
{
    if (!name) return nullptr;
    for (const Preset& p : presets)
        if (std::strcmp(p.name, name) == 0) return p.text;
    return nullptr;
}

const char* sim_preset_names()
{
    return "single-cpu, one-node, one-node-invariant, two-node, four-node, two-node-interleaved, "
           "four-node-interleaved";
}

bool parse_machine(const std::string& text, const std::string& source, SimMachine* machine,
                   std::string* error)
{
    SimMachine parsed;
    Parser parser(source, &parsed, error);
    int number = 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!parser.line(++number, line)) return false;
        start = end + 1;
    }
    if (!parser.finish()) return false;
    *machine = std::move(parsed);
    return true;
}

namespace {

bool read_whole_file(const char* path, std::string* text)
{
    tk::unique_hfile file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    char buffer[4096];
    DWORD got = 0;
    text->clear();
    while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) text->append(buffer, got);
    return true;
}

} // namespace

bool read_machine(const char* preset_or_path, SimMachine* machine, std::string* error)
{
    if (!preset_or_path || !*preset_or_path) {
        *error = "no machine named";
        return false;
    }
    if (const char* text = sim_preset_text(preset_or_path))
        return parse_machine(text, std::string("preset ") + preset_or_path, machine, error);
    std::string contents;
    if (!read_whole_file(preset_or_path, &contents)) {
        *error = std::string(preset_or_path) + ": cannot read this machine description (nor is it a preset: " +
                 sim_preset_names() + ")";
        return false;
    }
    return parse_machine(contents, preset_or_path, machine, error);
}
