// The follower's thread: the WinEvent hook, the registered waits on the followed processes,
// the watch on the list's key, and the look at what already runs.
#include "follow/follower.h"
#include "follow/follow_list.h"
#include "follow/follow_set.h"
#include "common/handle.h"
#include "common/process_image.h"
#include "common/trace.h"
#include "daemon/daemon.h"
#include "notice/notice.h"

#include <tlhelp32.h>
#include <stdio.h>
#include <string.h>

namespace {

constexpr DWORD stop_wait_ms = 5000;
// A followed process that cannot be waited on, a list that cannot be read or watched: looked
// at again this often while it lasts.
constexpr DWORD look_again_ms = 2000;
// A change of the list is read once the key has been quiet this long (an edit that removes
// one program and adds another is read as one change), and at the latest max_settle_ms after
// the first change.
constexpr DWORD settle_ms = 250;
constexpr DWORD max_settle_ms = 1000;
constexpr DWORD list_notify = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_CHANGE_SECURITY;

// Module state: the thread's own, apart from the handles that start and stop it.
tk::unique_handle thread;
tk::unique_handle stop_event;
volatile LONG running_count = 0;

follow_entries entries;   // the last list read
follow_members members;   // the listed programs that run
bool look_needed = false; // an event may have been missed: look at the running processes
bool list_unread = false; // the last read failed: the list before it holds

// The list's key and the key that holds it, each with its change notification; armed from
// this thread, which outlives them (Windows ends a registration with its thread).
struct Watch {
    tk::unique_hkey key;
    tk::unique_handle changed;
};
Watch list_watch, parent_watch;

bool arm(Watch* watch, const char* path, DWORD filter)
{
    if (!watch->changed) watch->changed.reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    if (!watch->changed) return false;
    if (watch->key && RegNotifyChangeKeyValue(watch->key.get(), FALSE, filter, watch->changed.get(), TRUE) == ERROR_SUCCESS)
        return true;
    // Deleted (ERROR_KEY_DELETED) or never opened: made again and watched again, at once.
    if (RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_NOTIFY | KEY_QUERY_VALUE, nullptr,
                        watch->key.put(), nullptr) != ERROR_SUCCESS)
        return false;
    return RegNotifyChangeKeyValue(watch->key.get(), FALSE, filter, watch->changed.get(), TRUE) == ERROR_SUCCESS;
}

// Both keys watched (the holder for its subkeys: a deleted list key tells nothing itself).
bool watch_list()
{
    const bool parent = arm(&parent_watch, follow_list_parent_key, REG_NOTIFY_CHANGE_NAME);
    return arm(&list_watch, follow_list_key, list_notify) && parent;
}

void publish()
{
    InterlockedExchange(&running_count, members.count());
}

// A process that may be a listed program: followed when it is. name: its file name as a
// snapshot gave it (null from the hook).
void consider(DWORD id, const char* name)
{
    if (id == 0 || id == GetCurrentProcessId() || members.find(id) >= 0 || entries.count() == 0) return;
    follow_member member = {};
    member.id = id;
    member.process = open_process_image(id, SYNCHRONIZE);
    if (member.process && process_image_path(member.process, member.image, sizeof member.image)) {
        // its full path: the identity of its file is read when a path entry asks
    } else if (name) {
        lstrcpynA(member.image, name, sizeof member.image);
    } else {
        // Neither opened nor named: the next look at the running processes tells its name.
        if (member.process) CloseHandle(member.process);
        look_needed = true;
        return;
    }
    if (!entries.lists(&member) || (member.process && WaitForSingleObject(member.process, 0) != WAIT_TIMEOUT)) {
        if (member.process) CloseHandle(member.process);
        return;
    }
    TRACE("follower : %s (%lu) started%s\n", member.image, id, member.process ? "" : ", not to be waited on");
    members.add(member);
    publish();
}

// The processes that run, looked at by their file names: the listed ones followed, the
// followed ones that cannot be waited on kept while they still run.
void look_at_running()
{
    look_needed = false;
    tk::unique_hfile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        look_needed = true;
        return;
    }
    members.start_look();
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot.get(), &entry); more; more = Process32Next(snapshot.get(), &entry)) {
        const char* name = path_file_part(entry.szExeFile);
        members.seen(entry.th32ProcessID, name);
        if (entries.may_list(name)) consider(entry.th32ProcessID, name);
    }
    members.end_look();
    publish();
}

// The list changed (or is read the first time): read as a whole, then the set made anew
// from it, so that a change that keeps a running program listed lets nothing go.
void read_list()
{
    follow_entries fresh;
    LONG error = ERROR_SUCCESS;
    const int read = follow_list_each(follow_entries::keep, &fresh, &error);
    list_unread = read < 0 || fresh.failed();
    if (list_unread) {
        // The last list read holds: nothing is let go for a list that cannot be read. Said
        // once: the notice is raised once, and stays until a read succeeds.
        char detail[32];
        _snprintf(detail, sizeof detail, "error %ld", read < 0 ? error : static_cast<LONG>(ERROR_OUTOFMEMORY));
        detail[sizeof detail - 1] = '\0';
        notice_raise(NOTICE_LIST_UNREAD, detail);
        return;
    }
    notice_clear(NOTICE_LIST_UNREAD);
    entries.take(&fresh);
    members.keep_listed(entries);
    look_at_running();
}

// A window was created: a top-level window of another process may be a listed program's first.
void CALLBACK on_window_created(HWINEVENTHOOK, DWORD, HWND window, LONG object, LONG child, DWORD, DWORD)
{
    if (object != OBJID_WINDOW || child != CHILDID_SELF || !window) return;
    if (GetWindowLongA(window, GWL_STYLE) & WS_CHILD) return;
    DWORD id = 0;
    GetWindowThreadProcessId(window, &id);
    consider(id, nullptr);
}

// What the owner is told: the set's size and the program the tray names, when either changed.
void report(int* reported, char* named)
{
    const char* program = members.count() ? members.first_name() : "";
    if (members.count() == *reported && lstrcmpiA(program, named) == 0) return;
    *reported = members.count();
    lstrcpynA(named, program, MAX_PATH);
    Qel_DaemonSetFollowed(*reported, *reported ? named : nullptr);
}

DWORD WINAPI follower_main(LPVOID parameter)
{
    HANDLE ready = static_cast<HANDLE>(parameter);
    HWINEVENTHOOK hook = SetWinEventHook(EVENT_OBJECT_CREATE, EVENT_OBJECT_CREATE, nullptr, on_window_created, 0, 0,
                                         WINEVENT_OUTOFCONTEXT | WINEVENT_SKIPOWNPROCESS);
    if (!hook) TRACE("follower : SetWinEventHook failed %lu\n", GetLastError());
    tk::unique_handle ended(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    members.set_ended_event(ended.get());
    bool watched = watch_list();
    read_list();
    int reported = 0;
    char named[MAX_PATH] = "";
    report(&reported, named);
    SetEvent(ready);

    DWORD first_change = 0, last_change = 0;
    bool settling = false;
    for (;;) {
        HANDLE handles[4] = {stop_event.get(), ended.get(), list_watch.changed.get(), parent_watch.changed.get()};
        const DWORD count = watched ? 4 : 2;
        DWORD timeout = INFINITE;
        const DWORD now = GetTickCount();
        if (settling) {
            const DWORD quiet = now - last_change, since = now - first_change;
            timeout = quiet >= settle_ms || since >= max_settle_ms ? 0 : settle_ms - quiet;
        }
        const bool unsettled = !watched || list_unread || members.unwaited();
        if (unsettled && timeout > look_again_ms) timeout = look_again_ms;
        DWORD woken = MsgWaitForMultipleObjects(count, handles, FALSE, timeout, QS_ALLINPUT);
        if (woken == WAIT_OBJECT_0 || woken == WAIT_FAILED) break;
        if (woken == WAIT_OBJECT_0 + 1) members.let_go_ended();
        if (woken == WAIT_OBJECT_0 + 2 || woken == WAIT_OBJECT_0 + 3) {
            // Watched again before the list is read, so that a change made meanwhile is not missed.
            watched = watch_list();
            last_change = GetTickCount();
            if (!settling) first_change = last_change;
            settling = true;
        }
        if (woken == WAIT_TIMEOUT) {
            if (settling || !watched || list_unread) {
                if (!watched) watched = watch_list();
                settling = false;
                read_list();
            } else {
                look_at_running(); // followed processes that cannot be waited on
            }
        }
        // The hook's events come as messages of this thread.
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
        if (look_needed) look_at_running();
        publish();
        report(&reported, named);
    }
    if (hook) UnhookWinEvent(hook);
    members.clear();
    entries.clear();
    list_watch = Watch();
    parent_watch = Watch();
    publish();
    // It no longer looks, so it sees none.
    report(&reported, named);
    return 0;
}

} // namespace

int Qel_FollowStart()
{
    if (thread) return 1;
    stop_event.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    tk::unique_handle ready(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!stop_event || !ready) {
        stop_event.reset();
        return 0;
    }
    thread.reset(CreateThread(nullptr, 0, follower_main, ready.get(), 0, nullptr));
    if (!thread) {
        stop_event.reset();
        return 0;
    }
    HANDLE either[2] = {ready.get(), thread.get()};
    WaitForMultipleObjects(2, either, FALSE, INFINITE);
    return 1;
}

void Qel_FollowStop()
{
    if (!thread) return;
    SetEvent(stop_event.get());
    if (WaitForSingleObject(thread.get(), stop_wait_ms) != WAIT_OBJECT_0) {
        // The thread only waits and looks; one that does not end goes with the process.
        TRACE("follower : the thread did not stop in time\n");
        static_cast<void>(thread.release());
        static_cast<void>(stop_event.release());
        return;
    }
    thread.reset();
    stop_event.reset();
}

int Qel_FollowRunning()
{
    return static_cast<int>(InterlockedCompareExchange(&running_count, 0, 0));
}
