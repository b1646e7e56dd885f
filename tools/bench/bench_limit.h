// The limits of the simulated channel with no engine: the same named pipes, driven with the
// channel's own I/O patterns on the program's end and the simulated terminal's on the other.
#pragma once

#include "bench_meter.h"

#include <cstdint>
#include <vector>

struct Limit_run
{
    uint32_t count = 0;
    uint64_t data_bytes = 0;
    double seconds = 0;
    Call_counts calls;    // of the program's end
    double cpu_ms = 0;    // of the program's end
    double server_ms = 0; // of the Wine server, -1 when unknown
    double mib_per_s() const
    {
        return data_bytes / 1048576.0 / seconds;
    }
};

// (a) IN: the terminal writes count reap replies of data_size bytes of data back to back; the
// program's end reads them with the channel's pattern, one overlapped read of read_size bytes
// at a time with a new event each, waited on together with an exit event.
// (b) is the same with read sizes of 64 KiB and 1 MiB. (a*) with skip_done_wait: a read that
// completed at once, its event already signalled, is not waited for.
Limit_run g_limit_in(uint32_t data_size, uint32_t count, uint32_t read_size, bool skip_done_wait);
// Microseconds of one call: a CreateEvent and CloseHandle pair, halved, and a VirtualQuery.
double g_server_call_us();
double g_virtual_query_us();
// (a) OUT: the program's end writes count URB requests carrying data_size bytes, each with the
// channel's write (one overlapped write with a new event); the terminal reads each frame as
// the simulated terminal does, its length field and then its body.
// (a') with copy_first, each frame is first copied into a freshly allocated block that is freed
// after the write, as an MDL OUT request's rewrite does.
Limit_run g_limit_out(uint32_t data_size, uint32_t count, bool copy_first);
// (c) ping-pong: the program's end writes the request of one transfer (channel write), the
// terminal reads it and writes the reply, the program's end reads the reply (channel reads).
// Returns each round trip in microseconds; calls and CPU of the program's end go into run.
std::vector<double> g_ping_pong(bool out, uint32_t data_size, uint32_t rounds, Limit_run* run);
// (c) through two relay threads: a requester hands the request to one thread, which writes it,
// and another thread reads the reply and hands it back, as the engine's two pumps stand
// between the port driver and the channel. Round trips in microseconds.
std::vector<double> g_relay_ping_pong(bool out, uint32_t data_size, uint32_t rounds);
