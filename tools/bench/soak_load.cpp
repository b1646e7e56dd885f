#include "soak_load.h"

#include "portable/frame.h"

namespace
{

// Every size class the engine treats apart: empty, within one channel buffer, at and past its
// 1600 bytes, several buffers, and large.
constexpr uint32_t k_sizes[] = {0,    1,    64,    512,   1599,   1600,
                                1601, 4096, 20000, 65536, 300000, 1u << 20};
// A plain OUT request carries its data in the port driver's 5152-byte query buffer.
constexpr uint32_t k_plain_out_largest = 4096;

} // namespace

void Soak_traffic::start(uint32_t window)
{
    stop();
    m_running = true;
    m_thread = std::thread([this, window] { run(window); });
}

void Soak_traffic::stop()
{
    m_running = false;
    if (m_thread.joinable())
        m_thread.join();
}

void Soak_traffic::run(uint32_t window)
{
    const Sim_transfer kinds[] = {Sim_transfer::plain_in, Sim_transfer::plain_out,
                                  Sim_transfer::mdl_in, Sim_transfer::mdl_out};
    while (m_running)
    {
        if (!m_platform.wait_outstanding_below(window, 100))
            continue;
        const Sim_transfer kind = kinds[m_random() % 4];
        uint32_t size = k_sizes[m_random() % std::size(k_sizes)];
        if (kind == Sim_transfer::plain_out && size > k_plain_out_largest)
            size = k_plain_out_largest;
        const uint32_t devid = m_devids[m_random() % m_devids.size()];
        if (m_platform.submit_transfer_if_plugged(kind, devid, size))
            ++m_submitted;
        else
            Sleep(5); // that device is away
    }
}
