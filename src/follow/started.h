// The processes started since the last look, told by their ids alone: what the follower
// reads twice a second while something is listed, so that a program that shows no window
// (a console program, a server) is seen as soon as one that does. An id costs nothing to
// read; only an id not there at the last look is opened, once, to read its image.
#pragma once
#include <windows.h>

class started_processes {
public:
    started_processes() = default;
    started_processes(const started_processes&) = delete;
    started_processes& operator=(const started_processes&) = delete;
    ~started_processes() { forget(); }
    // Reads the ids of the processes that run now and calls each(id, context) for every one
    // that was not there at the last look (for none at the first look after forget(), or
    // when each is null: the ids are noted only). False when the ids could not be read: the
    // last look stands.
    bool look(void (*each)(DWORD id, void* context), void* context);
    // Lets go of the ids noted (the next look notes them afresh).
    void forget();
    // Whether a look has noted the ids since forget().
    bool noted() const { return noted_; }

private:
    DWORD* known_ = nullptr; // sorted
    int known_count_ = 0;
    DWORD* now_ = nullptr;
    int capacity_ = 0; // of both
    bool noted_ = false;
};
