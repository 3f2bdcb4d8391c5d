// What an on-period of Gaming Mode has to give back, and what the last on sequence achieved,
// kept under HKEY_CURRENT_USER\Software\QEL\qel_pacemill so that both outlive the process:
//   restore_pending       REG_DWORD  1 while an on-period has not given back everything
//   restore_scheme_index  REG_DWORD  the user's XP power scheme, when one is owed
//   restore_scheme_guid   REG_SZ     the user's Vista power plan, when one is owed
//   restore_nb_nodes      REG_DWORD  bit i: node pass i cleared the northbridge bit
//   last_on_plan, last_on_northbridge, last_on_driver  REG_SZ  what the last on sequence did
//   last_start, last_start_time  REG_SZ  what the last start of the program did, and when
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
};

// Reads the stored record; all zero when none is stored or it cannot be read.
void journal_read(restore_record* record);
// Stores an open record, or removes every value of a closed one; 1 when done.
int journal_write(const restore_record* record);
// Stores the last on sequence's record; 1 when done.
int last_on_write(const last_on_record* record);
// Reads it; 1 when one is stored (texts "" where a value is missing).
int last_on_read(last_on_record* record);

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
