// The follower: Gaming Mode goes on when a listed program starts and off when the last
// listed program that runs has ended, through Gaming Mode's owner (follow_on, follow_off),
// whose rule puts the user's own choice first.
//
// Seen without polling: a WinEvent hook tells of every top-level window another process
// creates (a program's first window shows that it started), a wait on the process handle of
// every program followed tells of its end, a change notification on the list's key tells
// of a new list, and a look at the running processes at start and at every change of the
// list finds what already runs. Nothing wakes the thread while nothing happens.
#pragma once
#include <windows.h>

// Starts the follower's thread and returns once it watches (or could not); 1 when it runs.
// A second start while it runs changes nothing.
int Qel_FollowStart();
// Stops the thread and lets go of the followed processes; follows no order of its own
// (Gaming Mode's owner turns Gaming Mode off as the daemon ends). Safe to repeat.
void Qel_FollowStop();
// How many listed programs the follower sees running (for display and tests).
int Qel_FollowRunning();
