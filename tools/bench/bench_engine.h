// The engine measured on the simulator: transfers relayed between the simulated port driver
// and terminal, with its threads' Win32 calls, heap allocations, copies and CPU time.
#pragma once

#include "bench_meter.h"
#include "counting_platform.h"
#include "sim_session.h"

#include <vector>

struct Engine_run
{
    Sim_transfer kind = Sim_transfer::plain_in;
    uint32_t size = 0;
    uint32_t count = 0;
    double seconds = 0;
    Call_counts calls;    // of the engine's threads, the simulated drivers' left out
    double cpu_ms = 0;    // of the engine's threads
    double server_ms = 0; // of the Wine server, -1 when unknown
    uint64_t message_allocations = 0;
    uint64_t record_allocations = 0;
    uint64_t copied_bytes = 0; // by every guarded copy
    uint64_t channel_copied_bytes = 0;
    bool right = true; // every request completed once with the right bytes
    double mib_per_s() const
    {
        return static_cast<double>(size) * count / 1048576.0 / seconds;
    }
};

class Bench_session
{
  public:
    // Two devices; production's poll period.
    Bench_session();
    ~Bench_session();
    // Starts the engine and waits until the terminal's two devices are plugged in.
    bool start();
    void stop();
    // count transfers with at most window in flight.
    Engine_run run(Sim_transfer kind, uint32_t size, uint32_t count, uint32_t window);
    // One request in flight at a time: each round trip in microseconds, submit to completion.
    std::vector<double> round_trips(Sim_transfer kind, uint32_t size, uint32_t rounds,
                                    Engine_run* run);

    Sim_session session;

  private:
    Counting_platform m_counting{session.platform};
};

constexpr uint32_t k_bench_devid = 0x101;
