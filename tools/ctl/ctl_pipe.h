// tickmend-ctl's pipe commands: status, on and off, sent only to a running tickmend, with
// what the server's own record says it left out or did not give back.
#pragma once

// The state query: any text but "1" and "0" changes nothing, and the server answers a
// connection that has sent something at once (one that sends nothing waits up to 0.5 s).
constexpr char status_request[] = "?";
// Sends request ("1" on, "0" off, status_request) and prints the state; strict: "on" exits 5
// when the on sequence left anything out, else 9 when whether its sync brought the counters
// into step cannot be told; "off" exits 5 when the off did not give everything back.
// Returns the exit code.
int pipe_command(const char* request, bool strict = false);
