#include "saved_scheme.h"
#include "pwr_enum/pwr_private.h"

namespace {

power_plan saved_plan; // the plan SetAlwaysOnPwerScheme found active, for RestoreSavedPowerScheme

} // namespace

int SetAlwaysOnPwerScheme()
{
    if (!ReadActivePowerScheme(&saved_plan)) {
        // Nothing switched, nothing to restore.
        pwr_enum_detail::scheme_switched = 0;
        pwr_enum_detail::clear_xp_state();
        return 0;
    }
    return SwitchToAlwaysOnScheme();
}

int RestoreSavedPowerScheme()
{
    if (!pwr_enum_detail::scheme_switched) return 0;
    return ActivatePowerScheme(&saved_plan);
}
