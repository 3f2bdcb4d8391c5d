// The fixture of the programs Gaming Mode follows, shared by the files of its rows.
#pragma once
#include "e2e.h"

namespace e2e {

// The programs Gaming Mode follows: window programs started and ended as a user's games.
class Following : public Program {
protected:
    void TearDown() override
    {
        while (!games_.empty()) end_game(games_.begin()->first);
        Program::TearDown();
        for (const std::string& copy : copies_) DeleteFileA(copy.c_str());
        delete_tree(HKEY_CURRENT_USER, powercfg_state);
    }
    // follow_target.exe copied under name beside the temporary files; its full path.
    std::string game_copy(const char* name)
    {
        std::string copy = follow_target_copy(name);
        copies_.push_back(copy);
        return copy;
    }
    // Starts a copy and returns once its window exists (the moment the program has started).
    void start_game(const std::string& path)
    {
        std::string title = path.substr(path.find_last_of('\\') + 1);
        HANDLE process = start_process("\"" + path + "\" " + title);
        ASSERT_TRUE(process) << path;
        games_[path] = process;
        for (int i = 0; i < 400 && !FindWindowA("tickmend_follow_target", title.c_str()); ++i) Sleep(25);
        ASSERT_TRUE(FindWindowA("tickmend_follow_target", title.c_str())) << "no window of " << title;
    }
    // Ends a copy and returns once no process holds it any more (its id no longer opens): the
    // follower has let go of it, and turned Gaming Mode off before that if it was to. 10 s at most.
    void end_game(const std::string& path)
    {
        auto found = games_.find(path);
        if (found == games_.end()) return;
        const DWORD id = GetProcessId(found->second);
        TerminateProcess(found->second, 0);
        WaitForSingleObject(found->second, 10000);
        CloseHandle(found->second);
        games_.erase(found);
        for (int i = 0; i < 1000; ++i, Sleep(10)) {
            HANDLE held = OpenProcess(SYNCHRONIZE, FALSE, id);
            if (!held) break;
            CloseHandle(held);
        }
    }
    // Whether the state is still the one given a while after a change the follower reads
    // with a settling delay (a list edit: at most 1 s): a follower slower than that under load
    // makes this pass, never fail, falsely.
    bool stays(const char* state)
    {
        Sleep(1500);
        return pipe_state() == (strcmp(state, "on") == 0 ? 1 : 0);
    }
    // Returns once none of the processes ids opens any more (the follower let go of them), 10 s
    // at most.
    static void await_let_go(const std::vector<DWORD>& ids)
    {
        for (DWORD id : ids) {
            for (int i = 0; i < 1000; ++i, Sleep(10)) {
                HANDLE held = OpenProcess(SYNCHRONIZE, FALSE, id);
                if (!held) break;
                CloseHandle(held);
            }
        }
    }
    // The state as the pipe tells this process: 1 on, 0 off, -1 no answer. A state read is
    // answered after any switch already under way.
    int pipe_state()
    {
        DWORD error = 0;
        HANDLE pipe = control_pipe_open(5000, &error);
        if (pipe == INVALID_HANDLE_VALUE) return -1;
        char state = 0;
        const ControlPipeExchange result = control_pipe_exchange(pipe, "?", control_pipe_reply_wait_ms(), &state);
        CloseHandle(pipe);
        return result == ControlPipeExchange::done ? state - '0' : -1;
    }
    // Asks for the state until it is the one expected, at most within_ms: again at every change
    // of the power plan's key (each switch writes it) and every 300 ms otherwise (a process's
    // share of the pipe is 4 connections a second). The milliseconds it took, or -1.
    long state_becomes(const char* state, DWORD within_ms = 10000)
    {
        const int expected = strcmp(state, "on") == 0 ? 1 : 0;
        HKEY key = nullptr;
        RegCreateKeyExA(HKEY_CURRENT_USER, powercfg_state, 0, nullptr, 0, KEY_NOTIFY, nullptr, &key, nullptr);
        HANDLE changed = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        const DWORD start = GetTickCount();
        long took = -1;
        for (;;) {
            if (key) RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_LAST_SET, changed, TRUE);
            if (pipe_state() == expected) {
                took = static_cast<long>(GetTickCount() - start);
                break;
            }
            if (GetTickCount() - start >= within_ms) break;
            WaitForSingleObject(changed, 300);
        }
        if (key) RegCloseKey(key);
        CloseHandle(changed);
        return took;
    }
    // The powercfg switches ("-s <guid>") since the stand-in's log was cleared.
    static std::vector<std::string> switches()
    {
        std::vector<std::string> runs = powercfg_runs(), out;
        for (const std::string& run : runs)
            if (run.rfind("-s ", 0) == 0) out.push_back(run);
        return out;
    }
    // The list's key readable by all, or only writable (its values set, never read).
    static bool key_readable(const char* path, bool readable)
    {
        return key_access_for_everyone(HKEY_CURRENT_USER, path,
                                       readable ? 0 : KEY_SET_VALUE | KEY_NOTIFY | READ_CONTROL | WRITE_DAC | DELETE);
    }

    std::map<std::string, HANDLE> games_;
    std::vector<std::string> copies_;
};

} // namespace e2e
