// tickmend-ctl skew: the TSC offset of every processor of the process's affinity mask against
// the lowest of them, measured by the midpoint method, and whether they are in step; with
// --warp, whether time goes backwards between them.
#pragma once

// The skew command with the arguments after "skew"; the exit code: 0 in step, 3 out of
// step, 9 cannot tell (a processor measured too loosely, again and again), 1 a measurement
// failed, 64 a usage error.
int skew_command(int argc, char** argv);
