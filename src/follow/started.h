// The processes started since the last look: what the follower reads twice a second while
// something is listed, so that a program that shows no window (a console program, a server)
// is seen as soon as one that does. One call reads every process's id and creation time
// (NtQuerySystemInformation, the call EnumProcesses and the toolhelp snapshot make, with a
// buffer kept at the size the last look needed); only a process not there at the last look
// (a new id, or an id reused by a process created since) is told, and opened, once.
#pragma once
#include <windows.h>

class started_processes {
public:
    started_processes() = default;
    started_processes(const started_processes&) = delete;
    started_processes& operator=(const started_processes&) = delete;
    ~started_processes() { forget(); }
    // Reads the processes that run now and calls each(id, context) for every one that was
    // not there at the last look (for none at the first look after forget(), or when each is
    // null: they are noted only). False when they could not be read: the last look stands.
    bool look(void (*each)(DWORD id, void* context), void* context);
    // Lets go of what was noted, and of the buffers (the next look notes afresh).
    void forget();
    // Whether a look has noted the processes since forget().
    bool noted() const { return noted_; }
    // How many processes the last look found.
    int count() const { return known_count_; }

    // A process as a look knows it.
    struct seen {
        DWORD id;
        ULONGLONG created;
    };

    // Calls each(id, context) for every process of now (count, sorted by id) that known
    // (sorted by id) does not have: an id it lacks, or one it has with another creation time
    // (the id of an ended process, reused).
    static void tell_new(const seen* known, int known_count, const seen* now, int count,
                         void (*each)(DWORD id, void* context), void* context);

private:
    bool read_system(); // into system_, grown as needed
    void* system_ = nullptr;
    ULONG system_size_ = 0;
    seen* known_ = nullptr; // sorted by id
    seen* now_ = nullptr;
    int known_count_ = 0;
    int capacity_ = 0; // of both
    bool noted_ = false;
};
