#include "user_path.h"

#include "console.h"
#include "common/handle.h"

#include <windows.h>
#include <string.h>

namespace {

constexpr int exit_done = 0, exit_failed = 1, exit_usage = 64;
const wchar_t environment_key[] = L"Environment";
const wchar_t path_value[] = L"Path";
const wchar_t settings_key[] = L"Software\\QEL\\qel_pacemill";
const wchar_t added_value[] = L"path_added";     // the exact text appended to Path
const wchar_t created_value[] = L"path_created"; // 1: there was no Path value before

// A wide text on the process heap, of any length, ended; null until made.
class Text {
public:
    Text() = default;
    ~Text() { if (p_) HeapFree(GetProcessHeap(), 0, p_); }
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;
    // Room for chars characters and the end; false without memory.
    bool make(DWORD chars)
    {
        if (p_) HeapFree(GetProcessHeap(), 0, p_);
        p_ = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, (chars + 1) * sizeof(wchar_t)));
        return p_ != nullptr;
    }
    wchar_t* get() const { return p_; }

private:
    wchar_t* p_ = nullptr;
};

enum class Read { absent, text, unusable };

// A string value read whole into text, with its type: absent when there is no such value,
// unusable when it is there but not a string or could not be read (then it must be left alone).
Read read_text(HKEY key, const wchar_t* name, Text* text, DWORD* type)
{
    DWORD size = 0;
    LONG status = RegQueryValueExW(key, name, nullptr, type, nullptr, &size);
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (status == ERROR_FILE_NOT_FOUND) return Read::absent;
        if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) return Read::unusable;
        if (*type != REG_SZ && *type != REG_EXPAND_SZ) return Read::unusable;
        if (!text->make(size / sizeof(wchar_t) + 1)) return Read::unusable;
        status = RegQueryValueExW(key, name, nullptr, type, reinterpret_cast<BYTE*>(text->get()), &size);
        if (status == ERROR_SUCCESS) return Read::text; // grown meanwhile: ERROR_MORE_DATA, again
    }
    return Read::unusable;
}

// Says that the user's Path value is not one this command may change.
int unusable_path()
{
    // One message: the console layout breaks it where the console needs.
    console_err("tickmend-ctl: path: your Path (HKEY_CURRENT_USER\\Environment, value Path) is "
                "not a text value or could not be read, so it was left as it is. Check it under "
                "System Properties, Environment Variables, then run this command again.\n");
    return exit_failed;
}

bool write_text(HKEY key, const wchar_t* name, const wchar_t* text, DWORD type)
{
    return RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(text),
                          static_cast<DWORD>((lstrlenW(text) + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

// The folder of this executable, without its trailing backslash.
bool own_folder(wchar_t* folder)
{
    const DWORD n = GetModuleFileNameW(nullptr, folder, MAX_PATH);
    if (!n || n >= MAX_PATH) return false;
    wchar_t* slash = folder + n;
    while (slash > folder && *slash != L'\\') --slash;
    *slash = L'\0';
    return slash > folder;
}

// Tells every window that the environment changed, so that a new command prompt opened from
// Explorer sees the PATH at once. Bounded: a hung window is not waited for.
void announce()
{
    DWORD_PTR result = 0;
    SendMessageTimeoutW(HWND_BROADCAST, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>(L"Environment"),
                        SMTO_ABORTIFHUNG, 5000, &result);
}

void say_folder(const char* format, const wchar_t* folder)
{
    char narrow[MAX_PATH * 2];
    if (!WideCharToMultiByte(CP_ACP, 0, folder, -1, narrow, sizeof narrow, nullptr, nullptr)) narrow[0] = '\0';
    console_outf(format, narrow);
}

int failed(const char* what)
{
    console_errf("tickmend-ctl: path: your PATH could not be %s (error %lu).\n", what, GetLastError());
    return exit_failed;
}

// Takes off what add put on the Path, exactly; quiet: says nothing when all went well.
int remove(HKEY environment, HKEY settings, bool quiet = false)
{
    Text added;
    DWORD type = REG_SZ;
    if (read_text(settings, added_value, &added, &type) != Read::text) {
        if (!quiet) console_out("tickmend-ctl did not put its folder on your PATH: there is nothing to take off.\n");
        return exit_done;
    }
    DWORD created = 0, size = sizeof created;
    RegQueryValueExW(settings, created_value, nullptr, nullptr, reinterpret_cast<BYTE*>(&created), &size);
    const wchar_t* folder = added.get()[0] == L';' ? added.get() + 1 : added.get();
    Text path;
    bool ok = true;
    const Read got = read_text(environment, path_value, &path, &type);
    if (got == Read::unusable) return unusable_path();
    if (got == Read::text) {
        wchar_t* text = path.get();
        const int length = lstrlenW(text), tail = lstrlenW(added.get());
        int at = 0, entry = 0;
        if (length >= tail && lstrcmpW(text + length - tail, added.get()) == 0) {
            text[length - tail] = L'\0'; // as it was before
        } else if (path_find_entry(text, folder, &at, &entry)) {
            path_cut_entry(text, at, entry); // edited since: the entry goes, and one separator
        }
        if (!text[0] && created == 1) ok = RegDeleteValueW(environment, path_value) == ERROR_SUCCESS;
        else ok = write_text(environment, path_value, text, type);
    }
    if (ok) {
        RegDeleteValueW(settings, added_value);
        RegDeleteValueW(settings, created_value);
        announce();
        if (!quiet) say_folder("%s is off your PATH again.\n", folder);
    }
    return ok ? exit_done : failed("written");
}

int add(HKEY environment, HKEY settings)
{
    wchar_t folder[MAX_PATH];
    if (!own_folder(folder)) return failed("read");
    // Moved since (another installation folder): the old folder comes off first.
    Text recorded;
    DWORD recorded_type = REG_SZ;
    if (read_text(settings, added_value, &recorded, &recorded_type) == Read::text) {
        const wchar_t* was = recorded.get()[0] == L';' ? recorded.get() + 1 : recorded.get();
        if (CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, was, -1, folder, -1) != CSTR_EQUAL &&
            remove(environment, settings, true) != exit_done)
            return exit_failed;
    }
    Text path;
    DWORD type = REG_EXPAND_SZ;
    const Read got = read_text(environment, path_value, &path, &type);
    if (got == Read::unusable) return unusable_path();
    const bool existed = got == Read::text;
    if (!existed) type = REG_EXPAND_SZ;
    const wchar_t* old = existed ? path.get() : L"";
    int at = 0, length = 0;
    if (path_find_entry(old, folder, &at, &length)) {
        say_folder("%s is on your PATH already.\n", folder);
        return exit_done;
    }
    const int old_length = lstrlenW(old);
    Text added, joined;
    bool ok = added.make(MAX_PATH + 1) && joined.make(static_cast<DWORD>(old_length) + MAX_PATH + 2);
    if (ok) {
        path_addition(old, folder, added.get());
        lstrcpyW(joined.get(), old);
        lstrcatW(joined.get(), added.get());
        // The record first: a Path written without it could not be taken back exactly.
        const DWORD created = existed ? 0 : 1;
        ok = write_text(settings, added_value, added.get(), REG_SZ) &&
             RegSetValueExW(settings, created_value, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&created),
                            sizeof created) == ERROR_SUCCESS &&
             write_text(environment, path_value, joined.get(), type);
    }
    if (!ok) return failed("written");
    announce();
    say_folder("%s is now on your PATH: a new command prompt finds tickmend-ctl.\n", folder);
    return exit_done;
}

} // namespace

bool path_find_entry(const wchar_t* path, const wchar_t* folder, int* at, int* length)
{
    const int want = lstrlenW(folder);
    for (int start = 0; path[start];) {
        int end = start;
        while (path[end] && path[end] != L';') ++end;
        int n = end - start;
        if (n > 0 && path[start + n - 1] == L'\\') --n;
        if (n == want && CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, path + start, n, folder, want) == CSTR_EQUAL) {
            *at = start;
            *length = end - start;
            return true;
        }
        start = path[end] ? end + 1 : end;
    }
    return false;
}

void path_addition(const wchar_t* path, const wchar_t* folder, wchar_t* added)
{
    const int length = lstrlenW(path);
    lstrcpyW(added, length > 0 && path[length - 1] != L';' ? L";" : L"");
    lstrcatW(added, folder);
}

void path_cut_entry(wchar_t* path, int at, int length)
{
    const int from = at > 0 ? at - 1 : at, to = at + length + (at > 0 || !path[at + length] ? 0 : 1);
    memmove(path + from, path + to, (lstrlenW(path + to) + 1) * sizeof(wchar_t));
}

int path_command(int argc, char** argv)
{
    const bool adding = argc == 1 && _stricmp(argv[0], "add") == 0;
    // A word too many after add or remove is the word named.
    if (argc > 1 && (_stricmp(argv[0], "add") == 0 || _stricmp(argv[0], "remove") == 0)) {
        console_errf("tickmend-ctl: path %s takes no argument, not \"%s\"\n",
                     _stricmp(argv[0], "add") == 0 ? "add" : "remove", argv[1]);
        return exit_usage;
    }
    if (!adding && !(argc == 1 && _stricmp(argv[0], "remove") == 0)) {
        console_errf("tickmend-ctl: path takes \"add\" or \"remove\"%s%s%s\n", argc ? ", not \"" : "",
                     argc ? argv[0] : "", argc ? "\"" : "");
        return exit_usage;
    }
    tk::unique_hkey environment, settings;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, environment_key, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr,
                        environment.put(), nullptr) != ERROR_SUCCESS ||
        RegCreateKeyExW(HKEY_CURRENT_USER, settings_key, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr,
                        settings.put(), nullptr) != ERROR_SUCCESS)
        return failed("opened");
    return adding ? add(environment.get(), settings.get()) : remove(environment.get(), settings.get());
}
