// tickmend-ctl auto: the list of programs Gaming Mode follows, listed, added to, removed from.
#pragma once

// auto list|add PROGRAM|remove PROGRAM, with its arguments after the command; returns the
// exit code (7: remove found the program not in the list).
int auto_command(int argc, char** argv);
