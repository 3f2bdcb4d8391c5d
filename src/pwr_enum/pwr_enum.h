// Power scheme switching: a scheme that does not throttle the processor while Gaming Mode
// is on, and the previous one back afterwards (powrprof on XP, powercfg on Vista).
#pragma once

// Switches to the non-throttling scheme and remembers the active one.
int SetAlwaysOnPwerScheme();
// Re-activates the remembered scheme; 0 when nothing was switched or no active scheme was known.
int RestoreSavedPowerScheme();
