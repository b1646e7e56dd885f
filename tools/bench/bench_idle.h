// Idle sessions: engines with production timings that only poll the terminal's device list,
// each in a process of its own, as on a terminal server with one instance per session.
#pragma once

struct Idle_figures
{
    int processes = 0;
    int reported = 0;
    int exact = 0; // children whose times came from Linux's accounting
    double seconds = 0;
    double process_cpu_ms = 0;  // all processes together (Linux's accounting of their threads)
    double server_cpu_ms = -1;  // the Wine server, -1 when unknown
    double working_set_mib = 0; // all processes together
};

// The child: starts a session, says "ready", waits for the named event, measures for seconds
// and prints its figures. name: its own argument that tells it from the other children.
int g_idle_child(int seconds, const char* go_event, const char* name);
// Starts processes children of this executable and adds up their figures.
Idle_figures g_idle_sessions(int processes, int seconds);
