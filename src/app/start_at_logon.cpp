// This user's "Start at logon" choice: read and kept as a DWORD under the settings key.
#include "app/start_at_logon.h"
#include "common/settings.h"
#include "registry/registry.h"

namespace {

const char start_at_logon_value[] = "start_at_logon";

} // namespace

bool start_at_logon_chosen()
{
    DWORD chosen = 1;
    if (!get_registry_typed(HKEY_CURRENT_USER, settings_key, start_at_logon_value, REG_DWORD, &chosen, sizeof chosen))
        return true; // never chosen: the autostart entry starts it for every user
    return chosen != 0;
}

bool choose_start_at_logon(bool on)
{
    DWORD chosen = on ? 1 : 0;
    return set_registry_dword(HKEY_CURRENT_USER, settings_key, start_at_logon_value, REG_DWORD, &chosen,
                              sizeof chosen) != 0;
}
