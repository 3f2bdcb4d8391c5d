// powercfg.exe stand-in: the Windows Vista tool's scheme list and scheme switch, for Wine,
// which has no powercfg. It understands
//   -l, /l, -list, /list              the list: a heading, a line of dashes, then one line per
//                                     scheme, "Power Scheme GUID: <guid>  (<name>)", the active
//                                     one followed by " *"
//   -s, /s, -setactive, /setactive G  makes scheme G active; exit code 1 and a message on
//                                     stderr when no scheme has that GUID
//   -getactivescheme, /getactivescheme  the active scheme's line without the marker
// Its state is in HKCU\Software\tickmend-sim\powercfg:
//   Active     REG_SZ        GUID of the active scheme; Balanced when missing
//   Schemes    REG_MULTI_SZ  "guid|name" lines; when present they replace the three schemes
//                            Vista installs (Balanced, High performance, Power saver)
//   Language   REG_SZ        "fr" lists in French wording, where the GUID is not the fourth word
//   ListFails  REG_DWORD     non-zero: the list prints nothing and exits with 1
//   SetFails   REG_DWORD     non-zero: -s changes nothing and exits with 1 (a tool that fails
//                            as when the user may not change the plan), silently
//   SwitchNeedsRecord REG_DWORD non-zero: -s changes nothing and exits with 1 unless tickmend's
//                            restore record is pending and names the plan to give back
//                            (HKCU\Software\QEL\qel_pacemill restore_pending and
//                            restore_scheme_guid): a switch made before its record shows
//   Hang       REG_DWORD     milliseconds to sit before doing anything (looked at again every
//                            50 ms, so that clearing it ends the wait)
//   HangSwitch REG_DWORD     the same, for -s alone, after Hang: the lists before a switch run
//                            at once, and a program can be ended while its switch waits
//   Log        REG_MULTI_SZ  the arguments of the last 64 runs, e.g. "-s <guid>"
// Deleting the key resets the stand-in. Switching writes only this key; it touches nothing
// under HKCU\Control Panel\PowerCfg.
#include <windows.h>
#include <string.h>
#include <wchar.h>

#include "common/handle.h"
#include "sim/stand_in_log.h"

namespace {

const wchar_t state_key[] = L"Software\\tickmend-sim\\powercfg";
const int log_entries = 64;
const int max_schemes = 32;
const int max_name = 2048;
const int guid_length = 36;

struct scheme {
    wchar_t guid[guid_length + 1];
    wchar_t name[max_name];
};

const scheme vista_schemes[] = {
    {L"381b4222-f694-41f0-9685-ff5bb260df2e", L"Balanced"},
    {L"8c5e7fda-e8bf-4a96-9a85-a6e23a8c635c", L"High performance"},
    {L"a1841308-3541-4fab-bc81-f71556f20b4a", L"Power saver"},
};

scheme schemes[max_schemes];
int scheme_count;

bool read_value(const wchar_t* name, DWORD& type, void* data, DWORD& size)
{
    tk::unique_hkey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, state_key, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) return false;
    return RegQueryValueExW(key.get(), name, nullptr, &type, static_cast<BYTE*>(data), &size) == ERROR_SUCCESS;
}

// A string or multi-string value into text (capacity characters), ended by two NULs.
bool read_text(const wchar_t* name, wchar_t* text, DWORD capacity)
{
    DWORD type = 0;
    DWORD size = (capacity - 2) * sizeof(wchar_t);
    text[0] = text[1] = L'\0';
    if (!read_value(name, type, text, size) || (type != REG_SZ && type != REG_MULTI_SZ)) {
        text[0] = text[1] = L'\0';
        return false;
    }
    text[size / sizeof(wchar_t)] = L'\0';
    text[size / sizeof(wchar_t) + 1] = L'\0';
    return true;
}

DWORD read_dword(const wchar_t* name)
{
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof value;
    return read_value(name, type, &value, size) && type == REG_DWORD ? value : 0;
}

bool write_value(const wchar_t* name, DWORD type, const void* data, DWORD size)
{
    tk::unique_hkey key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, state_key, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr,
                        key.put(), nullptr) != ERROR_SUCCESS)
        return false;
    return RegSetValueExW(key.get(), name, 0, type, static_cast<const BYTE*>(data), size) == ERROR_SUCCESS;
}

// Adds one line to the run log, keeping the last log_entries lines.
void log_run(const wchar_t* line) { append_stand_in_log(state_key, line, log_entries); }

void copy_text(wchar_t* to, size_t capacity, const wchar_t* from, size_t length)
{
    if (length >= capacity) length = capacity - 1;
    memcpy(to, from, length * sizeof(wchar_t));
    to[length] = L'\0';
}

void load_schemes()
{
    static wchar_t text[max_schemes * (max_name + guid_length + 2) + 2];
    scheme_count = 0;
    if (!read_text(L"Schemes", text, sizeof text / sizeof text[0])) {
        for (const scheme& s : vista_schemes) schemes[scheme_count++] = s;
        return;
    }
    for (const wchar_t* line = text; *line != L'\0' && scheme_count < max_schemes; line += wcslen(line) + 1) {
        const wchar_t* bar = wcschr(line, L'|');
        if (bar == nullptr) continue;
        scheme& s = schemes[scheme_count++];
        copy_text(s.guid, sizeof s.guid / sizeof s.guid[0], line, static_cast<size_t>(bar - line));
        copy_text(s.name, max_name, bar + 1, wcslen(bar + 1));
    }
}

void active_guid(wchar_t* guid)
{
    wchar_t text[64];
    if (read_text(L"Active", text, 64) && text[0] != L'\0')
        copy_text(guid, guid_length + 1, text, wcslen(text));
    else
        copy_text(guid, guid_length + 1, vista_schemes[0].guid, guid_length);
}

// Writes wide text to a standard handle in the console's code page, as the tool does.
void write_out(DWORD which, const wchar_t* text)
{
    int length = WideCharToMultiByte(CP_OEMCP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1) return;
    static char bytes[4 * (max_name + 256)];
    if (length > static_cast<int>(sizeof bytes)) return;
    WideCharToMultiByte(CP_OEMCP, 0, text, -1, bytes, length, nullptr, nullptr);
    DWORD written = 0;
    WriteFile(GetStdHandle(which), bytes, static_cast<DWORD>(length - 1), &written, nullptr);
}

void write_scheme_line(const wchar_t* label, const scheme& s, bool marked)
{
    static wchar_t line[max_name + 128];
    wcscpy(line, label);
    wcscat(line, s.guid);
    wcscat(line, L"  (");
    wcscat(line, s.name);
    wcscat(line, marked ? L") *\r\n" : L")\r\n");
    write_out(STD_OUTPUT_HANDLE, line);
}

const wchar_t* scheme_label(bool french)
{
    return french ? L"GUID du mode de gestion de l'alimentation : " : L"Power Scheme GUID: ";
}

bool is_french()
{
    wchar_t language[16];
    return read_text(L"Language", language, 16) && _wcsicmp(language, L"fr") == 0;
}

int list()
{
    if (read_dword(L"ListFails")) return 1;
    bool french = is_french();
    wchar_t active[guid_length + 1];
    active_guid(active);
    write_out(STD_OUTPUT_HANDLE, french ? L"\r\nModes de gestion de l'alimentation existants (* Actif)\r\n"
                                        : L"\r\nExisting Power Schemes (* Active)\r\n");
    write_out(STD_OUTPUT_HANDLE, L"-----------------------------------\r\n");
    for (int i = 0; i < scheme_count; ++i)
        write_scheme_line(scheme_label(french), schemes[i], _wcsicmp(schemes[i].guid, active) == 0);
    return 0;
}

int get_active()
{
    wchar_t active[guid_length + 1];
    active_guid(active);
    for (int i = 0; i < scheme_count; ++i)
        if (_wcsicmp(schemes[i].guid, active) == 0) {
            write_scheme_line(scheme_label(is_french()), schemes[i], false);
            return 0;
        }
    write_out(STD_ERROR_HANDLE, L"The active power scheme is unknown.\r\n");
    return 1;
}

bool record_pending()
{
    tk::unique_hkey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\QEL\\qel_pacemill", 0, KEY_QUERY_VALUE, key.put()) !=
        ERROR_SUCCESS)
        return false;
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof value;
    bool pending = RegQueryValueExW(key.get(), L"restore_pending", nullptr, &type, reinterpret_cast<BYTE*>(&value),
                                    &size) == ERROR_SUCCESS &&
                   type == REG_DWORD && value != 0;
    return pending && RegQueryValueExW(key.get(), L"restore_scheme_guid", nullptr, nullptr, nullptr, nullptr) ==
                          ERROR_SUCCESS;
}

void hang_as_told(const wchar_t* value)
{
    DWORD start = GetTickCount();
    for (DWORD hang = read_dword(value); hang && GetTickCount() - start < hang; hang = read_dword(value))
        Sleep(50);
}

int set_active(const char* argument)
{
    if (read_dword(L"SetFails")) return 1;
    if (read_dword(L"SwitchNeedsRecord") && !record_pending()) return 1;
    wchar_t guid[64];
    if (MultiByteToWideChar(CP_ACP, 0, argument, -1, guid, 64) == 0) guid[0] = L'\0';
    for (int i = 0; i < scheme_count; ++i)
        if (_wcsicmp(schemes[i].guid, guid) == 0) {
            const wchar_t* text = schemes[i].guid;
            return write_value(L"Active", REG_SZ, text, static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t)))
                       ? 0
                       : 1;
        }
    write_out(STD_ERROR_HANDLE, L"The power scheme, subgroup or setting specified does not exist.\r\n");
    return 1;
}

bool is_option(const char* argument, const char* name)
{
    return (argument[0] == '-' || argument[0] == '/') && _stricmp(argument + 1, name) == 0;
}

void log_arguments(int argc, char** argv)
{
    wchar_t line[128] = L"";
    for (int i = 1; i < argc; ++i) {
        wchar_t word[128];
        if (MultiByteToWideChar(CP_ACP, 0, argv[i], -1, word, 128) == 0) word[0] = L'\0';
        size_t used = wcslen(line);
        if (i > 1 && used < 126) line[used++] = L' ';
        copy_text(line + used, 128 - used, word, wcslen(word));
    }
    log_run(line);
}

} // namespace

int main(int argc, char** argv)
{
    log_arguments(argc, argv);
    hang_as_told(L"Hang");
    load_schemes();
    if (argc >= 2 && (is_option(argv[1], "l") || is_option(argv[1], "list"))) return list();
    if (argc >= 2 && (is_option(argv[1], "getactivescheme"))) return get_active();
    if (argc >= 2 && (is_option(argv[1], "s") || is_option(argv[1], "setactive"))) {
        hang_as_told(L"HangSwitch");
        if (argc >= 3) return set_active(argv[2]);
    }
    write_out(STD_ERROR_HANDLE, L"Invalid Parameters -- try \"/?\" for help\r\n");
    return 1;
}
