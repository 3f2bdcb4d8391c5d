// The Vista way of switching power plans: powercfg.exe from the system folder, its list
// read for the active plan, High performance switched to by its GUID.
#include "pwr_enum/pwr_private.h"
#include "common/handle.h"
#include "common/switch_bounds.h"
#include "common/trace.h"

#include <windows.h>
#include <ctype.h>
#include <fcntl.h>
#include <io.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

namespace pwr_enum_detail {
namespace {

const char list_arguments[] = "-l";
const char switch_arguments[] = "-s 8c5e7fda-e8bf-4a96-9a85-a6e23a8c635c";
const size_t guid_text_length = 36; // 8-4-4-4-12 hexadecimal digits with their dashes

static_assert(sizeof(STARTUPINFOA) == 68);

// Ends the tool when it outlives its bound (a tool that hangs must not hold Gaming Mode's
// switch, the pipe or the program's exit for ever), and returns only once it has ended:
// TerminateProcess merely asks, and a tool still running could switch the plan after we
// have read it back, or after the program has ended. Its output stream ends with it.
DWORD WINAPI end_when_overdue(LPVOID parameter)
{
    HANDLE process = static_cast<HANDLE>(parameter);
    if (WaitForSingleObject(process, powercfg_run_bound_ms()) == WAIT_TIMEOUT) {
        TRACE("powercfg ran longer than %u ms: ended\n", static_cast<unsigned>(powercfg_run_bound_ms()));
        TerminateProcess(process, 1);
        WaitForSingleObject(process, switch_driver_bound_ms());
    }
    return 0;
}

// Every tool we start runs in this job, which ends it when our last handle goes: should the
// program itself be ended mid-run (killed, or its exit cut short), no powercfg of ours
// switches the plan afterwards. Null where a job cannot be had (a program already in a job
// on Windows before 8): the bound above still holds.
HANDLE tools_job()
{
    // Made once, without a guarded static (which would bring the C++ runtime's locks): a
    // second thread that made one too closes its own.
    static HANDLE volatile job = nullptr;
    if (job) return job;
    HANDLE made = CreateJobObjectA(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    memset(&limits, 0, sizeof limits);
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (made && !SetInformationJobObject(made, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        CloseHandle(made);
        return nullptr;
    }
    if (made && InterlockedCompareExchangePointer(const_cast<PVOID volatile*>(&job), made, nullptr) != nullptr)
        CloseHandle(made);
    return job;
}

// The tool's full path in the system folder: never one found through the current folder or
// the program's folder.
bool powercfg_path(char* path, UINT size)
{
    const char name[] = "\\powercfg.exe";
    UINT length = GetSystemDirectoryA(path, size);
    if (length == 0 || length + sizeof name > size) return false;
    memcpy(path + length, name, sizeof name);
    return true;
}

// Runs powercfg with arguments, without a window, and waits for it; when reader is given,
// the tool's standard output is handed to it as a text stream first. True only when the tool
// ran and ended with exit code 0: its output alone does not say that it did its work.
bool run_powercfg(const char* arguments, void (*reader)(FILE*))
{
    char application[MAX_PATH];
    if (!powercfg_path(application, sizeof application)) return false;
    char command_line[MAX_PATH + 64];
    snprintf(command_line, sizeof command_line, "\"%s\" %s", application, arguments);
    TRACE("BUFFER %s\n", command_line);

    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    tk::unique_handle read_end;
    tk::unique_handle write_end;
    if (reader) {
        SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
        if (!CreatePipe(read_end.put(), write_end.put(), &inheritable, 0)) return false;
        SetHandleInformation(read_end.get(), HANDLE_FLAG_INHERIT, 0);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = write_end.get();
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    }
    PROCESS_INFORMATION process;
    memset(&process, 0, sizeof process);
    // Started suspended, so that it is in the job before it can do anything.
    if (!CreateProcessA(application, command_line, nullptr, nullptr, reader != nullptr,
                        CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr, nullptr, &startup, &process))
        return false;
    tk::unique_handle process_handle(process.hProcess);
    tk::unique_handle thread_handle(process.hThread);
    if (HANDLE job = tools_job()) AssignProcessToJobObject(job, process_handle.get());
    ResumeThread(thread_handle.get());
    write_end.reset(); // the stream ends when the tool's copy goes
    tk::unique_handle watchdog(CreateThread(nullptr, 0, end_when_overdue, process_handle.get(), 0, nullptr));
    if (!watchdog) {
        TerminateProcess(process_handle.get(), 1); // a run without its bound is not made
        return false;
    }
    if (reader) {
        HANDLE pipe = read_end.release();
        int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(pipe), _O_RDONLY | _O_TEXT);
        FILE* stream = descriptor >= 0 ? _fdopen(descriptor, "r") : nullptr;
        if (stream) {
            reader(stream);
            fclose(stream);
        } else if (descriptor >= 0) {
            _close(descriptor);
        } else {
            CloseHandle(pipe);
        }
    }
    // Bounded: the watchdog ends the tool at its bound, and itself with it.
    WaitForSingleObject(watchdog.get(), INFINITE);
    DWORD code = 1;
    return GetExitCodeProcess(process_handle.get(), &code) && code == 0;
}

bool is_guid_at(const char* p)
{
    for (size_t i = 0; i < guid_text_length; ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? p[i] != '-' : !isxdigit(static_cast<unsigned char>(p[i]))) return false;
    }
    return true;
}

// Copies the first scheme GUID of a piece of text into guid (37 bytes); false when none.
bool find_guid(const char* text, char* guid)
{
    for (const char* p = text; *p; ++p) {
        if (p != text && isalnum(static_cast<unsigned char>(p[-1]))) continue;
        if (!is_guid_at(p) || isalnum(static_cast<unsigned char>(p[guid_text_length]))) continue;
        memcpy(guid, p, guid_text_length);
        guid[guid_text_length] = '\0';
        return true;
    }
    return false;
}

// The GUID of the line of the last list read that is marked active; "" when none is.
char listed_active_guid[guid_text_length + 1];
// A GUID looked for in the list, and whether a line of the last list read carries it.
const char* sought_guid;
bool sought_listed;
char sought_name[64]; // the name in brackets on its line, "" when it has none

// The plan's name as the list gives it on its line: "(Balanced)" after the GUID.
void note_sought_name(const char* piece)
{
    const char* open = strchr(piece, '(');
    const char* close = open ? strchr(open + 1, ')') : nullptr;
    if (!open || !close || sought_name[0]) return;
    size_t length = static_cast<size_t>(close - open - 1);
    if (length >= sizeof sought_name) length = sizeof sought_name - 1;
    memcpy(sought_name, open + 1, length);
    sought_name[length] = '\0';
}

// Reads the scheme list and keeps the GUID of the active scheme. The list's wording is the
// tool's and differs from one language to another, so we rely only on what every list has:
// a scheme line carries its GUID somewhere and the active one ends with "*". The first line
// of six words is merely the first scheme listed, which need not be the active one.
void read_list(FILE* list)
{
    char piece[1023 + 1];
    char line_guid[guid_text_length + 1] = "";
    char last_mark = 0;        // the last non-blank character of the line so far
    bool line_started = false; // a piece of the current line was read
    // A line longer than the buffer arrives in pieces: its GUID is in an early piece, its
    // marker in the last one.
    while (fgets(piece, sizeof piece, list) != nullptr) {
        if (!line_started) {
            line_guid[0] = '\0';
            last_mark = 0;
            line_started = true;
        }
        if (line_guid[0] == '\0') find_guid(piece, line_guid);
        if (sought_guid && _stricmp(line_guid, sought_guid) == 0) note_sought_name(piece);
        for (const char* p = piece; *p; ++p)
            if (!isspace(static_cast<unsigned char>(*p))) last_mark = *p;
        bool line_ends = strchr(piece, '\n') != nullptr || feof(list);
        if (!line_ends) continue;
        line_started = false;
        if (sought_guid && _stricmp(line_guid, sought_guid) == 0) sought_listed = true;
        if (last_mark == '*' && line_guid[0] != '\0' && listed_active_guid[0] == '\0')
            memcpy(listed_active_guid, line_guid, sizeof listed_active_guid);
    }
    if (line_started && sought_guid && _stricmp(line_guid, sought_guid) == 0) sought_listed = true;
    if (line_started && last_mark == '*' && line_guid[0] != '\0' && listed_active_guid[0] == '\0')
        memcpy(listed_active_guid, line_guid, sizeof listed_active_guid);
}

} // namespace

bool read_active_vista(power_plan* plan)
{
    listed_active_guid[0] = '\0';
    if (!run_powercfg(list_arguments, read_list) || listed_active_guid[0] == '\0') return false;
    TRACE("GUID %s\n", listed_active_guid);
    plan->kind = plan_guid;
    memcpy(plan->guid, listed_active_guid, sizeof plan->guid);
    return true;
}

bool guid_text_valid(const char* text)
{
    return strlen(text) == guid_text_length && is_guid_at(text);
}

int vista_plan_listed(const power_plan* plan)
{
    if (plan->kind != plan_guid || !guid_text_valid(plan->guid)) return 0;
    listed_active_guid[0] = '\0';
    sought_guid = plan->guid;
    sought_listed = false;
    sought_name[0] = '\0';
    bool read = run_powercfg(list_arguments, read_list);
    sought_guid = nullptr;
    if (!read) return -1;
    return sought_listed ? 1 : 0;
}

int vista_plan_name(const power_plan* plan, char* name, int size)
{
    if (size <= 0 || vista_plan_listed(plan) != 1 || !sought_name[0]) return 0;
    lstrcpynA(name, sought_name, size);
    return 1;
}

void switched_vista(power_plan* plan)
{
    plan->kind = plan_guid;
    plan->index = 0;
    memcpy(plan->guid, switch_arguments + 3, guid_text_length);
    plan->guid[guid_text_length] = '\0';
}

int switch_vista()
{
    scheme_switched = run_powercfg(switch_arguments, nullptr) ? 1 : 0;
    return static_cast<int>(scheme_switched);
}

int activate_vista(const power_plan* plan)
{
    if (plan->kind != plan_guid || plan->guid[0] == '\0') return 0;
    char arguments[4 + sizeof plan->guid];
    snprintf(arguments, sizeof arguments, "-s %s", plan->guid);
    return run_powercfg(arguments, nullptr) ? 1 : 0;
}

} // namespace pwr_enum_detail
