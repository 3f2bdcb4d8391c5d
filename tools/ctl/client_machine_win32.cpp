// tickmend-ctl.exe reads this machine: the seam's Win32 implementation stays.
#include "client_machine.h"

bool client_machine_install() { return true; }
void client_machine_bounds() {}
const char* client_machine_help() { return ""; }
