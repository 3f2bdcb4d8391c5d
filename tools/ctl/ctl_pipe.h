// tickmend-ctl's pipe commands: status, on and off, sent only to a running tickmend, with
// what the server's own record says it left out or did not give back.
#pragma once
#include "ctl_usage.h"

// The state query: any text but "1" and "0" changes nothing, and the server answers a
// connection that has sent something at once (one that sends nothing waits up to 0.5 s).
constexpr char status_request[] = "?";
// Sends request ("1" on, "0" off, status_request) and prints the state; strict: "on" exits 5
// when the on sequence left anything out, else 9 when whether its sync brought the counters
// into step cannot be told; "off" exits 5 when the off did not give everything back.
// Returns the exit code.
int pipe_command(const char* request, bool strict = false);

// The exit code once the server answered: request '1' (on), '0' (off) or another (the state
// asked); state the state it answered; told how many things the server's record says the on
// left out or the off did not give back; unverified whether the on's sync could not be told
// in step. Only strict makes a switch that did not happen, or one that left something, a
// failure (exit_left_out), and an on whose sync cannot be told exit_cannot_tell (left out
// outweighs it: a script learns first what it can act on); a state asked always exits 0.
inline int answered_exit_code(char request, char state, int told, bool strict, bool unverified = false)
{
    if (request != '0' && request != '1') return exit_ok;
    if (state != request) return strict ? exit_left_out : exit_ok;
    if (!strict) return exit_ok;
    if (told > 0) return exit_left_out;
    return request == '1' && unverified ? exit_cannot_tell : exit_ok;
}
