// What the follower holds: the list as last read (the entries the rule accepts, each path with
// the identity of its file) and the set of listed programs that run, each with a registered
// wait for its end. Both grow as far as memory lets them: no fixed limit. Used by the
// follower's thread alone.
#pragma once
#include "common/process_image.h"
#include "common/wide_text.h"
#include "follow/follow_list.h"

#include <windows.h>
#include <string.h>

// A growable array of plain records on the process heap.
template <class T>
class heap_array {
public:
    heap_array() = default;
    heap_array(const heap_array&) = delete;
    heap_array& operator=(const heap_array&) = delete;
    ~heap_array()
    {
        if (items_) HeapFree(GetProcessHeap(), 0, items_);
    }
    int count() const { return count_; }
    T& operator[](int i) { return items_[i]; }
    const T& operator[](int i) const { return items_[i]; }
    // False when memory runs out (nothing is changed then).
    bool push(const T& item)
    {
        if (count_ == capacity_) {
            const int capacity = capacity_ ? capacity_ * 2 : 16;
            void* grown = items_ ? HeapReAlloc(GetProcessHeap(), 0, items_, capacity * sizeof(T))
                                 : HeapAlloc(GetProcessHeap(), 0, capacity * sizeof(T));
            if (!grown) return false;
            items_ = static_cast<T*>(grown);
            capacity_ = capacity;
        }
        items_[count_++] = item;
        return true;
    }
    // Removes item i, keeping the order of the others.
    void remove_at(int i)
    {
        memmove(items_ + i, items_ + i + 1, (count_ - i - 1) * sizeof(T));
        --count_;
    }
    void empty() { count_ = 0; }
    void swap(heap_array& other)
    {
        T* items = items_;
        int count = count_, capacity = capacity_;
        items_ = other.items_, count_ = other.count_, capacity_ = other.capacity_;
        other.items_ = items, other.count_ = count, other.capacity_ = capacity;
    }

private:
    T* items_ = nullptr;
    int count_ = 0;
    int capacity_ = 0;
};

// A listed program that runs. process is null when it cannot be opened, wait null when it
// cannot be waited on: such a member is looked at again, never dropped unseen.
struct follow_member {
    DWORD id;
    HANDLE process;
    HANDLE wait;
    wchar_t* image;          // its full path, or its file name when that alone is known (on the heap)
    bool identity_tried;
    bool identity_known;
    file_identity identity;  // of its image's file
    bool seen;               // in the last look at the running processes
};

struct follow_entry {
    wchar_t* text; // on the heap
    bool path;
    bool identity_known;
    file_identity identity; // a path's file, when it exists
};

class follow_entries {
public:
    follow_entries() = default;
    follow_entries(const follow_entries&) = delete;
    follow_entries& operator=(const follow_entries&) = delete;
    ~follow_entries() { clear(); }
    // follow_list_each's callback: keeps an accepted entry (context: the follow_entries).
    static void keep(const wchar_t* entry, follow_verdict verdict, void* context);
    // True when an entry could not be kept (memory ran out): the list read is not whole.
    bool failed() const { return failed_; }
    int count() const { return items_.count(); }
    // Takes the entries of fresh (left empty).
    void take(follow_entries* fresh);
    void clear();
    // Whether a process of this file name may be listed (a name, or a path of that name).
    bool may_list(const wchar_t* name) const;
    // Whether a path is listed (its file may run under another name: a hard link).
    bool has_paths() const;
    // Whether member's image is listed: a name entry by its file name, a path entry by the
    // identity of its file (by the path's text when either file cannot be opened).
    bool lists(follow_member* member) const;

private:
    heap_array<follow_entry> items_;
    bool failed_ = false;
};

class follow_members {
public:
    ~follow_members() { clear(); }
    // The event each registered wait sets when its process ends.
    void set_ended_event(HANDLE ended) { ended_ = ended; }
    int count() const { return items_.count(); }
    // The index of the member with process id, or -1.
    int find(DWORD id) const;
    // The file name of the member followed longest (count() > 0).
    const wchar_t* first_name() const;
    // Follows member (its process handle and image now owned here); false when memory ran out.
    bool add(const follow_member& member);
    // Whether a member cannot be waited on (looked at again while one is).
    bool unwaited() const;
    // Lets go of the members whose process ended.
    void let_go_ended();
    // Lets go of the members that entries no longer list.
    void keep_listed(const follow_entries& entries);
    // A look at the running processes: start, each process seen, end. Members that cannot
    // be waited on and were not seen are let go; the others are tried again.
    void start_look();
    void seen(DWORD id, const wchar_t* name);
    void end_look();
    // Lets go of all.
    void clear();

private:
    void let_go(int i);
    void try_wait(follow_member* member);
    heap_array<follow_member> items_;
    HANDLE ended_ = nullptr;
};
