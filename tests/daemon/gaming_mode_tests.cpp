// Gaming Mode's on and off sequences as the driver sees them, and the watcher.
#include "daemon_fixture.h"
#include "common/switch_bounds.h"
#include "daemon/daemon_state.h"
#include "driver/driver.h"
#include "journal/journal.h"
#include "notice/notice.h"
#include "platform/tsc_read.h"
#include "registry/registry.h"
#include "support/test_support.h"

#include <algorithm>
#include <stdio.h>
#include <string.h>
#include <string>
#include <windows.h>

using namespace daemon_testing;

namespace {

// The simulated machine's own processors, while a test runs on changed ones.
const ProcessorOps* machine_cpus = nullptr;

class GamingMode : public DaemonOnMachine {
protected:
    // Switches Gaming Mode on with the machine's processors as change(ops) alters them, and
    // puts the machine's own back afterwards.
    template <class Change>
    void on_through(Change change)
    {
        static ProcessorOps changed;
        machine_cpus = &platform_processors();
        changed = *machine_cpus;
        change(changed);
        platform_install(&changed, &platform_device());
        Qel_DaemonDoCommand("1");
        platform_install(machine_cpus, &platform_device());
    }
    void start(const char* machine)
    {
        load(machine);
        int available = 0;
        ASSERT_EQ(1, Qel_DaemonStart(0, 0, &available));
        ASSERT_EQ(1, available);
        sim_log_clear();
    }
    // Loads a machine described in place (one directive a line).
    void start_described(const char* tag, const std::string& description)
    {
        std::string path = testing_support::temp_path(tag);
        FILE* f = fopen(path.c_str(), "wb");
        ASSERT_TRUE(f);
        fputs(description.c_str(), f);
        fclose(f);
        start(path.c_str());
        DeleteFileA(path.c_str());
    }
    std::vector<std::string> requests()
    {
        std::vector<std::string> names;
        for (const std::string& line : log_lines()) names.push_back(line.substr(0, line.find(' ')));
        return names;
    }
};

TEST_F(GamingMode, TwoNodeOnSequenceReachesEachProcessorFromItselfAtRealtime)
{
    start("two-node");
    Qel_DaemonDoCommand("1");
    EXPECT_EQ(1, Qel_DaemonIsGameModeOn());

    EXPECT_EQ((std::vector<std::string>{"PCI_READ", "PCI_WRITE", "PCI_READ", "SYNC_NODE_TSC", "SYNC_NODE_TSC",
                                        "SYNC_CORE_TSC", "SYNC_CORE_TSC", "SYNC_CORE_TSC", "SYNC_CORE_TSC"}),
              requests());
    std::vector<std::string> pci = log_lines("PCI_");
    ASSERT_EQ(3u, pci.size());
    DWORD read = strtoul(field(pci[0], "value").c_str(), nullptr, 16);
    DWORD written = strtoul(field(pci[1], "value").c_str(), nullptr, 16);
    EXPECT_NE(0u, read & NB_BIT);
    EXPECT_EQ(read & ~NB_BIT, written);

    std::vector<std::string> nodes = log_lines("SYNC_NODE_TSC");
    EXPECT_EQ((std::vector<std::string>{"0x1000000A", "0x0000000A"}), fields(nodes, "word"));
    EXPECT_EQ((std::vector<std::string>{"0", "0"}), fields(nodes, "cpu"));
    std::vector<std::string> cores = log_lines("SYNC_CORE_TSC");
    EXPECT_EQ((std::vector<std::string>{"0x00000007", "0x10000007", "0x01000007", "0x11000007"}),
              fields(cores, "word"));
    EXPECT_EQ((std::vector<std::string>{"0", "1", "2", "3"}), fields(cores, "cpu"));
    for (const std::string& line : log_lines("SYNC_")) {
        EXPECT_EQ("realtime", field(line, "priority")) << line;
        EXPECT_EQ("0,0", field(line, "reply")) << line;
    }
    // Afterwards: normal priorities, the process free to run anywhere again.
    EXPECT_EQ(static_cast<DWORD>(NORMAL_PRIORITY_CLASS), GetPriorityClass(GetCurrentProcess()));
    EXPECT_EQ(THREAD_PRIORITY_NORMAL, GetThreadPriority(GetCurrentThread()));
    EXPECT_EQ(-1, sim_bound_cpu());
}

TEST_F(GamingMode, OffSetsTheBitAgainOnlyWhereItWasCleared)
{
    start("two-node");
    DWORD original = 0;
    ASSERT_TRUE(sim_get_pci(NB_BUS, NB_DEVICE, NB_FUNCTION, NB_REGISTER, &original));
    Qel_DaemonDoCommand("1");
    sim_log_clear();
    Qel_DaemonDoCommand("0");
    EXPECT_EQ(0, Qel_DaemonIsGameModeOn());
    EXPECT_EQ((std::vector<std::string>{"PCI_READ", "PCI_WRITE"}), requests());
    DWORD now = 0;
    ASSERT_TRUE(sim_get_pci(NB_BUS, NB_DEVICE, NB_FUNCTION, NB_REGISTER, &now));
    EXPECT_EQ(original, now);
}

TEST_F(GamingMode, BitAlreadyClearIsNeverWritten)
{
    start("two-node");
    sim_set_pci(NB_BUS, NB_DEVICE, NB_FUNCTION, NB_REGISTER, 0x00000017);
    Qel_DaemonDoCommand("1");
    EXPECT_EQ(0u, log_lines("PCI_WRITE").size());
    sim_log_clear();
    Qel_DaemonDoCommand("0");
    EXPECT_EQ(0u, log_lines("PCI_").size()) << "the off sequence touched a bit it never cleared";
}

TEST_F(GamingMode, FailedNorthbridgeReadWritesNothing)
{
    start("two-node");
    sim_set_fail_from(1); // the first read is not delivered, nor anything after it
    Qel_DaemonDoCommand("1");
    EXPECT_EQ(1, Qel_DaemonIsGameModeOn());
    sim_set_fail_from(0);
    EXPECT_EQ(0u, log_lines("PCI_WRITE").size());
    sim_log_clear();
    Qel_DaemonDoCommand("0");
    EXPECT_EQ(0u, log_lines("PCI_").size());
}

// The active plan as the stand-in powercfg keeps it ("" for its default, Balanced).
std::string active_plan()
{
    char text[64] = "";
    DWORD size = sizeof text - 1;
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\tickmend-sim\\powercfg", 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
        RegQueryValueExA(key, "Active", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size);
        RegCloseKey(key);
    }
    return text;
}

const char power_saver[] = "a1841308-3541-4fab-bc81-f71556f20b4a";
const char high_performance[] = "8c5e7fda-e8bf-4a96-9a85-a6e23a8c635c";
const char balanced[] = "381b4222-f694-41f0-9685-ff5bb260df2e";
const char record_key[] = "Software\\QEL\\qel_pacemill";

// The user (or anyone) makes a plan active through the stand-in powercfg's state.
void make_active(const char* guid)
{
    ASSERT_EQ(1, set_registry_value(HKEY_CURRENT_USER, "Software\\tickmend-sim\\powercfg", "Active", REG_SZ, guid,
                                    static_cast<DWORD>(strlen(guid) + 1)));
}

void store_number(const char* name, DWORD value)
{
    ASSERT_EQ(1, set_registry_value(HKEY_CURRENT_USER, record_key, name, REG_DWORD, &value, sizeof value));
}

void store_text(const char* name, const char* text)
{
    ASSERT_EQ(1, set_registry_value(HKEY_CURRENT_USER, record_key, name, REG_SZ, text,
                                    static_cast<DWORD>(strlen(text) + 1)));
}

bool record_pending()
{
    DWORD value = 0;
    return get_registry_typed(HKEY_CURRENT_USER, record_key, "restore_pending", REG_DWORD, &value, sizeof value) &&
           value;
}

// A record as a crash, an older version or a hand in regedit may leave it, carried out with
// no instance running. High performance, the plan Gaming Mode set, is active at the start.
struct stored_record {
    const char* what;
    void (*write)();
    const char* plan_after;     // the active plan afterwards
    bool plan_named_in_balloon; // the record is closed with the balloon naming what was not given back
};

const stored_record stored_records[] = {
    {"a sound record", [] { store_number("restore_pending", 1u); store_text("restore_scheme_guid", power_saver);
                            store_text("restore_set_guid", high_performance); },
     power_saver, false},
    {"a GUID in braces, as Windows writes it",
     [] { store_number("restore_pending", 1u); store_text("restore_scheme_guid", "{A1841308-3541-4FAB-BC81-F71556F20B4A}");
          store_text("restore_set_guid", "{8c5e7fda-e8bf-4a96-9a85-a6e23a8c635c}"); },
     power_saver, false},
    {"a GUID that is garbage", [] { store_number("restore_pending", 1u); store_text("restore_scheme_guid", "not a plan at all"); },
     high_performance, true},
    {"a GUID of a deleted plan",
     [] { store_number("restore_pending", 1u); store_text("restore_scheme_guid", "01234567-89ab-cdef-0123-456789abcdef"); },
     high_performance, true},
    {"a GUID stored as a number", [] { store_number("restore_pending", 1u); store_number("restore_scheme_guid", 5u); },
     high_performance, true},
    {"a GUID longer than any", [] { store_number("restore_pending", 1u); store_text("restore_scheme_guid", std::string(200, 'a').c_str()); },
     high_performance, true},
    {"an XP scheme index on Vista", [] { store_number("restore_pending", 1u); store_number("restore_scheme_index", 0u); },
     high_performance, true},
    {"an index next to a sound GUID",
     [] { store_number("restore_pending", 1u); store_number("restore_scheme_index", 7u); store_text("restore_scheme_guid", power_saver); },
     power_saver, false},
    {"a node mask beyond the nodes present",
     [] { store_number("restore_pending", 1u); store_number("restore_nb_nodes", 0xFFFFFFFFu); store_text("restore_scheme_guid", power_saver); },
     power_saver, false},
    {"a plan set by Gaming Mode that is garbage",
     [] { store_number("restore_pending", 1u); store_text("restore_scheme_guid", power_saver); store_text("restore_set_guid", "x"); },
     power_saver, false},
    {"the pending mark stored as text", [] { store_text("restore_pending", "1"); store_text("restore_scheme_guid", power_saver); },
     high_performance, false},
    {"a pending mark alone", [] { store_number("restore_pending", 1u); }, high_performance, false},
};

TEST_F(GamingMode, StoredRecordsAreJudgedAndNoneStaysPendingForEver)
{
    for (const stored_record& row : stored_records) {
        SCOPED_TRACE(row.what);
        testing_support::delete_tree(HKEY_CURRENT_USER, record_key);
        testing_support::delete_tree(HKEY_CURRENT_USER, "Software\\tickmend-sim\\powercfg");
        make_active(high_performance);
        notice_clear(NOTICE_PLAN_NOT_GIVEN_BACK);
        row.write();
        load("two-node");
        sim_log_clear();
        Qel_DaemonFinishRestore();
        EXPECT_EQ(row.plan_after, active_plan());
        EXPECT_FALSE(record_pending()) << "the record is still pending";
        EXPECT_EQ(row.plan_named_in_balloon, (notice_raised() & (1u << NOTICE_PLAN_NOT_GIVEN_BACK)) != 0);
        EXPECT_LE(log_lines("PCI_WRITE").size(), 2u) << "a node not present was written";
    }
}

// A plan the start could not give back is told in the balloon of the window that comes after
// the start's own on; once a window has told it, the next on-period clears it.
TEST_F(GamingMode, PlanGoneAtTheStartOutlivesTheStartsOwnOnUntilAWindowTellsIt)
{
    testing_support::delete_tree(HKEY_CURRENT_USER, "Software\\tickmend-sim\\powercfg");
    make_active(high_performance);
    store_number("restore_pending", 1u);
    store_text("restore_scheme_guid", "01234567-89ab-cdef-0123-456789abcdef");
    notice_clear(NOTICE_PLAN_NOT_GIVEN_BACK);
    start("two-node");
    Qel_DaemonDoCommand("1");
    EXPECT_NE(0u, notice_raised() & (1u << NOTICE_PLAN_NOT_GIVEN_BACK)) << "cleared before any window told it";
    Qel_DaemonDoCommand("0");
    HWND window = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    notice_set_window(window, WM_USER);
    Qel_DaemonDoCommand("1");
    notice_set_window(nullptr, 0);
    DestroyWindow(window);
    EXPECT_EQ(0u, notice_raised() & (1u << NOTICE_PLAN_NOT_GIVEN_BACK)) << "an old period's words outlived a new one";
}

TEST_F(GamingMode, RecordThatCannotBeSavedTakesNothingAndSaysWhy)
{
    testing_support::delete_tree(HKEY_CURRENT_USER, "Software\\tickmend-sim\\powercfg");
    make_active(power_saver);
    start("two-node");
    ASSERT_TRUE(testing_support::key_read_only(HKEY_CURRENT_USER, record_key, true));
    Qel_DaemonDoCommand("1");
    testing_support::key_read_only(HKEY_CURRENT_USER, record_key, false);
    EXPECT_EQ(1, Qel_DaemonIsGameModeOn()) << "the counters are synchronized all the same";
    EXPECT_EQ(power_saver, active_plan());
    EXPECT_TRUE(log_lines("PCI_WRITE").empty());
    EXPECT_NE(0u, notice_raised() & (1u << NOTICE_NO_RECORD));
    Qel_DaemonDoCommand("0");

    // Once the record can be saved, the next on takes both and the notice goes.
    Qel_DaemonDoCommand("1");
    EXPECT_EQ(high_performance, active_plan());
    EXPECT_FALSE(log_lines("PCI_WRITE").empty()) << "the bit was not cleared";
    EXPECT_EQ(0u, notice_raised() & (1u << NOTICE_NO_RECORD));
}

// The record's node mask as each northbridge write goes out (0 when no record is pending).
const DeviceOps* machine_device = nullptr;
std::vector<DWORD> nodes_recorded_at_write;

BOOL control_noting_record(HANDLE device, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size,
                           DWORD* returned)
{
    if (code == IOCTL_PCI_WRITE) {
        DWORD nodes = 0;
        get_registry_typed(HKEY_CURRENT_USER, record_key, "restore_nb_nodes", REG_DWORD, &nodes, sizeof nodes);
        nodes_recorded_at_write.push_back(record_pending() ? nodes : 0);
    }
    return machine_device->control(device, code, in, in_size, out, out_size, returned);
}

TEST_F(GamingMode, EachNorthbridgeBitIsRecordedBeforeItIsCleared)
{
    start("four-node");
    static DeviceOps noting;
    machine_device = &platform_device();
    noting = *machine_device;
    noting.control = control_noting_record;
    nodes_recorded_at_write.clear();
    platform_install(&platform_processors(), &noting);
    Qel_DaemonDoCommand("1");
    platform_install(&platform_processors(), machine_device);
    ASSERT_EQ(1u, nodes_recorded_at_write.size()) << "every pass reads the bit the first one cleared";
    EXPECT_EQ(1u, nodes_recorded_at_write[0]) << "the bit was cleared before it was recorded";
    Qel_DaemonDoCommand("0");
    EXPECT_FALSE(record_pending());
}

TEST_F(GamingMode, UsersPlanPickedWhileOnStandsAtTheRestore)
{
    testing_support::delete_tree(HKEY_CURRENT_USER, "Software\\tickmend-sim\\powercfg");
    make_active(power_saver);
    start("two-node");
    Qel_DaemonDoCommand("1");
    ASSERT_EQ(high_performance, active_plan());
    make_active(balanced); // and its notification never came
    Qel_DaemonDoCommand("0");
    EXPECT_EQ(balanced, active_plan());
    EXPECT_FALSE(record_pending());
}

// The status window's "Measure again": every processor against the first, no request sent;
// none where there is no Gaming Mode (its lock).
TEST_F(GamingMode, StatusMeasurementMeasuresEveryProcessorAndSendsNothing)
{
    start("two-node");
    sync_check_facts facts = {};
    ASSERT_EQ(1, Qel_DaemonMeasureCounters(&facts, 5000));
    EXPECT_TRUE(facts.checked);
    EXPECT_FALSE(facts.in_step) << "the nodes start millions of cycles apart";
    EXPECT_EQ(0u, facts.unmeasured);
    EXPECT_EQ(0u, sim_log_size()) << "a measurement sends no driver request";
    Qel_DaemonDoCommand("1");
    ASSERT_EQ(1, Qel_DaemonMeasureCounters(&facts, 5000));
    EXPECT_TRUE(facts.checked);
    EXPECT_TRUE(facts.in_step) << facts.offset_ns << " ns +- " << facts.uncertainty_ns;
    Qel_DaemonExit();
    load("one-node");
    ASSERT_EQ(1, Qel_DaemonStart(0, 0, nullptr));
    EXPECT_EQ(0, Qel_DaemonMeasureCounters(&facts, 5000));
}

TEST_F(GamingMode, WithoutADriverGamingModeIsStillOnAndThePlanSwitched)
{
    // This test program runs as a Windows of major version 6: the powercfg way.
    testing_support::delete_tree(HKEY_CURRENT_USER, "Software\\tickmend-sim\\powercfg");
    start("two-node");
    sim_set_driver_absent(true);
    Qel_DaemonDoCommand("1");
    EXPECT_EQ(1, Qel_DaemonIsGameModeOn());
    EXPECT_EQ(0u, sim_log_size());
    EXPECT_NE(0u, notice_raised() & (1u << NOTICE_DRIVER_ABSENT)) << "the tray icon is not told what was left out";
    EXPECT_EQ("8c5e7fda-e8bf-4a96-9a85-a6e23a8c635c", active_plan());
    Qel_DaemonDoCommand("0");
    EXPECT_EQ(0, Qel_DaemonIsGameModeOn());
    EXPECT_EQ("381b4222-f694-41f0-9685-ff5bb260df2e", active_plan()) << "Balanced was not restored";
    testing_support::delete_tree(HKEY_CURRENT_USER, "Software\\tickmend-sim\\powercfg");
}

TEST_F(GamingMode, RefusalIsToldWithTheDriversWords)
{
    start("two-node");
    sim_set_refusal(static_cast<LONG>(0xC0000001), 5);
    Qel_DaemonDoCommand("1");
    EXPECT_EQ(1, Qel_DaemonIsGameModeOn()) << "the pipe's reply keeps its meaning";
    char text[256];
    notice_text(NOTICE_DRIVER_REFUSED, text, sizeof text);
    EXPECT_NE(nullptr, strstr(text, "(Status 0xC0000001, RetCode 5)")) << text;
    EXPECT_EQ(0u, notice_raised() & (1u << NOTICE_SYNC_APART)) << "a second notice for the same refusal";
    last_on_record record;
    ASSERT_EQ(1, last_on_read(&record));
    EXPECT_EQ(0u, record.in_step) << "the counters a refused sync left apart were recorded in step";
    sim_set_refusal(0, 0);
    Qel_DaemonDoCommand("0");
    Qel_DaemonDoCommand("1");
    EXPECT_EQ(0u, notice_raised() & (1u << NOTICE_DRIVER_REFUSED)) << "a synchronized on still warns";
}

// The priority class of the process whenever a thread is bound alone (the check's threads).
std::vector<DWORD> classes_at_thread_binding;

DWORD_PTR bind_thread_noting_class(DWORD_PTR mask)
{
    classes_at_thread_binding.push_back(GetPriorityClass(GetCurrentProcess()));
    return machine_cpus->bind_thread(mask);
}

TEST_F(GamingMode, CountersAreMeasuredAfterTheRealtimeWindowAndFoundInStep)
{
    start("four-node");
    classes_at_thread_binding.clear();
    on_through([](ProcessorOps& ops) { ops.bind_thread = bind_thread_noting_class; });

    ASSERT_FALSE(classes_at_thread_binding.empty()) << "the counters were not measured";
    for (DWORD c : classes_at_thread_binding)
        EXPECT_EQ(static_cast<DWORD>(NORMAL_PRIORITY_CLASS), c) << "measured inside the realtime window";
    last_on_record record;
    ASSERT_EQ(1, last_on_read(&record));
    EXPECT_EQ(1u, record.checked) << record.why_not;
    EXPECT_EQ(1u, record.in_step);
    EXPECT_LT(record.offset_ns, record.uncertainty_ns + 1000);
    EXPECT_EQ(0u, notice_raised() & (1u << NOTICE_SYNC_APART));
    char line[48];
    notice_sync_line(line, sizeof line);
    // A check too loose to judge (a busy machine) says so rather than give a bound.
    EXPECT_EQ(0, strncmp(line, record.uncertainty_ns > 1000 ? "counters: cannot tell" : "counters within ",
                         record.uncertainty_ns > 1000 ? 21 : 16)) << line;
    Qel_DaemonDoCommand("0");
    notice_sync_line(line, sizeof line);
    EXPECT_STREQ("", line) << "the tooltip keeps a figure of Gaming Mode after off";
}

// The processor each thread of the check is bound to alone (-1: none), and one processor whose
// counter reads take slow_cycles longer: its round trips, and so its uncertainty, grow by that
// much, and its offset by half as much (the wait comes before the read), which an offset of
// the machine's own for it may cancel.
thread_local int thread_cpu = -1;
int slow_cpu = -1;
ULONGLONG slow_cycles = 0;

DWORD_PTR bind_thread_noting_cpu(DWORD_PTR mask)
{
    const DWORD_PTR previous = machine_cpus->bind_thread(mask);
    if (previous) thread_cpu = mask && !(mask & (mask - 1)) ? __builtin_ctz(static_cast<unsigned>(mask)) : -1;
    return previous;
}

ULONGLONG read_tsc_slow_on_one()
{
    if (thread_cpu >= 0 && thread_cpu == slow_cpu) {
        const ULONGLONG start = platform_ordered_tsc();
        while (platform_ordered_tsc() - start < slow_cycles) YieldProcessor();
    }
    return machine_cpus->read_tsc();
}

// Four processors whose counters the driver's sync leaves where they are.
std::string left_as_they_are(const char* offsets)
{
    return std::string("cpu bit=0 apic=0\ncpu bit=1 apic=1\ncpu bit=2 apic=2\ncpu bit=3 apic=3\n"
                       "pci 0 24 3 0x84 0x01000000\ndriver sync_does_nothing\n") +
           offsets;
}

struct checked_machine {
    const char* what;
    const char* offsets;
    int slow;
    ULONGLONG slow_cycles;
    DWORD_PTR silent;
    bool in_step;
    int cpu; // the processor the record names; -1: any
    DWORD unmeasured;
};

const checked_machine checked_machines[] = {
    // Processor 1's offset, pushed up by its slow reads, is cancelled: 2 has the largest
    // offset, 1 the widest bound (over a millisecond, beyond what a loaded machine gives 2).
    {"a loose processor sets the figure", "tsc bit=1 offset=-4000000\ntsc bit=2 offset=1500\n", 1, 8000000, 0,
     true, 1, 0},
    {"one processor beyond, a looser one with a larger offset", "tsc bit=3 offset=3000000\n", 1, 8000000, 0, false,
     3, 0},
    {"a silent processor", "", -1, 0, 1u << 2, true, -1, 1u << 2},
};

// What the check says holds for every processor it measured, and names those it did not.
TEST_F(GamingMode, CheckNamesTheProcessorItsFigureComesFromAndThoseItDidNotMeasure)
{
    for (const checked_machine& row : checked_machines) {
        SCOPED_TRACE(row.what);
        Qel_DaemonExit();
        start_described("checked", left_as_they_are(row.offsets));
        slow_cpu = row.slow;
        slow_cycles = row.slow_cycles;
        sim_set_silent(row.silent);
        set_switch_bounds(0, 1000); // a silent processor is waited for 1 s, not 5
        on_through([](ProcessorOps& ops) {
            ops.bind_thread = bind_thread_noting_cpu;
            ops.read_tsc = read_tsc_slow_on_one;
        });
        set_switch_bounds(0, 0);
        sim_set_silent(0);
        slow_cpu = -1;

        last_on_record record;
        ASSERT_EQ(1, last_on_read(&record));
        ASSERT_EQ(1u, record.checked) << record.why_not;
        EXPECT_EQ(row.in_step, record.in_step != 0);
        if (row.cpu >= 0) {
            EXPECT_EQ(static_cast<DWORD>(row.cpu), record.cpu);
        }
        EXPECT_EQ(row.unmeasured, record.unmeasured);
        char line[64];
        notice_sync_line(line, sizeof line);
        EXPECT_EQ(row.unmeasured != 0, strstr(line, "1 not measured") != nullptr) << line;
        if (row.in_step && record.uncertainty_ns > 1000) {
            EXPECT_EQ(0, strncmp(line, "counters: cannot tell", 21)) << line << ": a bound wider than allowed";
        } else if (row.in_step) {
            EXPECT_GE(record.bound_ns, record.offset_ns + record.uncertainty_ns);
            double figure = -1;
            ASSERT_EQ(1, sscanf(line, "counters within %lf", &figure)) << line;
            EXPECT_GE(figure * 1000, record.offset_ns + record.uncertainty_ns) << line << ": not a bound";
        } else {
            char text[256];
            notice_text(NOTICE_SYNC_APART, text, sizeof text);
            EXPECT_NE(nullptr, strstr(text, "left processor 3 ")) << text;
        }
    }
}

// A machine too busy to run both threads of a round trip at once: every TSC read waits a
// millisecond. The answering threads: those that bind themselves to a processor other than
// the reference (processor 0), to which the check's own thread binds.
volatile LONG slow_reads = 0;
std::vector<DWORD> answering_threads;
// When the check's own thread bound itself to the reference, and when it last read its
// counter while no second answering thread had started, by the performance counter: that
// thread reads its counter again right after it decided whether a second pass fits, so the
// last such read comes no earlier than the decision.
LARGE_INTEGER check_began, reference_last_read;
DWORD check_thread = 0;

ULONGLONG slow_read_tsc()
{
    InterlockedIncrement(&slow_reads);
    Sleep(1);
    return machine_cpus->read_tsc();
}

DWORD_PTR bind_thread_noting_who(DWORD_PTR mask)
{
    const DWORD me = GetCurrentThreadId();
    if (mask > 1 && !(mask & (mask - 1)) &&
        std::find(answering_threads.begin(), answering_threads.end(), me) == answering_threads.end())
        answering_threads.push_back(me);
    if (mask == 1 && !check_began.QuadPart) {
        check_thread = me;
        QueryPerformanceCounter(&check_began);
    }
    return machine_cpus->bind_thread(mask);
}

ULONGLONG (*checked_read_tsc)() = nullptr;

// The check after a sync on a machine whose TSC reads read_tsc makes slow, the threads that
// answered it noted.
class CheckOnABusyMachine : public GamingMode {
protected:
    void on_with(const char* machine, ULONGLONG (*read_tsc)())
    {
        start(machine);
        slow_reads = 0;
        answering_threads.clear();
        checked_read_tsc = read_tsc;
        on_through([](ProcessorOps& ops) {
            ops.read_tsc = checked_read_tsc;
            ops.bind_thread = bind_thread_noting_who;
        });
        last_on_record record;
        ASSERT_EQ(1, last_on_read(&record));
        EXPECT_EQ(1u, record.checked) << record.why_not;
    }
};

TEST_F(CheckOnABusyMachine, OneAnsweringThreadIsMovedAndEachProcessorsRoundsEndWithinTheirBudget)
{
    on_with("four-node", slow_read_tsc);
    // One thread for the pass, one more for a second pass over loose processors at most.
    EXPECT_GE(2u, answering_threads.size()) << "a thread started for each processor";
    // 7 processors, 200 round trips of 3 reads each: 4200 reads without a budget.
    EXPECT_GT(1400, slow_reads) << "the rounds went on past their budget";
    // Every reading a millisecond loose, far beyond the tolerance: the tooltip gives no bound.
    char line[64];
    notice_sync_line(line, sizeof line);
    EXPECT_EQ(0, strncmp(line, "counters: cannot tell, measured too loosely", 43)) << line;
}

// The first answering thread's reads wait 20 us: every round trip of the check's first pass
// is loose beyond the tolerance, on every processor alike.
ULONGLONG read_tsc_slow_on_first_answerer()
{
    const DWORD me = GetCurrentThreadId();
    if (!answering_threads.empty() && me == answering_threads[0]) {
        LARGE_INTEGER f, start, t;
        QueryPerformanceFrequency(&f);
        QueryPerformanceCounter(&start);
        do QueryPerformanceCounter(&t);
        while (t.QuadPart - start.QuadPart < f.QuadPart / 50000);
    }
    if (me == check_thread && answering_threads.size() < 2) QueryPerformanceCounter(&reference_last_read);
    return machine_cpus->read_tsc();
}

TEST_F(CheckOnABusyMachine, ProcessorsAllLooseBeyondTheToleranceAreMeasuredAgain)
{
    // A loaded machine may take so long over the first pass that no second fits in the check's
    // time (sync_check_ms), rightly: the on is tried again, up to five times, and judged once a
    // first pass left room for a second over its three loose processors.
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    for (int attempt = 0; attempt < 5; ++attempt) {
        Qel_DaemonExit();
        check_began.QuadPart = reference_last_read.QuadPart = 0;
        check_thread = 0;
        on_with("two-node", read_tsc_slow_on_first_answerer);
        // Judged only where even the latest moment the check can have decided at left room for
        // a pass over the three loose processors: a decision on a machine so loaded that it
        // came later says nothing either way.
        const LONGLONG spent_us = (reference_last_read.QuadPart - check_began.QuadPart) * 1000000 / frequency.QuadPart;
        if (!check_began.QuadPart || !reference_last_read.QuadPart ||
            spent_us + 3 * LONGLONG{daemon_state::sync_check_budget_us} > daemon_state::sync_check_ms * 1000)
            continue;
        // The first pass's answering thread, and one for the pass measured again.
        EXPECT_LE(2u, answering_threads.size()) << "the loose pass was not measured again";
        return;
    }
    GTEST_SKIP() << "five first passes left no room for a second on this loaded machine";
}

TEST_F(GamingMode, AcceptedSyncThatLeftTheCountersApartIsToldOnceAndGamingModeStaysOn)
{
    start_described("sync-does-nothing", "cpu bit=0 apic=0\ncpu bit=1 apic=1\ncpu bit=2 apic=2\ncpu bit=3 apic=3\n"
                                         "tsc bit=2 offset=3400000\ntsc bit=3 offset=300000000\n"
                                         "pci 0 24 3 0x84 0x01000000\ndriver sync_does_nothing\n");
    Qel_DaemonDoCommand("1");
    EXPECT_EQ(1, Qel_DaemonIsGameModeOn());
    for (const std::string& line : log_lines("SYNC_")) EXPECT_EQ("0,0", field(line, "reply")) << line;
    ASSERT_NE(0u, notice_raised() & (1u << NOTICE_SYNC_APART)) << "counters apart after an accepted sync";
    EXPECT_EQ(0u, notice_raised() & (1u << NOTICE_DRIVER_REFUSED));
    char text[256];
    notice_text(NOTICE_SYNC_APART, text, sizeof text);
    const char* expected = "The TSC sync left processor 3 (node 1, core 1) ";
    EXPECT_EQ(0, strncmp(text, expected, strlen(expected))) << text;
    EXPECT_NE(nullptr, strstr(text, " ms apart")) << text;
    last_on_record record;
    ASSERT_EQ(1, last_on_read(&record));
    EXPECT_EQ(1u, record.checked);
    EXPECT_EQ(0u, record.in_step);
    EXPECT_EQ(3u, record.cpu);
    EXPECT_GT(record.offset_ns, 100000u);
    Qel_DaemonDoCommand("0");
    EXPECT_EQ(0u, notice_raised() & (1u << NOTICE_SYNC_APART)) << "the notice outlived Gaming Mode";
}

TEST_F(GamingMode, WithoutADriverNoCheckRunsAndTheRecordSaysWhy)
{
    start("two-node");
    sim_set_driver_absent(true);
    Qel_DaemonDoCommand("1");
    last_on_record record;
    ASSERT_EQ(1, last_on_read(&record));
    EXPECT_EQ(0u, record.checked);
    EXPECT_STREQ("no sync request was sent", record.why_not);
}

TEST_F(GamingMode, BitLeftClearedByAFailingDriverIsSetAtTheNextOff)
{
    start("two-node");
    Qel_DaemonDoCommand("1");
    sim_set_fail_from(1); // from here on nothing is delivered
    Qel_DaemonDoCommand("0");
    EXPECT_NE(0u, notice_raised() & (1u << NOTICE_RESTORE_PENDING));
    sim_set_fail_from(0);
    Qel_DaemonDoCommand("0");
    DWORD now = 0;
    ASSERT_TRUE(sim_get_pci(NB_BUS, NB_DEVICE, NB_FUNCTION, NB_REGISTER, &now));
    EXPECT_NE(0u, now & NB_BIT);
    EXPECT_EQ(0u, notice_raised() & (1u << NOTICE_RESTORE_PENDING));
}

TEST_F(GamingMode, FailedAffinityQueryBindsNothing)
{
    start("two-node");
    sim_set_affinity_query_fails(true);
    Qel_DaemonDoCommand("1");
    sim_set_affinity_query_fails(false);
    EXPECT_EQ(-1, sim_bound_cpu()) << "the process stays bound to one processor";
    last_on_record record;
    ASSERT_EQ(1, last_on_read(&record));
    EXPECT_EQ(0u, record.checked);
    EXPECT_STREQ("no core sync request was sent", record.why_not);
    EXPECT_EQ((std::vector<std::string>{"-", "-"}), fields(log_lines("SYNC_NODE_TSC"), "cpu"));
}

TEST_F(GamingMode, ProcessorsWithoutANodeBelowEightGetNoRequest)
{
    // Family 16: APIC IDs 32 and 33 give node 8, beyond every table and every request.
    start_described("node-eight", "cpu bit=0 apic=0 family=16 htt=1\n"
                                  "cpu bit=1 apic=1 family=16 htt=1\n"
                                  "cpu bit=2 apic=32 family=16 htt=1\n"
                                  "cpu bit=3 apic=33 family=16 htt=1\n"
                                  "pci 0 24 3 0x84 0x01000000\n");
    ASSERT_EQ(2, node_count);
    Qel_DaemonDoCommand("1");
    EXPECT_EQ((std::vector<std::string>{"0", "1"}), fields(log_lines("SYNC_CORE_TSC"), "cpu"));
    EXPECT_EQ((std::vector<std::string>{"0x0000000A"}), fields(log_lines("SYNC_NODE_TSC"), "word"));
}

TEST_F(GamingMode, NodePassesStopAtTheTablesEightEntries)
{
    // Family 16, four cores per node: APIC IDs 0, 4, .. 36 are ten nodes, but the tables
    // and the node requests have eight.
    std::string description;
    for (int i = 0; i < 10; ++i) {
        char line[64];
        snprintf(line, sizeof line, "cpu bit=%d apic=%d family=16 htt=1\n", i, i * 4);
        description += line;
    }
    description += "pci 0 24 3 0x84 0x01000000\n";
    start_described("ten-nodes", description);
    ASSERT_EQ(10, node_count);
    Qel_DaemonDoCommand("1");
    EXPECT_EQ(8u, log_lines("PCI_READ").size());
    std::vector<std::string> words = fields(log_lines("SYNC_NODE_TSC"), "word");
    ASSERT_EQ(8u, words.size());
    EXPECT_EQ("0x7000000A", words.front());
    EXPECT_EQ("0x0000000A", words.back());
    EXPECT_EQ(8u, log_lines("SYNC_CORE_TSC").size());
}

TEST_F(GamingMode, InterleavedNodesAreSynchronizedOnceEachFromNodeZerosFirstProcessor)
{
    // Interleaved numbering: the first core of each node before the second ones.
    start("two-node-interleaved");
    Qel_DaemonDoCommand("1");
    EXPECT_EQ((std::vector<std::string>{"0x1000000A", "0x0000000A"}), fields(log_lines("SYNC_NODE_TSC"), "word"));
    EXPECT_EQ((std::vector<std::string>{"0", "0"}), fields(log_lines("SYNC_NODE_TSC"), "cpu"));
    EXPECT_EQ(0u, notice_raised() & (1u << NOTICE_DRIVER_REFUSED));
}

TEST_F(GamingMode, WithoutNodeZeroTheLowestNodePresentSendsTheNodeRequests)
{
    // APIC IDs 2..5: nodes 1,1,2,2: nodes 2 and 1 from processor 0, no request for node 0.
    start_described("no-node-zero", "cpu bit=0 apic=2 family=15 htt=1\n"
                                    "cpu bit=1 apic=3 family=15 htt=1\n"
                                    "cpu bit=2 apic=4 family=15 htt=1\n"
                                    "cpu bit=3 apic=5 family=15 htt=1\n"
                                    "pci 0 24 3 0x84 0x01000000\n");
    ASSERT_EQ(2, node_count);
    Qel_DaemonDoCommand("1");
    EXPECT_EQ((std::vector<std::string>{"0x2000000A", "0x1000000A"}), fields(log_lines("SYNC_NODE_TSC"), "word"));
    EXPECT_EQ((std::vector<std::string>{"0", "0"}), fields(log_lines("SYNC_NODE_TSC"), "cpu"));
    EXPECT_EQ((std::vector<std::string>{"0", "1", "2", "3"}), fields(log_lines("SYNC_CORE_TSC"), "cpu"));
    EXPECT_EQ(0u, notice_raised() & (1u << NOTICE_DRIVER_REFUSED));
}

// Processors as the stand-in machine has them, except for one that the system mask leaves
// out, and those that refuse to be bound alone.
DWORD_PTR refused_alone;

BOOL without_bit_three(DWORD_PTR* process_mask, DWORD_PTR* system_mask)
{
    BOOL ok = machine_cpus->get_affinity(process_mask, system_mask);
    *system_mask &= ~static_cast<DWORD_PTR>(8);
    return ok;
}

BOOL some_refused(DWORD_PTR mask)
{
    if ((mask & refused_alone) && !(mask & (mask - 1))) return FALSE;
    return machine_cpus->set_affinity(mask);
}

// A processor left out by the system mask is not this system's; one that cannot be bound
// gets no core request, and a sync that reached no core at all is no sync of the counters.
TEST_F(GamingMode, UnbindableOrMaskedProcessorsAreSkipped)
{
    const struct {
        DWORD_PTR refused;
        std::vector<std::string> cpus;
        const char* driver;
    } rows[] = {
        {2, {"0", "2"}, "counters synchronized but for processor 1: it could not be bound"},
        {0xF, {}, "nodes synchronized, cores not: no processor could be bound"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.driver);
        Qel_DaemonExit();
        start("two-node");
        refused_alone = row.refused;
        on_through([](ProcessorOps& ops) {
            ops.get_affinity = without_bit_three;
            ops.set_affinity = some_refused;
        });
        EXPECT_EQ(row.cpus, fields(log_lines("SYNC_CORE_TSC"), "cpu"));
        last_on_record record;
        ASSERT_EQ(1, last_on_read(&record));
        EXPECT_STREQ(row.driver, record.driver);
    }
}

DWORD WINAPI switch_on(LPVOID)
{
    Qel_DaemonDoCommand("1");
    return 0;
}

TEST_F(GamingMode, TwoSimultaneousOnCommandsMakeOneSequence)
{
    start("two-node");
    HANDLE threads[2];
    for (HANDLE& t : threads) t = CreateThread(nullptr, 0, switch_on, nullptr, 0, nullptr);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, threads, TRUE, 30000));
    for (HANDLE t : threads) CloseHandle(t);
    EXPECT_EQ(1, Qel_DaemonIsGameModeOn());
    EXPECT_EQ(2u, log_lines("SYNC_NODE_TSC").size());
    EXPECT_EQ(4u, log_lines("SYNC_CORE_TSC").size());
}

// The watcher, on the real registry: a value of the user's power configuration key.
class Watcher : public GamingMode {
protected:
    // The key exists on every Windows; a new Wine prefix may not have it yet.
    void SetUp() override
    {
        HKEY key;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, "Control Panel\\PowerCfg", 0, nullptr, 0,
                                                 KEY_ALL_ACCESS, nullptr, &key, nullptr));
        RegCloseKey(key);
    }
    void TearDown() override
    {
        GamingMode::TearDown();
        HKEY key;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, "Control Panel\\PowerCfg", 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
            RegDeleteValueA(key, "tickmend-test");
            RegCloseKey(key);
        }
        testing_support::delete_tree(HKEY_CURRENT_USER, "Control Panel\\PowerCfg\\tickmend-test");
    }
    // Writes a value that differs from every earlier one (identical data does not signal).
    static void touch(const char* subkey)
    {
        static DWORD counter = GetTickCount();
        ++counter;
        HKEY key;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, subkey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                                 &key, nullptr));
        RegSetValueExA(key, "tickmend-test", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&counter), 4);
        RegCloseKey(key);
    }
    static bool off_within(DWORD ms)
    {
        for (DWORD waited = 0; waited < ms; waited += 20) {
            if (!Qel_DaemonIsGameModeOn()) return true;
            Sleep(20);
        }
        return !Qel_DaemonIsGameModeOn();
    }
};

TEST_F(Watcher, OutsideChangeOfThePowerKeyTurnsGamingModeOffAndKeepsTheScheme)
{
    testing_support::delete_tree(HKEY_CURRENT_USER, "Software\\tickmend-sim\\powercfg");
    start("two-node");
    Qel_DaemonDoCommand("1");
    ASSERT_EQ(1, Qel_DaemonIsGameModeOn());
    sim_log_clear();
    make_active(power_saver);
    touch("Control Panel\\PowerCfg");
    ASSERT_TRUE(off_within(10000));
    EXPECT_EQ(1, scheme_changed_externally);
    EXPECT_EQ((std::vector<std::string>{"PCI_READ", "PCI_WRITE"}), requests());
    EXPECT_EQ(power_saver, active_plan()) << "the plan was restored over the user's change";
    EXPECT_FALSE(record_pending());

    // The next "1" switches again and clears the flag.
    Qel_DaemonDoCommand("1");
    EXPECT_EQ(1, Qel_DaemonIsGameModeOn());
    EXPECT_EQ(0, scheme_changed_externally);
}

TEST_F(Watcher, ChangeThatLeavesOurPlanActiveIsNotTheUsers)
{
    testing_support::delete_tree(HKEY_CURRENT_USER, "Software\\tickmend-sim\\powercfg");
    start("two-node");
    Qel_DaemonDoCommand("1");
    touch("Control Panel\\PowerCfg"); // High performance, ours, is still active
    EXPECT_FALSE(off_within(500));
    EXPECT_EQ(0, scheme_changed_externally);
    // The watch goes on: the user's pick after it is noticed.
    make_active(power_saver);
    touch("Control Panel\\PowerCfg");
    EXPECT_TRUE(off_within(10000));
    EXPECT_EQ(power_saver, active_plan());
}

TEST_F(Watcher, ChangeInASubkeyIsNotNoticed)
{
    start("two-node");
    Qel_DaemonDoCommand("1");
    make_active(power_saver);
    touch("Control Panel\\PowerCfg\\tickmend-test");
    EXPECT_FALSE(off_within(500));
}

TEST_F(Watcher, UserOffEndsTheWatcherWithoutItActing)
{
    start("two-node");
    Qel_DaemonDoCommand("1");
    Qel_DaemonDoCommand("0");
    EXPECT_EQ(0, scheme_changed_externally);
    make_active(power_saver);
    touch("Control Panel\\PowerCfg");
    Sleep(300);
    EXPECT_EQ(0, scheme_changed_externally) << "a watcher outlived its on-period";
    EXPECT_EQ(0, Qel_DaemonIsGameModeOn());
}

TEST_F(Watcher, OneChangeTurnsOffOnceAndTheNextPeriodWatchesAgain)
{
    start("two-node");
    Qel_DaemonDoCommand("1");
    make_active(power_saver);
    touch("Control Panel\\PowerCfg");
    ASSERT_TRUE(off_within(10000));
    Qel_DaemonDoCommand("1");
    ASSERT_EQ(1, Qel_DaemonIsGameModeOn());
    make_active(balanced);
    touch("Control Panel\\PowerCfg");
    EXPECT_TRUE(off_within(10000)) << "the second period had no watcher";
}

} // namespace
