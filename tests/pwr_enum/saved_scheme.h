// The switch and restore of a caller that keeps no record, over the power module: the tests'
// way to switch and give back in one call each.
#pragma once
#include "pwr_enum/pwr_enum.h"

// Reads the active plan and remembers it, and only when it is known switches; 1 when switched.
int SetAlwaysOnPwerScheme();
// Re-activates the plan SetAlwaysOnPwerScheme remembered; 0 when nothing was switched or the
// activation failed.
int RestoreSavedPowerScheme();
