// Every PC gets one answer: on each simulated PC, the setup's page of this PC, its finish
// page, the start by hand's box and topology give the same (told apart by the answer's words,
// which all of them take from one table), and the start at logon is registered only where
// something runs then. Through tickmend-setup-sim.exe, the setup around the simulated
// machine's executables.
#include "installer.h"
#include "answer/answer.h"
#include "support/wizard.h"

#include <string.h>

namespace e2e {
namespace {

// The code of the one answer whose words the text holds: "none", or "several".
std::string answer_in(const std::string& text)
{
    std::string found = "none";
    for (int a = static_cast<int>(pc_answer::single_processor); a <= static_cast<int>(pc_answer::nodes_driver_refusing); ++a) {
        const pc_answer answer = static_cast<pc_answer>(a);
        if (squeezed(text).find(squeezed(pc_answer_words(answer))) == std::string::npos) continue;
        found = found == "none" ? pc_answer_code(answer) : "several";
    }
    return found;
}

// Every text the window and its children show, a line each.
BOOL CALLBACK add_text(HWND child, LPARAM texts)
{
    char text[2048] = "";
    GetWindowTextA(child, text, sizeof text);
    *reinterpret_cast<std::string*>(texts) += std::string(text) + "\n";
    return TRUE;
}
std::string texts_of(HWND window)
{
    std::string texts;
    EnumChildWindows(window, add_text, reinterpret_cast<LPARAM>(&texts));
    return texts;
}
// The child button with that text, or null.
struct FindButton {
    const char* text;
    HWND found;
};
BOOL CALLBACK find_button(HWND child, LPARAM param)
{
    auto* find = reinterpret_cast<FindButton*>(param);
    char shown[128] = "";
    GetWindowTextA(child, shown, sizeof shown);
    if (strcmp(shown, find->text) != 0) return TRUE;
    find->found = child;
    return FALSE;
}
HWND button_of(HWND window, const char* text)
{
    FindButton find = {text, nullptr};
    EnumChildWindows(window, find_button, reinterpret_cast<LPARAM>(&find));
    return find.found;
}

class InstallerAnswer : public Installer {
protected:
    // Plays the user through the setup's pages: the page of this PC read once its words are
    // there ("Install anyway" ticked where it is offered), the finish page read and left with
    // its check box cleared. Its exit code.
    int walk(const std::string& command_line, std::string* this_pc, std::string* finish, bool* anyway_offered)
    {
        HANDLE process = start_process(command_line, env());
        if (!process) return -1;
        const DWORD start = GetTickCount();
        int finish_seen = 0;
        while (WaitForSingleObject(process, 250) == WAIT_TIMEOUT && GetTickCount() - start < 180000) {
            const testing_support::SetupWindows windows = testing_support::find_setup_windows(GetProcessId(process));
            if (windows.message) {
                ADD_FAILURE() << "the setup said: " << testing_support::message_text(windows.message);
                testing_support::answer(windows.message);
                continue;
            }
            if (!windows.wizard) continue;
            const std::string texts = texts_of(windows.wizard);
            if (texts.find("What QEL Pacemill will do on this PC") != std::string::npos) {
                if (texts.find("Put tickmend-ctl on my PATH") == std::string::npos) continue; // still looking
                if (this_pc->empty()) {
                    *this_pc = texts;
                    HWND anyway = button_of(windows.wizard, "Install QEL Pacemill anyway");
                    *anyway_offered = anyway != nullptr;
                    if (anyway) {
                        EXPECT_FALSE(IsWindowEnabled(GetDlgItem(windows.wizard, IDOK))) << "Next before the choice";
                        SendMessageA(anyway, BM_CLICK, 0, 0);
                    }
                }
            }
            if (testing_support::window_text(windows.wizard, IDOK) == "&Finish") {
                // Its text comes after its button (seconds later on a busy machine): read
                // once it is there, or after 20 s whatever it shows.
                if (texts.find("QEL Pacemill is installed") == std::string::npos && ++finish_seen < 80) continue;
                *finish = texts;
                if (HWND start_box = button_of(windows.wizard, "Start QEL Pacemill now"))
                    SendMessageA(start_box, BM_SETCHECK, BST_UNCHECKED, 0);
                if (HWND hold_box = button_of(windows.wizard, "Hold the clocks now"))
                    SendMessageA(hold_box, BM_SETCHECK, BST_UNCHECKED, 0);
            }
            // The files' page goes on to the finish page by itself: a Next pressed as it ends
            // would land there and finish before its text is read.
            if (texts.find("is being installed") != std::string::npos) continue;
            testing_support::press_default(windows.wizard);
        }
        if (WaitForSingleObject(process, 0) != WAIT_OBJECT_0) TerminateProcess(process, 255);
        DWORD code = 99;
        GetExitCodeProcess(process, &code);
        CloseHandle(process);
        return static_cast<int>(code);
    }
    // The answer the start by hand (the Start Menu's) gives in its box; where it stays
    // resident instead, "resident" once its window is there ("/k" ends it).
    std::string box_answer(bool resident)
    {
        if (!resident) {
            std::string text;
            run_to_its_box("\"" + installed("tickmend.exe") + "\"", env(), true, &text);
            return answer_in(text);
        }
        HANDLE process = start_process("\"" + installed("tickmend.exe") + "\"", env());
        bool window = false;
        for (int i = 0; i < 200 && process && !window; ++i, Sleep(window ? 0 : 100))
            window = FindWindowA("TICKMEND", nullptr) != nullptr;
        run_process("\"" + installed("tickmend.exe") + "\" /k", env());
        if (process) {
            if (WaitForSingleObject(process, 15000) != WAIT_OBJECT_0) TerminateProcess(process, 255);
            CloseHandle(process);
        }
        return window ? "resident" : "no window";
    }
    void uninstall()
    {
        ASSERT_EQ(0, run_process("\"" + installed("uninstall.exe") + "\" /S"));
        for (int i = 0; i < 600 && exists(dir); ++i) Sleep(100);
        for (int i = 0; i < 100 && registry_text(HKEY_LOCAL_MACHINE, uninstall_key, "DisplayName") != ""; ++i) Sleep(100);
    }
};

TEST_F(InstallerAnswer, EveryPlaceGivesEachPcTheSameAnswer)
{
    const std::string setup = "\"" + product_path("tickmend-setup-sim.exe") + "\" /DRIVER=0 /NOPATH /D=" + dir;
    const struct {
        const char* name;
        const char* machine; // a preset, or a description
        const char* answer;  // what every place says
        const char* box;     // what the start by hand gives
    } rows[] = {
        {"two nodes, the driver", "two-node", "nodes_synced", "resident"},
        {"two nodes, no driver", "cpu bit=0 apic=0 family=15 htt=1\ncpu bit=1 apic=1 family=15 htt=1\n"
                                 "cpu bit=2 apic=2 family=15 htt=1\ncpu bit=3 apic=3 family=15 htt=1\ndriver absent\n",
         "nodes_needs_driver", "resident"},
        {"one node, clocks that cannot drift", "one-node-invariant", "one_node_steady", "one_node_steady"},
        {"one node, drifting clocks, no driver",
         "cpu bit=0 apic=0 family=15 htt=1\ncpu bit=1 apic=1 family=15 htt=1\ndriver absent\n",
         "one_node_needs_driver", "one_node_needs_driver"},
        {"a single processor", "single-cpu", "single_processor", "single_processor"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::string description;
        if (strchr(row.machine, '\n')) {
            description = write_temp("machine", row.machine);
            machine_ = description;
        } else {
            machine_ = row.machine;
        }
        DeleteFileA(state_path_.c_str());
        std::string this_pc, finish;
        bool anyway_offered = false;
        ASSERT_EQ(0, walk(setup, &this_pc, &finish, &anyway_offered));
        // Where there is nothing to do, nothing is installed without "Install anyway".
        const bool nothing_to_do = strcmp(row.answer, "one_node_steady") == 0 || strcmp(row.answer, "single_processor") == 0;
        EXPECT_EQ(nothing_to_do, anyway_offered);
        EXPECT_EQ(row.answer, answer_in(this_pc)) << this_pc;
        EXPECT_EQ(row.answer, answer_in(finish)) << finish;
        EXPECT_EQ(0, run_capture("\"" + installed("tickmend-ctl.exe") + "\" topology --csv", &ctl_output_, env()));
        EXPECT_EQ(row.answer, csv_answer(ctl_output_)) << ctl_output_;
        EXPECT_EQ(row.box, box_answer(strcmp(row.box, "resident") == 0));
        // The start at logon where something runs then; Change in the uninstall entry.
        const bool at_logon = strcmp(row.box, "resident") == 0;
        EXPECT_EQ(at_logon ? "\"" + installed("tickmend.exe") + "\" /logon" : "",
                  registry_text(HKEY_LOCAL_MACHINE, run_key, "QEL Pacemill"));
        EXPECT_EQ("\"" + installed("setup.exe") + "\"", registry_text(HKEY_LOCAL_MACHINE, uninstall_key, "ModifyPath"));
        uninstall();
        if (!description.empty()) DeleteFileA(description.c_str());
        delete_tree(HKEY_CURRENT_USER, user_key);
    }
}

} // namespace
} // namespace e2e
