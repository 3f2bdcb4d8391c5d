// The client's look at the TSC driver and at what the resident program recorded: the driver
// found, absent or refusing (the client opens it itself), what the last start did, what the
// last on sequence achieved or left out (and whether the counters were found in step after
// it), and what an on-period still owes the user. Told as lines for people, or as rows of
// topology's CSV table for scripts.
#pragma once
#include "journal/journal.h"
#include "notice/wording.h"

#include <windows.h>

struct ClientFacts {
    driver_state driver;
    bool start_recorded;
    last_start_record start;
    bool on_recorded;
    last_on_record on;
    restore_record owed;
};

// Looks at the driver (a read of the northbridge register, which changes nothing) and reads
// the records.
void read_client_facts(ClientFacts* facts);
// Prints the driver line (what it means on a machine of that role), the last start, the last
// on sequence and what is still owed, to standard output.
void print_client_facts(const ClientFacts& facts, machine_role role);
// One row of topology's CSV table: fact,processor,node,core,apic,value ("" for a field that
// does not apply).
void csv_fact(const char* fact, const char* value, const char* processor = "", const char* node = "",
              const char* core = "", const char* apic = "");
// The same facts as rows of that table: driver, northbridge_bit, last_start_time, last_start,
// last_on_*, owed_plan, owed_northbridge_nodes (a record that is not there gives no row).
void print_client_facts_csv(const ClientFacts& facts);

// Who may have written the last-on record that "on" reads: the record lives under the user
// the resident program runs as, and this client reads its own user's. It is this server's
// when it carries the server's process id and was written after that process started (where
// Windows names the pipe's server), else when it was written after the client asked.
struct record_witness {
    DWORD server_process;     // 0 when this Windows cannot tell
    ULONGLONG server_started; // FILETIME units; 0 when it cannot be read
    ULONGLONG asked_at;       // FILETIME units: just before the request was sent
};
// On stderr, one line for each part that the server's last on sequence left out; the number
// of such lines, 0 when it did everything. -1, after a line that says so, when this user
// cannot see what it did: the record here is not that server's, or there is none.
// *unverified: the sync went, but whether it brought the counters into step cannot be told
// (measured too loosely, processors not measured, or no check could run), said on stderr too.
int print_left_out(const record_witness& witness, bool* unverified);
// On stderr, one line for each thing the last off did not give back (the power plan, by
// name where Windows lists it; the northbridge bit of each node); the number of such lines.
// -1, after a line that says so, when something is owed here but this user cannot tell
// whether it is that server's (its last-on record here is not the server's).
int print_not_given_back(const record_witness& witness);
