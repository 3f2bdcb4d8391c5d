// The status window: its facts gathered, its text shown, and "Measure again" run on a thread
// of its own so that the window never waits.
#include "app/status_window.h"
#include "app/program_module.h"
#include "app/resource.h"
#include "app/status_words.h"
#include "app/tray_words.h"
#include "common/handle.h"
#include "common/switch_bounds.h"
#include "daemon/daemon.h"
#include "notice/notice.h"

#include <string.h>

namespace {

using namespace app;

constexpr UINT WM_STATUS_MEASURED = WM_APP + 0x41; // wParam: Qel_DaemonMeasureCounters's result

HWND volatile status_box;        // while it is open (the measuring thread reads it)
tk::unique_handle measuring;     // the thread of "Measure again", until joined (it may outlive a window)
bool measured;                   // the clocks were measured since the window opened
sync_check_facts measured_facts; // what the window shows as measured just now
char why_not_measured[96];
sync_check_facts thread_facts;   // what the thread found, read only once it has ended
char thread_why_not[96];
pc_facts shown_pc;               // the PC's facts, asked when the window opens and at each measurement

HWND open_box()
{
    return static_cast<HWND>(InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&status_box),
                                                               nullptr, nullptr));
}

void set_open_box(HWND dialog)
{
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&status_box), dialog);
}

// Tells the window open when it ends (the one that asked may have closed meanwhile).
DWORD WINAPI measure_thread(LPVOID)
{
    sync_check_facts found = {};
    const int done = Qel_DaemonMeasureCounters(&found, wish_bound_ms());
    if (!done) {
        found = sync_check_facts{};
        found.why_not = "Gaming Mode was switching: click Measure again";
    }
    lstrcpynA(thread_why_not, found.why_not ? found.why_not : "", sizeof thread_why_not);
    thread_facts = found;
    if (HWND box = open_box()) PostMessageA(box, WM_STATUS_MEASURED, done, 0);
    return 0;
}

void show_text(HWND dialog)
{
    status_facts facts = {};
    facts.answer = pc_answer_of(shown_pc);
    facts.driver = shown_pc.driver;
    facts.game_mode_on = Qel_DaemonGameModeShown();
    char followed[MAX_PATH] = "";
    if (!facts.game_mode_on || !Qel_DaemonFollowedProgram(followed, sizeof followed)) followed[0] = '\0';
    facts.followed = followed;
    facts.on_recorded = last_on_read(&facts.on) != 0;
    facts.notices = notices_holding(facts.game_mode_on, notice_raised());
    facts.measured = measured;
    facts.measured_now = measured_facts;
    static char text[4096];
    status_text(facts, text, sizeof text);
    static wchar_t wide[4096];
    put_wide(text, wide, 4096);
    SetDlgItemTextW(dialog, IDC_STATUS_TEXT, wide);
}

// The PC's facts asked anew; the tooltip says the same answer from then on.
void ask_pc(HWND dialog)
{
    shown_pc = pc_facts_now();
    set_tray_answer_brief(pc_answer_brief(pc_answer_of(shown_pc)));
    PostMessageA(GetWindow(dialog, GW_OWNER), WM_TRAY_NOTICE, 0, 0);
}

// The thread of "Measure again" has ended (it ends within the switch bound and a measurement);
// false when it still runs after wait_ms.
bool join_measuring(DWORD wait_ms)
{
    if (!measuring) return true;
    if (WaitForSingleObject(measuring.get(), wait_ms) != WAIT_OBJECT_0) return false;
    measuring.reset();
    return true;
}

void show_measuring(HWND dialog)
{
    EnableWindow(GetDlgItem(dialog, IDC_STATUS_MEASURE), FALSE);
    SetDlgItemTextW(dialog, IDC_STATUS_MEASURE, L"Measuring\u2026");
}

INT_PTR CALLBACK status_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        set_open_box(dialog);
        measured = false;
        ask_pc(dialog);
        show_text(dialog);
        // A measurement that an earlier window began and that still runs tells this one.
        if (!join_measuring(0)) show_measuring(dialog);
        // The focus on Close, not on the text (which it would select whole).
        SetFocus(GetDlgItem(dialog, IDCANCEL));
        return FALSE;
    case WM_DESTROY:
        // A measurement that runs goes on by itself: the window does not wait for it.
        if (open_box() == dialog) set_open_box(nullptr);
        break;
    case WM_STATUS_MEASURED:
        if (!join_measuring(wish_bound_ms() + 10000)) return TRUE;
        lstrcpynA(why_not_measured, thread_why_not, sizeof why_not_measured);
        measured_facts = thread_facts;
        measured_facts.why_not = why_not_measured;
        measured = true;
        ask_pc(dialog);
        SetDlgItemTextW(dialog, IDC_STATUS_MEASURE, L"&Measure again");
        EnableWindow(GetDlgItem(dialog, IDC_STATUS_MEASURE), TRUE);
        show_text(dialog);
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wparam)) {
        case IDC_STATUS_MEASURE:
            if (measuring) return TRUE;
            measuring.reset(CreateThread(nullptr, 0, measure_thread, nullptr, 0, nullptr));
            if (measuring) show_measuring(dialog);
            return TRUE;
        case IDOK:
        case IDCANCEL:
            EndDialog(dialog, LOWORD(wparam));
            return TRUE;
        }
        break;
    }
    return FALSE;
}

} // namespace

namespace app {

void show_status_window(HWND owner)
{
    // One window: a second request brings the open one to the front.
    if (HWND box = open_box()) {
        SetForegroundWindow(box);
        return;
    }
    DialogBoxParamW(app_instance, MAKEINTRESOURCEW(IDD_STATUS), owner, status_proc, 0);
}

void refresh_status_window()
{
    if (HWND box = open_box()) show_text(box);
}

void end_status_window()
{
    if (HWND box = open_box()) EndDialog(box, IDCANCEL);
    // The daemon ends after this: a measurement that still runs is waited for (within its bound).
    join_measuring(wish_bound_ms() + 10000);
}

} // namespace app
