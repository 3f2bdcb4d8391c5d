// Warnings for the user about what did not work: raised and cleared by whoever finds out
// (the daemon, the pipe thread), shown by the tray icon. Any thread may call these; the
// tray window learns of every change from a posted message and shows each warning once in
// a balloon when it comes up, and in the tooltip while it lasts. The words of the notices, and
// every other text that tells the user what Gaming Mode did, are in notice/wording.h.
#pragma once
#include <windows.h>

enum notice_id {
    NOTICE_DRIVER_ABSENT,     // no TSC driver: Gaming Mode sets the power plan only
    NOTICE_DRIVER_REFUSED,    // the driver failed or refused a request: counters not synchronized
    NOTICE_PLAN_UNKNOWN,      // the active power plan could not be read: it was left alone
    NOTICE_PLAN_NOT_SWITCHED, // the non-throttling power plan could not be activated
    NOTICE_RESTORE_PENDING,   // the user's power plan or northbridge setting is not given back yet
    NOTICE_PIPE_NAME_TAKEN,   // another program holds the control pipe's name
    NOTICE_NO_RECORD,         // the restore record could not be saved: plan and bit left alone
    NOTICE_PLAN_NOT_GIVEN_BACK, // the owed plan no longer exists or its record is damaged: closed
    NOTICE_SYNC_APART,        // the driver accepted every sync request, yet the counters are apart
    NOTICE_LIST_UNREAD,       // the list of followed programs cannot be read: the last one read holds
    NOTICE_COUNT
};

// Raises a notice (with an optional detail such as "Status 0xC000000D, RetCode 1", kept
// until the next raise) or clears it; the window is told when the set changes.
void notice_raise(notice_id id, const char* detail = nullptr);
void notice_clear(notice_id id);
// Raises the notice when raised is true, else clears it.
void notice_set(notice_id id, bool raised, const char* detail = nullptr);
// The raised notices, bit (1u << id) each.
unsigned notice_raised();
// The window told by posting message (wParam and lParam 0) whenever the raised set changes
// or notice_changed is called; a null window stops it.
void notice_set_window(HWND window, UINT message);
// Tells the window that what it shows may have changed (Gaming Mode was switched).
void notice_changed();
// 1 while a window is told of the notices: one raised now gets its balloon.
int notice_told();
// The detail a notice was last raised with, into buffer (size bytes, always ended).
void notice_detail(notice_id id, char* buffer, int size);
// The balloon text of a notice with its detail, into buffer (size bytes, always ended).
void notice_text(notice_id id, char* buffer, int size);
// The few words that name a notice in the tooltip ("no TSC driver").
const char* notice_short(notice_id id);

// What the last check of the counters found ("counters within 0.2 us"), for the tooltip
// while Gaming Mode is on; "" clears it. The window learns of it with the next change.
void notice_set_sync_line(const char* line);
// The line, into buffer (size bytes, always ended; "" when none).
void notice_sync_line(char* buffer, int size);
