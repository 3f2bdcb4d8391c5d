#include "journal/journal.h"
#include "common/handle.h"
#include "common/settings.h"
#include "common/trace.h"
#include "registry/registry.h"

#include <string.h>

namespace {

const char pending_value[] = "restore_pending";
const char index_value[] = "restore_scheme_index";
const char guid_value[] = "restore_scheme_guid";
const char nodes_value[] = "restore_nb_nodes";
const char plan_value[] = "last_on_plan";
const char northbridge_value[] = "last_on_northbridge";
const char driver_value[] = "last_on_driver";
const char start_value[] = "last_start";
const char start_time_value[] = "last_start_time";

DWORD read_dword(const char* name, DWORD fallback)
{
    DWORD value = fallback;
    GetRegistryValue(HKEY_CURRENT_USER, settings_key, name, &value, sizeof value);
    return value;
}

// A text value into buffer (size bytes, its NUL included), always ended; false when it
// cannot be read or does not fit.
bool read_text(const char* name, char* buffer, DWORD size)
{
    memset(buffer, 0, size);
    bool read = GetRegistryValue(HKEY_CURRENT_USER, settings_key, name, buffer, size) != 0;
    buffer[size - 1] = '\0';
    return read;
}

bool write_dword(const char* name, DWORD value)
{
    return set_registry_dword(HKEY_CURRENT_USER, settings_key, name, REG_DWORD, &value, sizeof value) != 0;
}

bool write_text(const char* name, const char* text)
{
    return set_registry_dword(HKEY_CURRENT_USER, settings_key, name, REG_SZ, text,
                              static_cast<DWORD>(strlen(text) + 1)) != 0;
}

// True when the value is gone afterwards.
bool delete_value(const char* name)
{
    tk::unique_hkey key;
    LONG status = RegOpenKeyExA(HKEY_CURRENT_USER, settings_key, 0, KEY_SET_VALUE, key.put());
    if (status == ERROR_FILE_NOT_FOUND) return true;
    if (status != ERROR_SUCCESS) return false;
    status = RegDeleteValueA(key.get(), name);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

} // namespace

void journal_read(restore_record* record)
{
    memset(record, 0, sizeof *record);
    if (!read_dword(pending_value, 0)) return;
    record->open = 1;
    record->nb_nodes = read_dword(nodes_value, 0);
    DWORD index = 0;
    if (GetRegistryValue(HKEY_CURRENT_USER, settings_key, index_value, &index, sizeof index)) {
        record->plan.kind = plan_index;
        record->plan.index = index;
    } else if (read_text(guid_value, record->plan.guid, sizeof record->plan.guid) && record->plan.guid[0]) {
        record->plan.kind = plan_guid;
    }
}

// The debt goes first and the mark last when a record is written, and the other way round
// when it is removed: whatever the registry keeps of a write cut short still names
// everything owed.
int journal_write(const restore_record* record)
{
    bool done = true;
    if (!record->open) {
        done = delete_value(pending_value);
        if (!done) return 0;
        done = delete_value(nodes_value) && delete_value(index_value) && delete_value(guid_value);
        return done ? 1 : 0;
    }
    done = write_dword(nodes_value, record->nb_nodes);
    if (record->plan.kind == plan_index) {
        done = write_dword(index_value, record->plan.index) && done;
        done = delete_value(guid_value) && done;
    } else if (record->plan.kind == plan_guid) {
        done = write_text(guid_value, record->plan.guid) && done;
        done = delete_value(index_value) && done;
    } else {
        done = delete_value(index_value) && delete_value(guid_value) && done;
    }
    done = write_dword(pending_value, 1) && done;
    if (!done) TRACE("journal journal_write : the registry refused the record\n");
    return done ? 1 : 0;
}

int last_on_write(const last_on_record* record)
{
    bool done = write_text(plan_value, record->plan);
    done = write_text(northbridge_value, record->northbridge) && done;
    done = write_text(driver_value, record->driver) && done;
    return done ? 1 : 0;
}

int last_on_read(last_on_record* record)
{
    bool any = read_text(plan_value, record->plan, sizeof record->plan);
    any = read_text(northbridge_value, record->northbridge, sizeof record->northbridge) || any;
    any = read_text(driver_value, record->driver, sizeof record->driver) || any;
    return any ? 1 : 0;
}

int last_start_write(const char* what)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    char when[32];
    wsprintfA(when, "%04u-%02u-%02u %02u:%02u", now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute);
    bool done = write_text(start_value, what);
    done = write_text(start_time_value, when) && done;
    return done ? 1 : 0;
}

int last_start_read(last_start_record* record)
{
    bool any = read_text(start_value, record->what, sizeof record->what);
    if (!read_text(start_time_value, record->when, sizeof record->when)) record->when[0] = '\0';
    return any ? 1 : 0;
}
