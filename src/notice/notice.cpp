#include "notice/notice.h"
#include "notice/wording.h"
#include "common/scoped_lock.h"

#include <stdio.h>
#include <string.h>

namespace {

// The raised set is read without a lock; the details and the window under this one.
struct guarded {
    CRITICAL_SECTION section;
    guarded() { InitializeCriticalSection(&section); }
    ~guarded() { DeleteCriticalSection(&section); }
};
guarded lock;
volatile LONG raised;
char details[NOTICE_COUNT][96];
char sync_line[64];
HWND notified_window;
UINT notified_message;

void tell_window()
{
    HWND window;
    UINT message;
    {
        tk::scoped_lock hold(lock.section);
        window = notified_window;
        message = notified_message;
    }
    if (window) PostMessageA(window, message, 0, 0);
}

bool valid(notice_id id) { return id >= 0 && id < NOTICE_COUNT; }

} // namespace

void notice_raise(notice_id id, const char* detail)
{
    if (!valid(id)) return;
    {
        tk::scoped_lock hold(lock.section);
        lstrcpynA(details[id], detail ? detail : "", sizeof details[id]);
    }
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
    tk::scoped_lock hold(lock.section);
    notified_window = window;
    notified_message = message;
}

void notice_changed()
{
    tell_window();
}

int notice_told()
{
    tk::scoped_lock hold(lock.section);
    return notified_window != nullptr;
}

void notice_detail(notice_id id, char* buffer, int size)
{
    if (size <= 0) return;
    buffer[0] = '\0';
    if (!valid(id)) return;
    tk::scoped_lock hold(lock.section);
    lstrcpynA(buffer, details[id], size);
}

void notice_text(notice_id id, char* buffer, int size)
{
    if (size <= 0) return;
    buffer[0] = '\0';
    if (!valid(id)) return;
    tk::scoped_lock hold(lock.section);
    // Words that say where their detail goes ("left %s apart") take it there; a bracketed
    // place (" (%s)") goes with its brackets when there is no detail.
    const char* words = notice_balloon_words(id);
    const char* slot = strstr(words, "%s");
    const bool bracketed = slot && slot - words >= 2 && slot[-2] == ' ' && slot[-1] == '(' && slot[2] == ')';
    if (slot && bracketed && !details[id][0])
        _snprintf(buffer, size, "%.*s%s", static_cast<int>(slot - 2 - words), words, slot + 3);
    else if (slot) _snprintf(buffer, size, words, details[id]);
    else if (details[id][0]) _snprintf(buffer, size, "%s (%s)", words, details[id]);
    else _snprintf(buffer, size, "%s", words);
    buffer[size - 1] = '\0';
}

const char* notice_short(notice_id id)
{
    return notice_brief_words(id);
}

void notice_set_sync_line(const char* line)
{
    tk::scoped_lock hold(lock.section);
    lstrcpynA(sync_line, line ? line : "", sizeof sync_line);
}

void notice_sync_line(char* buffer, int size)
{
    if (size <= 0) return;
    tk::scoped_lock hold(lock.section);
    lstrcpynA(buffer, sync_line, size);
}
