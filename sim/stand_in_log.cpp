#include "sim/stand_in_log.h"
#include "common/handle.h"

#include <string.h>
#include <wchar.h>

void append_stand_in_log(const wchar_t* key_path, const wchar_t* line, int keep)
{
    constexpr DWORD max_line = 120;
    constexpr int max_keep = 64;
    if (keep > max_keep) keep = max_keep;
    // "line\0line\0...\0\0", with room for one more line.
    static wchar_t log[(max_keep + 1) * (max_line + 1) + 2];
    tk::unique_hkey key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, key_path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, key.put(), nullptr) != ERROR_SUCCESS)
        return;
    DWORD size = static_cast<DWORD>(sizeof log - (max_line + 1) * sizeof(wchar_t));
    memset(log, 0, sizeof log);
    if (RegQueryValueExW(key.get(), L"Log", nullptr, nullptr, reinterpret_cast<BYTE*>(log), &size) != ERROR_SUCCESS)
        log[0] = log[1] = L'\0';
    size_t end = 0;
    int lines = 0;
    while (log[end] != L'\0') {
        end += wcslen(log + end) + 1;
        ++lines;
    }
    while (lines >= keep) {
        size_t first = wcslen(log) + 1;
        memmove(log, log + first, (end - first) * sizeof(wchar_t));
        end -= first;
        --lines;
    }
    size_t length = wcslen(line);
    if (length > max_line) length = max_line;
    memcpy(log + end, line, length * sizeof(wchar_t));
    end += length;
    log[end++] = L'\0';
    log[end++] = L'\0';
    RegSetValueExW(key.get(), L"Log", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(log),
                   static_cast<DWORD>(end * sizeof(wchar_t)));
}
