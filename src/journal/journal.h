// What an on-period of Gaming Mode has to give back, and what the last on sequence achieved,
// kept under HKEY_CURRENT_USER\Software\QEL\qel_pacemill so that both outlive the process:
//   restore_pending       REG_DWORD  1 while an on-period has not given back everything
//   restore_scheme_index  REG_DWORD  the user's XP power scheme, when one is owed
//   restore_scheme_guid   REG_SZ     the user's Vista power plan, when one is owed
//   restore_nb_nodes      REG_DWORD  bit i: node pass i cleared the northbridge bit
//   last_on_plan, last_on_northbridge, last_on_driver  REG_SZ  what the last on sequence did
//   last_on_checked       REG_DWORD  1 when the counters were measured after the sync
//   last_on_check_why_not REG_SZ     why they were not
//   last_on_in_step       REG_DWORD  1 when every offset was within its uncertainty + 1000 ns
//   last_on_offset_cpu, last_on_offset_node, last_on_offset_core  REG_DWORD  the processor
//                                    with the largest offset (out of step: the furthest out)
//   last_on_offset_ns, last_on_uncertainty_ns  REG_DWORD  its |offset| and its uncertainty
#pragma once
#include "pwr_enum/pwr_enum.h"

#include <windows.h>

// The on-period's debt to the user.
struct restore_record {
    DWORD open;      // an on-period began and has not given back everything yet
    power_plan plan; // the user's plan, to be made active again (plan_none: none owed)
    DWORD nb_nodes;  // node passes whose cleared northbridge bit is still to be set again
};

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
    char why_not[96];
};

// Reads the stored record; all zero when none is stored or it cannot be read.
void journal_read(restore_record* record);
// Stores an open record, or removes every value of a closed one; 1 when done.
int journal_write(const restore_record* record);
// Stores the last on sequence's record; 1 when done.
int last_on_write(const last_on_record* record);
// Reads it; 1 when one is stored (texts "" where a value is missing).
int last_on_read(last_on_record* record);
