// The helpers of e2e.h.
#include "e2e.h"

namespace e2e {

std::string lines_starting(const std::string& log, const char* prefix)
{
    std::string out;
    size_t at = 0;
    while (at < log.size()) {
        size_t end = log.find('\n', at);
        if (end == std::string::npos) end = log.size();
        std::string line = log.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind(prefix, 0) == 0) out += line + "\n";
        at = end + 1;
    }
    return out;
}

int count_lines(const std::string& log, const char* prefix)
{
    std::string lines = lines_starting(log, prefix);
    int n = 0;
    for (char c : lines) n += c == '\n';
    return n;
}

// The text with every run of white space made one space: the client wraps its sentences at
// 79 columns, and a sentence is looked for whatever line it was wrapped onto (a line of
// stderr that goes on loses the "tickmend-ctl:" it starts with).
std::string squeezed(const std::string& text)
{
    static const std::string going_on = "tickmend-ctl:   ";
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\n' && text.compare(i + 1, going_on.size(), going_on) == 0) i += going_on.size() - 3;
        const bool space = c == ' ' || c == '\n' || c == '\r' || c == '\t';
        if (space && (out.empty() || out.back() == ' ')) continue;
        out += space ? ' ' : c;
    }
    return out;
}
std::string registry_text(HKEY root, const char* key, const char* name)
{
    char text[128] = "";
    if (!GetRegistryValue(root, key, name, text, sizeof text - 1)) return "";
    return text;
}

// The powercfg stand-in's plans as on a fresh Vista, with plan (a GUID) the active one.
bool power_plans_start_at(const char* plan)
{
    delete_tree(HKEY_CURRENT_USER, powercfg_state);
    return set_registry_value(HKEY_CURRENT_USER, powercfg_state, "Active", REG_SZ, plan,
                              static_cast<DWORD>(strlen(plan) + 1)) == 1;
}

// The stand-in tool's runs since the log was last cleared, e.g. "-s <guid>".
std::vector<std::string> powercfg_runs()
{
    char text[8192] = {};
    std::vector<std::string> runs;
    if (!GetRegistryValue(HKEY_CURRENT_USER, powercfg_state, "Log", text, sizeof text - 2)) return runs;
    for (const char* p = text; *p; p += strlen(p) + 1) runs.push_back(p);
    return runs;
}

// Runs tickmend-sim.exe (from the Start Menu's shortcut when from_shortcut) until it shows
// its message box, reads and closes the box; the exit code (99 when it did not end), and the
// box's text ("" when none came).
DWORD run_to_its_box(const std::string& command, const std::string& env, bool from_shortcut, std::string* text)
{
    for (size_t at = 0; at < env.size();) {
        size_t end = env.find('\n', at);
        if (end == std::string::npos) end = env.size();
        const std::string entry = env.substr(at, end - at);
        const size_t eq = entry.find('=');
        SetEnvironmentVariableA(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str());
        at = end + 1;
    }
    std::string cmd = command;
    char link[] = "C:\\users\\Public\\Start Menu\\Programs\\QEL Pacemill\\QEL Pacemill.lnk";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = from_shortcut ? STARTF_TITLEISLINKNAME : 0;
    si.lpTitle = from_shortcut ? link : nullptr;
    PROCESS_INFORMATION pi = {};
    DWORD code = 99;
    text->clear();
    if (CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        HWND box = nullptr;
        for (int i = 0; i < 500 && !box; ++i) {
            box = FindWindowA("#32770", "QEL Pacemill");
            if (!box) Sleep(20);
        }
        char shown[1024] = "";
        if (box) GetDlgItemTextA(box, 0xFFFF, shown, sizeof shown);
        if (box) PostMessageA(box, WM_COMMAND, IDOK, 0);
        *text = shown;
        WaitForSingleObject(pi.hProcess, 15000);
        GetExitCodeProcess(pi.hProcess, &code);
        if (code == STILL_ACTIVE) TerminateProcess(pi.hProcess, 255), code = 99;
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
    }
    for (const char* name : {"TICKMEND_SIM_MACHINE", "TICKMEND_SIM_LOG", "TICKMEND_SIM_STATE"})
        SetEnvironmentVariableA(name, nullptr);
    return code;
}

// follow_target.exe copied under name into the temporary folder: its full path. Started with
// "TITLE" it runs until ended; with "TITLE MS" its window closes after MS milliseconds.
std::string follow_target_copy(const char* name)
{
    char own[MAX_PATH];
    GetModuleFileNameA(nullptr, own, sizeof own);
    std::string source(own);
    source = source.substr(0, source.find_last_of('\\') + 1) + "follow_target.exe";
    char dir[MAX_PATH];
    GetTempPathA(sizeof dir, dir);
    std::string copy = std::string(dir) + name;
    EXPECT_TRUE(CopyFileA(source.c_str(), copy.c_str(), FALSE)) << source;
    return copy;
}

} // namespace e2e
