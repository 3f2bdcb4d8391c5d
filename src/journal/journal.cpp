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
const char set_index_value[] = "restore_set_index";
const char set_guid_value[] = "restore_set_guid";
const char temp_value[] = "restore_temp_scheme";
const char plan_value[] = "last_on_plan";
const char by_value[] = "last_on_by";
const char northbridge_value[] = "last_on_northbridge";
const char driver_value[] = "last_on_driver";
const char checked_value[] = "last_on_checked";
const char why_not_value[] = "last_on_check_why_not";
const char in_step_value[] = "last_on_in_step";
const char cpu_value[] = "last_on_offset_cpu";
const char node_value[] = "last_on_offset_node";
const char core_value[] = "last_on_offset_core";
const char offset_value[] = "last_on_offset_ns";
const char uncertainty_value[] = "last_on_uncertainty_ns";
const char bound_value[] = "last_on_bound_ns";
const char unmeasured_value[] = "last_on_unmeasured";
const char process_value[] = "last_on_process";
const char time_value[] = "last_on_time";
const char untold_value[] = "restore_untold";
const char start_value[] = "last_start";
const char start_time_value[] = "last_start_time";

DWORD read_dword(const char* name, DWORD fallback)
{
    DWORD value = fallback;
    if (!get_registry_typed(HKEY_CURRENT_USER, settings_key, name, REG_DWORD, &value, sizeof value)) return fallback;
    return value;
}

// True when a value of that name is stored, whatever its type.
bool value_present(const char* name)
{
    tk::unique_hkey key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, settings_key, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) return false;
    return RegQueryValueExA(key.get(), name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

// A GUID's text into guid (37 bytes); also as Windows writes it, in braces ("{...}"), which
// are left out. False when none is stored, or it is empty or does not fit.
bool read_guid(const char* name, char* guid)
{
    char text[sizeof(power_plan::guid) + 2];
    if (!get_registry_typed(HKEY_CURRENT_USER, settings_key, name, REG_SZ, text, sizeof text)) return false;
    const char* from = text;
    size_t length = strlen(text);
    if (length >= 2 && text[0] == '{' && text[length - 1] == '}') {
        ++from;
        length -= 2;
    }
    if (length == 0 || length >= sizeof(power_plan::guid)) return false;
    memcpy(guid, from, length);
    guid[length] = '\0';
    return true;
}

// A plan stored as index_name (XP) or guid_name (Vista): only the kind this Windows names is
// taken. False when a value is stored but cannot be used, or only the other kind is stored.
bool read_plan(const char* index_name, const char* guid_name, power_plan* plan)
{
    memset(plan, 0, sizeof *plan);
    const char* own = PowerPlanKind() == plan_index ? index_name : guid_name;
    const char* other = own == index_name ? guid_name : index_name;
    bool read = own == index_name ? get_registry_typed(HKEY_CURRENT_USER, settings_key, own, REG_DWORD, &plan->index,
                                                       sizeof plan->index) != 0
                                  : read_guid(own, plan->guid);
    if (read) {
        plan->kind = PowerPlanKind();
        return true;
    }
    memset(plan, 0, sizeof *plan);
    return !value_present(own) && !value_present(other);
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
    return set_registry_dword(HKEY_CURRENT_USER, settings_key, name, value) != 0;
}

bool write_text(const char* name, const char* text)
{
    return set_registry_value(HKEY_CURRENT_USER, settings_key, name, REG_SZ, text,
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

void journal_owe_plan(restore_record* record, const power_plan& active)
{
    if (record->plan.kind == plan_none ||
        (record->set_plan.kind != plan_none && !SamePowerPlan(&active, &record->set_plan)))
        record->plan = active;
}

void journal_read(restore_record* record)
{
    memset(record, 0, sizeof *record);
    if (!read_dword(pending_value, 0)) return;
    record->open = 1;
    record->nb_nodes = read_dword(nodes_value, 0);
    if (!read_plan(index_value, guid_value, &record->plan)) record->unusable |= unusable_plan;
    // A plan set that cannot be read is not known: the user's plan is then given back as
    // before this value was kept.
    if (!read_plan(set_index_value, set_guid_value, &record->set_plan) || !PowerPlanWellFormed(&record->set_plan))
        memset(&record->set_plan, 0, sizeof record->set_plan);
    record->temp_scheme = record->set_plan.kind == plan_index && read_dword(temp_value, 0) == 1 ? 1 : 0;
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
        done = delete_value(set_index_value) && delete_value(set_guid_value) && delete_value(temp_value) && done;
        return done ? 1 : 0;
    }
    done = write_dword(nodes_value, record->nb_nodes);
    if (record->set_plan.kind == plan_index) {
        done = write_dword(set_index_value, record->set_plan.index) && done;
        done = write_dword(temp_value, record->temp_scheme) && done;
    } else if (record->set_plan.kind == plan_guid) {
        done = write_text(set_guid_value, record->set_plan.guid) && done;
    } else {
        done = delete_value(set_index_value) && delete_value(set_guid_value) && delete_value(temp_value) && done;
    }
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

int journal_write_nodes(const restore_record* record)
{
    return record->open && write_dword(nodes_value, record->nb_nodes) ? 1 : 0;
}

int last_on_write(const last_on_record* record)
{
    // Whoever reads a record cut short finds no stamp, and so no claim that it is this run's.
    if (!delete_value(process_value)) return 0;
    bool done = write_text(plan_value, record->plan);
    done = write_text(northbridge_value, record->northbridge) && done;
    done = write_text(driver_value, record->driver) && done;
    done = write_dword(checked_value, record->checked) && done;
    done = write_text(why_not_value, record->why_not) && done;
    done = write_dword(in_step_value, record->in_step) && done;
    done = write_dword(cpu_value, record->cpu) && done;
    done = write_dword(node_value, record->node) && done;
    done = write_dword(core_value, record->core) && done;
    done = write_dword(offset_value, record->offset_ns) && done;
    done = write_dword(uncertainty_value, record->uncertainty_ns) && done;
    done = write_dword(bound_value, record->bound_ns) && done;
    done = write_dword(unmeasured_value, record->unmeasured) && done;
    if (!done) return 0;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const ULONGLONG written = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    done = set_registry_value(HKEY_CURRENT_USER, settings_key, time_value, REG_QWORD, &written, sizeof written) != 0;
    done = done && write_dword(process_value, GetCurrentProcessId());
    return done ? 1 : 0;
}

int last_on_note_plan(const char* plan)
{
    return write_text(plan_value, plan) ? 1 : 0;
}

int last_on_note_by(const char* by)
{
    return write_text(by_value, by) ? 1 : 0;
}

int last_on_read_by(char* by, DWORD size)
{
    if (size) by[0] = '\0';
    return read_text(by_value, by, size) ? 1 : 0;
}

int last_on_read(last_on_record* record)
{
    bool any = read_text(plan_value, record->plan, sizeof record->plan);
    any = read_text(northbridge_value, record->northbridge, sizeof record->northbridge) || any;
    any = read_text(driver_value, record->driver, sizeof record->driver) || any;
    // A record from before the check existed reads as "not checked", with no reason.
    record->checked = read_dword(checked_value, 0);
    read_text(why_not_value, record->why_not, sizeof record->why_not);
    record->in_step = read_dword(in_step_value, 0);
    record->cpu = read_dword(cpu_value, 0);
    record->node = read_dword(node_value, 0);
    record->core = read_dword(core_value, 0);
    record->offset_ns = read_dword(offset_value, 0);
    record->uncertainty_ns = read_dword(uncertainty_value, 0);
    record->bound_ns = read_dword(bound_value, 0);
    record->unmeasured = read_dword(unmeasured_value, 0);
    record->process_id = read_dword(process_value, 0);
    record->written = 0;
    get_registry_typed(HKEY_CURRENT_USER, settings_key, time_value, REG_QWORD, &record->written,
                       sizeof record->written);
    return any ? 1 : 0;
}

int journal_keep_untold(const char* detail)
{
    return write_text(untold_value, detail) ? 1 : 0;
}

int journal_take_untold(char* detail, int size)
{
    if (size <= 0 || !read_text(untold_value, detail, static_cast<DWORD>(size))) return 0;
    delete_value(untold_value);
    return 1;
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
