// What the daemon's tests may see beyond daemon.h: the flag the off sequence reads. Set when
// the power scheme was changed from outside while Gaming Mode was on (the off sequence then
// leaves the scheme alone), cleared by the next on sequence. Written by the daemon alone.
#pragma once
#include <windows.h>

extern volatile LONG scheme_changed_externally;
