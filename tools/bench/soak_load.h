// The soak's load: transfers of every kind and size on whichever devices are plugged in, and
// hostile frames that the engine must drop without a completion.
#pragma once

#include "sim_platform.h"

#include <atomic>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

class Soak_traffic
{
  public:
    Soak_traffic(Sim_platform& platform, std::vector<uint32_t> devids)
        : m_platform(platform), m_devids(std::move(devids))
    {
    }
    ~Soak_traffic()
    {
        stop();
    }
    // A thread keeps up to window transfers in flight until stop.
    void start(uint32_t window);
    void stop();
    uint64_t submitted() const
    {
        return m_submitted;
    }

  private:
    void run(uint32_t window);

    Sim_platform& m_platform;
    std::vector<uint32_t> m_devids;
    std::thread m_thread;
    std::atomic<bool> m_running{false};
    std::atomic<uint64_t> m_submitted{0};
    std::mt19937 m_random{20261207};
};
