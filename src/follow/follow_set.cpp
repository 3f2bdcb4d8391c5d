#include "follow/follow_set.h"
#include "common/trace.h"

namespace {

// Runs in the wait's own thread: only tells the follower's thread.
VOID CALLBACK on_process_ended(PVOID ended, BOOLEAN)
{
    SetEvent(static_cast<HANDLE>(ended));
}

} // namespace

void follow_entries::keep(const wchar_t* entry, follow_verdict verdict, void* context)
{
    if (verdict != follow_verdict::accepted) return; // never matches: tickmend-ctl auto list says why
    auto* self = static_cast<follow_entries*>(context);
    follow_entry kept = {};
    kept.text = copy_text(entry);
    if (!kept.text) {
        self->failed_ = true;
        return;
    }
    kept.path = follow_entry_is_path(entry);
    kept.identity_known = kept.path && file_identity_of(entry, &kept.identity);
    if (!self->items_.push(kept)) {
        free_text(kept.text);
        self->failed_ = true;
    }
}

void follow_entries::take(follow_entries* fresh)
{
    clear();
    items_.swap(fresh->items_);
    failed_ = false;
}

void follow_entries::clear()
{
    for (int i = 0; i < items_.count(); ++i) free_text(items_[i].text);
    items_.empty();
}

bool follow_entries::may_list(const wchar_t* name) const
{
    for (int i = 0; i < items_.count(); ++i)
        if (same_name(path_file_part(items_[i].text), name)) return true;
    return false;
}

bool follow_entries::has_paths() const
{
    for (int i = 0; i < items_.count(); ++i)
        if (items_[i].path) return true;
    return false;
}

bool follow_entries::lists(follow_member* member) const
{
    const wchar_t* name = path_file_part(member->image);
    const bool full = name != member->image;
    for (int i = 0; i < items_.count(); ++i) {
        const follow_entry& entry = items_[i];
        if (!entry.path) {
            if (same_name(entry.text, name)) return true;
            continue;
        }
        // A process whose image could not be read is taken for the program its name says.
        if (!full) {
            if (same_name(path_file_part(entry.text), name)) return true;
            continue;
        }
        if (!member->identity_tried) {
            member->identity_tried = true;
            member->identity_known = file_identity_of(member->image, &member->identity);
        }
        if (entry.identity_known && member->identity_known) {
            if (same_identity(entry.identity, member->identity)) return true;
        } else if (follow_same_path_text(entry.text, member->image)) {
            return true;
        }
    }
    return false;
}

int follow_members::find(DWORD id) const
{
    for (int i = 0; i < items_.count(); ++i)
        if (items_[i].id == id) return i;
    return -1;
}

const wchar_t* follow_members::first_name() const
{
    return path_file_part(items_[0].image);
}

void follow_members::try_wait(follow_member* member)
{
    if (member->wait || !member->process) return;
    HANDLE wait = nullptr;
    if (RegisterWaitForSingleObject(&wait, member->process, on_process_ended, ended_, INFINITE,
                                    WT_EXECUTEONLYONCE | WT_EXECUTEINWAITTHREAD))
        member->wait = wait;
    else TRACE("follower : no wait on %lu (%lu): looked at again\n", member->id, GetLastError());
}

bool follow_members::add(const follow_member& member)
{
    if (!items_.push(member)) {
        if (member.process) CloseHandle(member.process);
        free_text(member.image);
        return false;
    }
    try_wait(&items_[items_.count() - 1]);
    return true;
}

bool follow_members::unwaited() const
{
    for (int i = 0; i < items_.count(); ++i)
        if (!items_[i].wait) return true;
    return false;
}

void follow_members::let_go(int i)
{
    follow_member& member = items_[i];
    // Waits for a callback that runs, so that none is left to touch the event later.
    if (member.wait) UnregisterWaitEx(member.wait, INVALID_HANDLE_VALUE);
    if (member.process) CloseHandle(member.process);
    free_text(member.image);
    items_.remove_at(i);
}

void follow_members::let_go_ended()
{
    for (int i = items_.count() - 1; i >= 0; --i)
        if (items_[i].process && WaitForSingleObject(items_[i].process, 0) == WAIT_OBJECT_0) let_go(i);
}

void follow_members::keep_listed(const follow_entries& entries)
{
    for (int i = items_.count() - 1; i >= 0; --i)
        if (!entries.lists(&items_[i])) let_go(i);
}

void follow_members::start_look()
{
    for (int i = 0; i < items_.count(); ++i) items_[i].seen = false;
}

void follow_members::seen(DWORD id, const wchar_t* name)
{
    const int i = find(id);
    // The same id under another name is another process: the member's has ended.
    if (i >= 0 && same_name(path_file_part(items_[i].image), name)) items_[i].seen = true;
}

void follow_members::end_look()
{
    for (int i = items_.count() - 1; i >= 0; --i) {
        follow_member& member = items_[i];
        if (member.wait) continue;
        if (member.process ? WaitForSingleObject(member.process, 0) == WAIT_OBJECT_0 : !member.seen) {
            let_go(i);
            continue;
        }
        if (!member.process) member.process = open_process_image(member.id, SYNCHRONIZE);
        try_wait(&member);
    }
}

void follow_members::clear()
{
    for (int i = items_.count() - 1; i >= 0; --i) let_go(i);
}
