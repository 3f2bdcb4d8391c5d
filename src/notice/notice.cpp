#include "notice/notice.h"

#include <stdio.h>
#include <string.h>

namespace {

struct notice_words {
    const char* text;  // the balloon
    const char* brief; // the tooltip
};

const notice_words words[NOTICE_COUNT] = {
    {"The TSC driver is not installed: Gaming Mode sets the power plan only.", "no TSC driver"},
    {"The TSC driver refused a request: the time-stamp counters may not be in step.", "TSC sync failed"},
    {"The active power plan could not be read: Gaming Mode left the power plan as it is.", "power plan unchanged"},
    {"The High performance power plan could not be activated: Gaming Mode left the power plan as it is.",
     "power plan unchanged"},
    {"Your power plan or northbridge setting could not be given back yet: QEL Pacemill tries again at the "
     "next switch and start.",
     "power plan not restored"},
    {"Another program holds the pipe \\\\.\\pipe\\QelTscPipe: no program can switch Gaming Mode through it "
     "until QEL Pacemill has it back, which it tries every few seconds.",
     "pipe taken by another program"},
};

// The raised set is read without a lock; the details and the window under this one.
struct guarded {
    CRITICAL_SECTION section;
    guarded() { InitializeCriticalSection(&section); }
    ~guarded() { DeleteCriticalSection(&section); }
};
guarded lock;
volatile LONG raised;
char details[NOTICE_COUNT][96];
HWND notified_window;
UINT notified_message;

void tell_window()
{
    EnterCriticalSection(&lock.section);
    HWND window = notified_window;
    UINT message = notified_message;
    LeaveCriticalSection(&lock.section);
    if (window) PostMessageA(window, message, 0, 0);
}

bool valid(notice_id id) { return id >= 0 && id < NOTICE_COUNT; }

} // namespace

void notice_raise(notice_id id, const char* detail)
{
    if (!valid(id)) return;
    EnterCriticalSection(&lock.section);
    lstrcpynA(details[id], detail ? detail : "", sizeof details[id]);
    LeaveCriticalSection(&lock.section);
    LONG bit = 1L << id;
    if (!(InterlockedOr(&raised, bit) & bit)) tell_window();
}

void notice_clear(notice_id id)
{
    if (!valid(id)) return;
    LONG bit = 1L << id;
    if (InterlockedAnd(&raised, ~bit) & bit) tell_window();
}

void notice_set(notice_id id, bool raised, const char* detail)
{
    if (raised) notice_raise(id, detail);
    else notice_clear(id);
}

unsigned notice_raised()
{
    return static_cast<unsigned>(InterlockedCompareExchange(&raised, 0, 0));
}

void notice_set_window(HWND window, UINT message)
{
    EnterCriticalSection(&lock.section);
    notified_window = window;
    notified_message = message;
    LeaveCriticalSection(&lock.section);
}

void notice_changed()
{
    tell_window();
}

void notice_text(notice_id id, char* buffer, int size)
{
    if (size <= 0) return;
    buffer[0] = '\0';
    if (!valid(id)) return;
    EnterCriticalSection(&lock.section);
    if (details[id][0]) _snprintf(buffer, size, "%s (%s)", words[id].text, details[id]);
    else _snprintf(buffer, size, "%s", words[id].text);
    LeaveCriticalSection(&lock.section);
    buffer[size - 1] = '\0';
}

const char* notice_short(notice_id id)
{
    return valid(id) ? words[id].brief : "";
}
