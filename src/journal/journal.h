// What an on-period of Gaming Mode has to give back, and what the last on sequence achieved,
// kept under HKEY_CURRENT_USER\Software\QEL\qel_pacemill so that both outlive the process:
//   restore_pending       REG_DWORD  1 while an on-period has not given back everything
//   restore_scheme_index  REG_DWORD  the user's XP power scheme, when one is owed
//   restore_scheme_guid   REG_SZ     the user's Vista power plan, when one is owed
//   restore_nb_nodes      REG_DWORD  bit i: node pass i cleared the northbridge bit
//   restore_set_index     REG_DWORD  the XP power scheme Gaming Mode activated
//   restore_set_guid      REG_SZ     the Vista power plan Gaming Mode activated
//   restore_temp_scheme   REG_DWORD  1: that scheme is the temporary one tickmend wrote (XP)
//   last_on_plan, last_on_northbridge, last_on_driver  REG_SZ  what the last on sequence did
//   last_on_checked       REG_DWORD  1 when the counters were measured after the sync
//   last_on_check_why_not REG_SZ     why they were not
//   last_on_in_step       REG_DWORD  1 when every offset was within its uncertainty + 1000 ns
//   last_on_offset_cpu, last_on_offset_node, last_on_offset_core  REG_DWORD  the processor
//                                    with the largest offset (out of step: the furthest out)
//   last_on_offset_ns, last_on_uncertainty_ns  REG_DWORD  its |offset| and its uncertainty
//   last_on_bound_ns      REG_DWORD  the largest |offset| + uncertainty of every processor measured
//   last_on_unmeasured    REG_DWORD  bit i: processor i was not measured (silent, or not bound)
//   last_on_process       REG_DWORD  the process that wrote the record (the pipe's server)
//   last_on_time          REG_QWORD  when it was written (UTC, as a FILETIME)
//   restore_untold        REG_SZ     what "/k" could not give back (a plan gone), with no window
//                                    to tell it in: the next start's balloon says it
//   last_on_by            REG_SZ     who switched the last on-period on, in words
//   last_start, last_start_time  REG_SZ  what the last start of the program did, and when
#pragma once
#include "pwr_enum/pwr_enum.h"

#include <windows.h>

// The on-period's debt to the user.
struct restore_record {
    DWORD open;      // an on-period began and has not given back everything yet
    power_plan plan; // the user's plan, to be made active again (plan_none: none owed)
    DWORD nb_nodes;  // node passes whose cleared northbridge bit is still to be set again
    power_plan set_plan; // the plan Gaming Mode made active (plan_none: not known)
    DWORD temp_scheme;   // set_plan is a temporary scheme tickmend wrote, to be deleted
    DWORD unusable;      // journal_read: a stored value that cannot be used (unusable_* bits)
};
// A stored user's plan that is of the wrong type, too long, or of the other Windows' kind.
constexpr DWORD unusable_plan = 1;

// What the last on sequence achieved, in words for the user.
struct last_on_record {
    char plan[96];
    char northbridge[64];
    char driver[96];
    // The counters measured after the sync (checked 0: why_not says why they were not).
    DWORD checked;
    DWORD in_step;
    DWORD cpu, node, core;
    DWORD offset_ns;
    DWORD uncertainty_ns;
    DWORD bound_ns;   // every processor measured is within it (0 in a record from before it)
    DWORD unmeasured; // bit i: processor i was synchronized, or meant to be, and not measured
    char why_not[96];
    // Whose record it is: the process that wrote it and when (UTC, a FILETIME's 100 ns units);
    // stamped by last_on_write, 0 in a record from before they were kept.
    DWORD process_id;
    ULONGLONG written;
};

// The plan an on-period that begins with active has to give back, into record->plan: active,
// unless a plan is owed still and the plan Gaming Mode set is active yet (or not known), so
// that an on after a give-back that failed keeps the user's plan owed; a plan the user picked
// since is the user's choice now, and becomes the one owed.
void journal_owe_plan(restore_record* record, const power_plan& active);
// Reads the stored record; all zero when none is stored or it cannot be read. Every value is
// read with its type and size checked: a plan that cannot be used is left out (kind
// plan_none) and marked in unusable; restore_pending of another type reads as absent.
void journal_read(restore_record* record);
// Stores an open record, or removes every value of a closed one; 1 when done.
int journal_write(const restore_record* record);
// Stores only the node passes of a record stored open already (one value, where the whole
// record is several: the northbridge passes write it at realtime priority); 1 when done.
int journal_write_nodes(const restore_record* record);
// Stores the last on sequence's record, stamped with this process and the time now (the stamp
// goes first and comes back last, so that a record cut short carries none); 1 when done.
int last_on_write(const last_on_record* record);
// Replaces only the plan part of the last on sequence's record; 1 when done.
int last_on_note_plan(const char* plan);
// Reads it; 1 when one is stored (texts "" where a value is missing).
int last_on_read(last_on_record* record);
// Who switched the last on-period on ("the user", "game.exe, a listed program, started"):
// stored at each on, read back ("" and 0 when none is stored).
int last_on_note_by(const char* by);
int last_on_read_by(char* by, DWORD size);

// What "/k" could not give back, kept for the next start's balloon: kept (the notice's
// detail), and taken (read and removed; 1 when one was kept).
int journal_keep_untold(const char* detail);
int journal_take_untold(char* detail, int size);

// What the last start did, in words for the user ("one node: drift compensation registered
// on 2 processors; nothing stays resident"), and its local time ("2026-12-08 01:40").
struct last_start_record {
    char what[192];
    char when[32];
};

// Stores what this start did, with the time now; 1 when done.
int last_start_write(const char* what);
// Reads it; 1 when one is stored (when "" if its time is missing).
int last_start_read(last_start_record* record);
