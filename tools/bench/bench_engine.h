// The engine measured on the simulator: transfers relayed between the simulated port driver
// and terminal, with its threads' Win32 calls, heap allocations, copies and CPU time.
#pragma once

#include "counting_platform.h"
#include "sim_session.h"

// A session of two devices with production's poll period, its workers counted.
class Bench_session : public Sim_session_of<Counting_platform>
{
  public:
    Bench_session();
    ~Bench_session();
    // Starts the engine, polling the device list often until both devices are plugged in.
    bool start_quickly();
    // count transfers with at most window in flight.
    Run run(Sim_transfer kind, uint32_t size, uint32_t count, uint32_t window);
};
