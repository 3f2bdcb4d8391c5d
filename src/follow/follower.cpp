// The follower's thread: the registered waits on the followed processes, the look at the
// ids of the processes twice a second while something is listed, the WinEvent hook (a new
// window: an early word of a start), the watch on the list's key, and the look at what
// already runs.
#include "follow/follower.h"
#include "follow/follow_list.h"
#include "follow/follow_set.h"
#include "follow/started.h"
#include "common/handle.h"
#include "common/process_image.h"
#include "common/wide_text.h"
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
// While something is listed, the ids of the processes are read this often: a listed
// program's start is seen within it and the open and read of its image.
constexpr DWORD started_look_ms = 500;
constexpr DWORD list_notify = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_CHANGE_SECURITY;

// Module state: the thread's own, apart from the handles that start and stop it.
tk::unique_handle thread;
tk::unique_handle stop_event;
volatile LONG running_count = 0;

follow_entries entries;   // the last list read
follow_members members;   // the listed programs that run
started_processes started; // the ids that ran at the last look (while something is listed)
wchar_t image[long_path_size]; // the image of the process considered
bool look_needed = false; // an event may have been missed: look at the running processes
bool list_unread = false; // the last read failed: the list before it holds

// The list's key and the key that holds it (watched for its subkeys: a deleted key tells
// nothing itself), each with its change notification; armed from this thread, which
// outlives them (Windows ends a registration with its thread).
struct Watch {
    const char* path;
    DWORD filter;
    tk::unique_hkey key;
    tk::unique_handle changed;
    bool armed;
};
Watch list_watch = {follow_list_key, list_notify, {}, {}, false};
Watch parent_watch = {follow_list_parent_key, REG_NOTIFY_CHANGE_NAME, {}, {}, false};

// Arms the watch's notification (again, after it fired); a key found deleted, or never
// opened, is made again and watched again, at once.
void arm(Watch* watch)
{
    watch->armed = false;
    if (!watch->changed) watch->changed.reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    if (!watch->changed) return;
    if (watch->key &&
        RegNotifyChangeKeyValue(watch->key.get(), FALSE, watch->filter, watch->changed.get(), TRUE) == ERROR_SUCCESS) {
        watch->armed = true;
        return;
    }
    if (RegCreateKeyExA(HKEY_CURRENT_USER, watch->path, 0, nullptr, 0, KEY_NOTIFY | KEY_QUERY_VALUE, nullptr,
                        watch->key.put(), nullptr) != ERROR_SUCCESS)
        return;
    watch->armed =
        RegNotifyChangeKeyValue(watch->key.get(), FALSE, watch->filter, watch->changed.get(), TRUE) == ERROR_SUCCESS;
}

// Whether the watch's key was deleted under its handle.
bool deleted(const Watch& watch)
{
    return watch.key && RegQueryInfoKeyA(watch.key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                         nullptr, nullptr, nullptr, nullptr) == ERROR_KEY_DELETED;
}

void publish()
{
    InterlockedExchange(&running_count, members.count());
}

// A process that may be a listed program: followed when it is. name: its file name as a
// snapshot gave it (null from the hook and the look at the ids).
void consider(DWORD id, const wchar_t* name)
{
    if (id == 0 || id == GetCurrentProcessId() || members.find(id) >= 0 || entries.count() == 0) return;
    follow_member member = {};
    member.id = id;
    tk::unique_handle process(open_process_image(id, SYNCHRONIZE));
    member.process = process.get();
    if (process && process_image_path(process.get(), image, long_path_size)) {
        // its full path: the identity of its file is read when a path entry asks
    } else if (name) {
        lstrcpynW(image, name, long_path_size);
    } else {
        // Neither opened nor named: the next look at the running processes tells its name.
        look_needed = true;
        return;
    }
    member.image = image;
    if (!entries.lists(&member) || (process && WaitForSingleObject(process.get(), 0) != WAIT_TIMEOUT)) return;
    member.image = copy_text(image);
    if (!member.image) {
        // No memory for its name: looked at again at the next look.
        look_needed = true;
        return;
    }
    TRACE("follower : %lu started%s\n", id, process ? "" : ", not to be waited on");
    process.release(); // the members own it now
    members.add(member);
    publish();
}

// The processes that run, looked at by their file names: the listed ones followed, the
// followed ones that cannot be waited on kept while they still run. every: each process is
// asked for its image when a path is listed (another name of the file may run).
void look_at_running(bool every)
{
    look_needed = false;
    tk::unique_hfile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        look_needed = true;
        return;
    }
    members.start_look();
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        const wchar_t* name = path_file_part(entry.szExeFile);
        members.seen(entry.th32ProcessID, name);
        if (entries.may_list(name) || (every && entries.has_paths())) consider(entry.th32ProcessID, name);
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
    // The ids noted before the look at what runs: a process that starts between the two is
    // either in the look or new to the next look at the ids. Nothing listed: no look at all.
    if (entries.count()) started.look(nullptr, nullptr);
    else started.forget();
    look_at_running(true);
}

// The look at the ids: each process started since the last is considered.
void consider_started(DWORD id, void*)
{
    consider(id, nullptr);
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

// What the owner is told: the set's size and the program the tray names (UTF-8, cut at a
// whole character to the owner's MAX_PATH bytes), when either changed.
void report(int* reported, char* named)
{
    char program[MAX_PATH];
    utf8_from_wide(members.count() ? members.first_name() : L"", program, sizeof program);
    if (members.count() == *reported && strcmp(program, named) == 0) return;
    *reported = members.count();
    strcpy(named, program);
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
    arm(&parent_watch);
    arm(&list_watch);
    read_list();
    int reported = 0;
    char named[MAX_PATH] = "";
    report(&reported, named);
    SetEvent(ready);

    DWORD first_change = 0, last_change = 0, last_look = GetTickCount(), last_started_look = GetTickCount();
    bool settling = false;
    while (ended) {
        HANDLE handles[4] = {stop_event.get(), ended.get()};
        DWORD count = 2;
        const DWORD list_at = list_watch.changed ? count : MAXDWORD;
        if (list_watch.changed) handles[count++] = list_watch.changed.get();
        const DWORD parent_at = parent_watch.changed ? count : MAXDWORD;
        if (parent_watch.changed) handles[count++] = parent_watch.changed.get();
        // Woken by nothing while nothing happens; by a clock only while a change settles, or
        // while something must be looked at again.
        const bool unsettled = !list_watch.armed || !parent_watch.armed || list_unread || members.unwaited();
        DWORD timeout = INFINITE;
        const DWORD now = GetTickCount();
        if (settling) {
            const DWORD quiet = now - last_change, since = now - first_change;
            timeout = quiet >= settle_ms || since >= max_settle_ms ? 0 : settle_ms - quiet;
        }
        if (unsettled) {
            const DWORD since_look = now - last_look;
            const DWORD look_in = since_look >= look_again_ms ? 0 : look_again_ms - since_look;
            if (look_in < timeout) timeout = look_in;
        }
        if (started.noted()) {
            const DWORD since_look = now - last_started_look;
            const DWORD look_in = since_look >= started_look_ms ? 0 : started_look_ms - since_look;
            if (look_in < timeout) timeout = look_in;
        }
        const DWORD woken = MsgWaitForMultipleObjects(count, handles, FALSE, timeout, QS_ALLINPUT) - WAIT_OBJECT_0;
        if (woken == 0 || woken + WAIT_OBJECT_0 == WAIT_FAILED) break;
        if (woken == 1) members.let_go_ended();
        if (woken == list_at || woken == parent_at) {
            // Watched again before the list is read, so that a change made meanwhile is not
            // missed; read once the edit is over.
            if (woken == parent_at) arm(&parent_watch);
            if (woken == list_at || deleted(list_watch)) arm(&list_watch);
            last_change = GetTickCount();
            if (!settling) first_change = last_change;
            settling = true;
        }
        const DWORD then = GetTickCount();
        if (settling && (then - last_change >= settle_ms || then - first_change >= max_settle_ms)) {
            settling = false;
            read_list();
        } else if (unsettled && then - last_look >= look_again_ms) {
            last_look = then;
            const bool rewatch = !list_watch.armed || !parent_watch.armed;
            if (!parent_watch.armed) arm(&parent_watch);
            if (!list_watch.armed) arm(&list_watch);
            if (rewatch || list_unread) read_list();
            else look_at_running(false); // followed processes that cannot be waited on
        }
        if (started.noted() && GetTickCount() - last_started_look >= started_look_ms) {
            last_started_look = GetTickCount();
            started.look(consider_started, nullptr);
        }
        // The hook's events come as messages of this thread.
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
        if (look_needed) look_at_running(true);
        publish();
        report(&reported, named);
    }
    if (hook) UnhookWinEvent(hook);
    members.clear();
    entries.clear();
    started.forget();
    for (Watch* watch : {&list_watch, &parent_watch}) {
        watch->key.reset();
        watch->changed.reset();
        watch->armed = false;
    }
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
