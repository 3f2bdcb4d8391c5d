// The follower: keeps the set of listed programs that run, and reports it to Gaming Mode's
// owner (Qel_DaemonSetFollowed) whenever it changes; the owner derives on and off from it.
//
// What it sees: while something is listed, the processes' ids and creation times are read
// twice a second (follow/started.h) and each process new since the last read is opened once
// to read its image, so that a listed program is seen within a second whatever it shows; a WinEvent hook
// tells of every top-level window another process creates (an earlier word of a start); a
// registered wait on every process followed tells of its end exactly (no limit on their
// number); change notifications on the list's key and on the key that holds it tell of a new
// list or of its deletion (the key is then made again and watched again); and a look at the
// running processes at start and at every change of the list finds what already runs. The
// set is the processes themselves, each let go when its own handle says it ended: never a
// count of starts and ends. Nothing is listed: nothing wakes the thread while nothing
// happens (no clock at all). A followed process that cannot be waited on, or a list that
// cannot be read or watched, is looked at again every 2 s while it lasts. A list that cannot
// be read keeps the last list read (NOTICE_LIST_UNREAD says so).
#pragma once
#include <windows.h>

// Starts the follower's thread and returns once it watches (or could not); 1 when it runs.
// A second start while it runs changes nothing.
int Qel_FollowStart();
// Stops the thread and lets go of the followed processes, reporting that it sees none (it
// no longer looks). Safe to repeat.
void Qel_FollowStop();
// How many listed programs the follower sees running (for display and tests).
int Qel_FollowRunning();
