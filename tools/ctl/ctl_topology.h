// tickmend-ctl topology: the processors, nodes and cores as tickmend sees them, what tickmend
// does on this machine, the driver and the last records; as text, or with --csv as one table.
#pragma once

// topology [--csv] with its arguments after the command; returns the exit code.
int topology(int argc, char** argv);
