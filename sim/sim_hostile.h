// A terminal gone bad: frames it sends between its answers that a sound engine drops, or
// relays to the port driver unchanged for it to judge, without losing any real completion.
#pragma once

#include "sim_terminal.h"

#include <cstdint>
#include <random>
#include <vector>

struct Sim_hostile_counts
{
    size_t unknown = 0, short_replies = 0, stray_completions = 0, frames = 0;
};

class Sim_hostile_sender
{
  public:
    // With strays_reach_the_driver false the replies for nobody's transfers are open and reap
    // replies of a device nobody has, which the engine drops: the port driver sees none.
    Sim_hostile_sender(Sim_terminal& terminal, uint32_t real_devid,
                       bool strays_reach_the_driver = true)
        : m_terminal(terminal), m_real_devid(real_devid), m_strays(strays_reach_the_driver)
    {
    }
    // Sends count frames of six kinds in turn: unknown codes, status and reap replies cut short,
    // replies for devices and handles nobody has, device lists with a record running past the
    // payload. Stops early when the channel breaks.
    Sim_hostile_counts run(size_t count);
    // Sends the next one; false when the channel is broken.
    bool send_one();
    const Sim_hostile_counts& counts() const
    {
        return m_counts;
    }

  private:
    uint32_t next(uint32_t bound)
    {
        return m_random() % bound;
    }
    std::vector<uint8_t> hostile(size_t i, std::vector<uint8_t> body);

    Sim_terminal& m_terminal;
    uint32_t m_real_devid;
    bool m_strays;
    std::mt19937 m_random{20261206};
    Sim_hostile_counts m_counts;
};
