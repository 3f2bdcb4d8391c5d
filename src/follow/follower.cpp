// The follower's thread: the WinEvent hook, the waits on the followed processes and on the
// list's key, and the look at what already runs.
#include "follow/follower.h"
#include "follow/follow_list.h"
#include "common/handle.h"
#include "common/trace.h"
#include "daemon/daemon.h"

#include <tlhelp32.h>
#include <string.h>

namespace {

// MsgWaitForMultipleObjects takes 63 handles: the stop event and the list's event, then the
// followed processes.
constexpr int max_followed = 60;
constexpr int max_entries = 64;
constexpr DWORD stop_wait_ms = 5000;

struct Followed {
    HANDLE process;
    DWORD id;
    char name[MAX_PATH]; // its file name, for the tray
};

// Module state: the thread's own, apart from the handles that start and stop it.
tk::unique_handle thread;
tk::unique_handle stop_event;
volatile LONG running_count = 0;

char entries[max_entries][follow_entry_size];
int entry_count = 0;
Followed followed[max_followed];
int followed_count = 0;

void keep_entry(const char* entry, void*)
{
    if (entry_count < max_entries) lstrcpynA(entries[entry_count++], entry, follow_entry_size);
}

const char* listed_as(const char* path)
{
    for (int i = 0; i < entry_count; ++i)
        if (follow_entry_matches(entries[i], path)) return entries[i];
    return nullptr;
}

bool is_followed(DWORD id)
{
    for (int i = 0; i < followed_count; ++i)
        if (followed[i].id == id) return true;
    return false;
}

void publish_count()
{
    InterlockedExchange(&running_count, followed_count);
}

// A process that may be a listed program: followed when it is, and Gaming Mode asked on
// when it is the first.
void consider(DWORD id)
{
    if (entry_count == 0 || id == 0 || id == GetCurrentProcessId() || is_followed(id)) return;
    if (followed_count == max_followed) return;
    HANDLE process = follow_open_process(id);
    if (!process) return; // another user's, or gone already
    char path[MAX_PATH];
    if (!follow_image_path(process, path, sizeof path) || !listed_as(path) ||
        WaitForSingleObject(process, 0) != WAIT_TIMEOUT) {
        CloseHandle(process);
        return;
    }
    Followed& f = followed[followed_count++];
    f.process = process;
    f.id = id;
    lstrcpynA(f.name, follow_file_part(path), sizeof f.name);
    publish_count();
    TRACE("follower : %s (%lu) started\n", path, id);
    Qel_DaemonSetFollowed(followed_count, followed[0].name);
}

// One of the followed processes ended (or left the list): the last one turns Gaming Mode off.
void let_go(int index)
{
    CloseHandle(followed[index].process);
    followed[index] = followed[--followed_count];
    publish_count();
    Qel_DaemonSetFollowed(followed_count, followed_count ? followed[0].name : nullptr);
}

// The processes that run already, looked at by their file names first.
void look_at_running()
{
    if (entry_count == 0) return;
    tk::unique_hfile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot.get(), &entry); more; more = Process32Next(snapshot.get(), &entry)) {
        const char* name = follow_file_part(entry.szExeFile);
        bool maybe = false;
        for (int i = 0; i < entry_count && !maybe; ++i) maybe = lstrcmpiA(follow_file_part(entries[i]), name) == 0;
        if (maybe) consider(entry.th32ProcessID);
    }
}

// The list changed (or is read the first time): programs no longer listed are let go, those
// newly listed that run are followed.
void read_list()
{
    entry_count = 0;
    follow_list_each(keep_entry, nullptr);
    for (int i = followed_count - 1; i >= 0; --i) {
        char path[MAX_PATH];
        if (!follow_image_path(followed[i].process, path, sizeof path) || !listed_as(path)) let_go(i);
    }
    look_at_running();
}

// A window was created: a top-level window of another process may be a listed program's first.
void CALLBACK on_window_created(HWINEVENTHOOK, DWORD, HWND window, LONG object, LONG child, DWORD, DWORD)
{
    if (object != OBJID_WINDOW || child != CHILDID_SELF || !window) return;
    if (GetWindowLongA(window, GWL_STYLE) & WS_CHILD) return;
    DWORD id = 0;
    GetWindowThreadProcessId(window, &id);
    consider(id);
}

DWORD WINAPI follower_main(LPVOID parameter)
{
    HANDLE ready = static_cast<HANDLE>(parameter);
    HWINEVENTHOOK hook = SetWinEventHook(EVENT_OBJECT_CREATE, EVENT_OBJECT_CREATE, nullptr, on_window_created, 0, 0,
                                         WINEVENT_OUTOFCONTEXT | WINEVENT_SKIPOWNPROCESS);
    if (!hook) TRACE("follower : SetWinEventHook failed %lu\n", GetLastError());
    tk::unique_hkey key;
    RegCreateKeyExA(HKEY_CURRENT_USER, follow_list_key, 0, nullptr, 0, KEY_NOTIFY | KEY_QUERY_VALUE, nullptr,
                    key.put(), nullptr);
    tk::unique_handle changed(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    const DWORD notify = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;
    // Armed from this thread, which outlives it: Windows ends a registration with its thread.
    bool armed = key && changed && RegNotifyChangeKeyValue(key.get(), FALSE, notify, changed.get(), TRUE) == ERROR_SUCCESS;
    read_list();
    SetEvent(ready);

    for (;;) {
        HANDLE handles[2 + max_followed];
        int count = 0;
        handles[count++] = stop_event.get();
        // A handle may stand in the array once only: without a notification, no list event.
        if (armed) handles[count++] = changed.get();
        const DWORD first_process = static_cast<DWORD>(count);
        for (int i = 0; i < followed_count; ++i) handles[count++] = followed[i].process;
        DWORD woken = MsgWaitForMultipleObjects(count, handles, FALSE, INFINITE, QS_ALLINPUT);
        if (woken == WAIT_OBJECT_0 || woken == WAIT_FAILED) break;
        if (armed && woken == WAIT_OBJECT_0 + 1) {
            // Armed again before the list is read, so that a change made meanwhile is not missed.
            armed = RegNotifyChangeKeyValue(key.get(), FALSE, notify, changed.get(), TRUE) == ERROR_SUCCESS;
            read_list();
        } else if (woken >= WAIT_OBJECT_0 + first_process && woken < WAIT_OBJECT_0 + static_cast<DWORD>(count)) {
            let_go(static_cast<int>(woken - WAIT_OBJECT_0 - first_process));
        }
        // The hook's events come as messages of this thread.
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
    }
    if (hook) UnhookWinEvent(hook);
    for (int i = 0; i < followed_count; ++i) CloseHandle(followed[i].process);
    followed_count = 0;
    entry_count = 0;
    publish_count();
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
