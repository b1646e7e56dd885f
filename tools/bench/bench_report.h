// The benchmark's tables and the plot's data.
#pragma once

#include "bench_engine.h"

#include <vector>

// One direction and size: the limits and the engine's two kinds, each the median of the rounds.
struct Throughput
{
    bool out = false;
    uint32_t size = 0;
    Run limit, limit_copying; // (a); (a'), OUT only
    Run engine[2];            // plain (count 0: a plain OUT request cannot carry the size), MDL
    double ratio[2] = {};     // engine over its limit: IN and plain OUT (a), MDL OUT (a')
    Sim_transfer kind(int i) const
    {
        return out ? (i ? Sim_transfer::mdl_out : Sim_transfer::plain_out)
                   : (i ? Sim_transfer::mdl_in : Sim_transfer::plain_in);
    }
    const Run& limit_of(int i) const
    {
        return out && i ? limit_copying : limit;
    }
};

// Idle sessions, each a process of its own, measured by Linux's accounting of it.
struct Idle_figures
{
    int processes = 0, reported = 0;
    double seconds = 0;
    double cpu_ms = 0;           // all processes together
    double server_cpu_ms = -1;   // the Wine server, -1 when unknown
    double resident_mib = 0;     // all processes together, pages shared between them in each
    double proportional_mib = 0; // shared pages divided among the processes that map them
};
// Starts processes children of this executable with production timings, measures them for
// seconds, and ends them.
Idle_figures g_idle_sessions(int processes, int seconds);
// The child: starts its session, releases the semaphore name_ready and idles until the event
// name is set.
int g_idle_child(const char* name);

void g_print_heading();
void g_print_load(const char* when);
void g_print_throughput(const std::vector<Throughput>& all);
void g_print_idle(const Idle_figures& f);
bool g_write_plot_data(const char* path, const std::vector<Throughput>& all);
