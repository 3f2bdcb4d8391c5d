// The list of followed programs in the registry: one REG_SZ value a program, named by its
// entry (the data holds the same text), read and written in UTF-16.
#include "follow/follow_list.h"
#include "common/handle.h"
#include "common/process_image.h"
#include "common/wide_text.h"

#include <string.h>
#include <wchar.h>

namespace {

// The long form of a value's name: the entry's first part, '|', eight hexadecimal digits.
constexpr int long_name_head = follow_value_name_limit - 9;

DWORD text_hash(const wchar_t* text)
{
    DWORD hash = 2166136261u; // FNV-1a over the UTF-16 units
    for (; *text; ++text) hash = (hash ^ static_cast<DWORD>(*text)) * 16777619u;
    return hash;
}

// The value's name for entry: the entry itself, or its long form.
void value_name_of(const wchar_t* entry, wchar_t* name)
{
    if (wcslen(entry) <= static_cast<size_t>(follow_value_name_limit)) {
        wcscpy(name, entry);
        return;
    }
    wmemcpy(name, entry, long_name_head);
    name[long_name_head] = L'|';
    const DWORD hash = text_hash(entry);
    for (int i = 0; i < 8; ++i) name[long_name_head + 1 + i] = L"0123456789abcdef"[(hash >> (28 - 4 * i)) & 15];
    name[follow_value_name_limit] = L'\0';
}

// The list's values one by one, each read as the rule reads it; its buffers on the heap.
class list_reader {
public:
    list_reader() : name_(follow_value_name_limit + 1), raw_(follow_entry_size + 1), entry_(follow_entry_size) {}
    bool ready() const { return name_ && raw_ && entry_; }
    // The value at index: ERROR_SUCCESS (name(), entry() and verdict() tell it),
    // ERROR_NO_MORE_ITEMS, or the registry's error.
    LONG read(HKEY key, DWORD index)
    {
        DWORD name_size = name_.count();
        LONG status = RegEnumValueW(key, index, name_.get(), &name_size, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS) return status;
        // A long entry's text is its data, when the data is the text its name stands for.
        const wchar_t* text = name_.get();
        if (name_size == static_cast<DWORD>(follow_value_name_limit) && name_.get()[long_name_head] == L'|') {
            // The longest entry with its end, and room for an end the data may lack.
            DWORD type = 0, size = static_cast<DWORD>(raw_.count() - 1) * sizeof(wchar_t);
            if (RegQueryValueExW(key, name_.get(), nullptr, &type, reinterpret_cast<BYTE*>(raw_.get()), &size) ==
                    ERROR_SUCCESS &&
                type == REG_SZ) {
                raw_.get()[size / sizeof(wchar_t)] = L'\0';
                wide_buffer named(follow_value_name_limit + 1);
                if (named) value_name_of(raw_.get(), named.get());
                if (named && wcscmp(named.get(), name_.get()) == 0) text = raw_.get();
            }
        }
        verdict_ = follow_entry_from(text, entry_.get(), false);
        return ERROR_SUCCESS;
    }
    const wchar_t* name() const { return name_.get(); }
    const wchar_t* entry() const { return entry_.get(); }
    follow_verdict verdict() const { return verdict_; }

private:
    wide_buffer name_, raw_, entry_;
    follow_verdict verdict_ = follow_verdict::empty;
};

} // namespace

void follow_list_add(const wchar_t* typed, follow_outcome* outcome)
{
    outcome->change = follow_change::refused;
    outcome->verdict = follow_entry_from(typed, outcome->entry, true);
    if (outcome->verdict != follow_verdict::accepted) return;
    outcome->change = follow_change::failed;
    list_reader reader;
    if (!reader.ready()) return;
    tk::unique_hkey key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, follow_list_key, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr,
                        key.put(), nullptr) != ERROR_SUCCESS)
        return;
    // Listed already as it reads, also when hand-edited (" Game.EXE ") or as another path of
    // the same file.
    for (DWORD index = 0;; ++index) {
        const LONG status = reader.read(key.get(), index);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS) return;
        if (reader.verdict() == follow_verdict::accepted && follow_same_entry(reader.entry(), outcome->entry)) {
            wcscpy(outcome->entry, reader.entry());
            outcome->change = follow_change::already;
            return;
        }
    }
    wide_buffer name(follow_value_name_limit + 1);
    if (!name) return;
    value_name_of(outcome->entry, name.get());
    const DWORD bytes = static_cast<DWORD>((wcslen(outcome->entry) + 1) * sizeof(wchar_t));
    if (RegSetValueExW(key.get(), name.get(), 0, REG_SZ, reinterpret_cast<const BYTE*>(outcome->entry), bytes) ==
        ERROR_SUCCESS)
        outcome->change = follow_change::done;
}

void follow_list_remove(const wchar_t* typed, follow_outcome* outcome)
{
    outcome->change = follow_change::not_listed;
    outcome->verdict = follow_entry_from(typed, outcome->entry, false);
    if (outcome->verdict == follow_verdict::empty) {
        outcome->change = follow_change::refused;
        return;
    }
    list_reader reader;
    if (!reader.ready()) {
        outcome->change = follow_change::failed;
        return;
    }
    tk::unique_hkey key;
    LONG status = RegOpenKeyExA(HKEY_CURRENT_USER, follow_list_key, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, key.put());
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) outcome->change = follow_change::failed;
    // Every value that reads as this entry goes; the enumeration starts again after each, as
    // a deletion moves the values after it.
    for (DWORD index = 0; status == ERROR_SUCCESS;) {
        const LONG read = reader.read(key.get(), index);
        if (read == ERROR_NO_MORE_ITEMS) break;
        if (read != ERROR_SUCCESS) {
            outcome->change = follow_change::failed;
            return;
        }
        const follow_verdict verdict = reader.verdict();
        // A refused entry is matched by its text alone (a hand-edited *.exe goes by *.exe).
        const bool same = verdict == follow_verdict::accepted && outcome->verdict == follow_verdict::accepted
                              ? follow_same_entry(reader.entry(), outcome->entry)
                              : verdict != follow_verdict::empty && same_name(reader.entry(), outcome->entry);
        if (!same) {
            ++index;
            continue;
        }
        if (RegDeleteValueW(key.get(), reader.name()) != ERROR_SUCCESS) {
            outcome->change = follow_change::failed;
            return;
        }
        wcscpy(outcome->entry, reader.entry());
        outcome->change = follow_change::done;
        index = 0;
    }
    if (outcome->change == follow_change::not_listed && outcome->verdict != follow_verdict::accepted)
        outcome->change = follow_change::refused;
}

int follow_list_each(void (*each)(const wchar_t* entry, follow_verdict verdict, void* context), void* context,
                     LONG* error)
{
    tk::unique_hkey key;
    LONG status = RegOpenKeyExA(HKEY_CURRENT_USER, follow_list_key, 0, KEY_QUERY_VALUE, key.put());
    if (error) *error = status;
    if (status == ERROR_FILE_NOT_FOUND) return 0;
    if (status != ERROR_SUCCESS) return -1;
    list_reader reader;
    if (!reader.ready()) {
        if (error) *error = ERROR_OUTOFMEMORY;
        return -1;
    }
    int count = 0;
    for (DWORD index = 0;; ++index) {
        status = reader.read(key.get(), index);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (error) *error = status;
        if (status != ERROR_SUCCESS) return -1;
        if (!reader.name()[0]) continue; // the key's default value
        if (each) each(reader.entry(), reader.verdict(), context);
        ++count;
    }
    return count;
}
