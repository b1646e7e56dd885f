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

std::vector<uint8_t> frame_of(uint8_t code, const std::vector<uint8_t>& body)
{
    std::vector<uint8_t> f(5 + body.size());
    kv::store_u32(f.data(), static_cast<uint32_t>(1 + body.size()));
    f[4] = code;
    std::copy(body.begin(), body.end(), f.begin() + 5);
    return f;
}

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

std::vector<uint8_t> Soak_hostile::next(const std::vector<uint8_t>& device_list)
{
    const uint32_t nobody = 0xBAD00000u + static_cast<uint32_t>(m_made % 0xFFFFF);
    std::vector<uint8_t> body(m_random() % 40);
    for (uint8_t& b : body)
        b = static_cast<uint8_t>(m_random());
    switch (m_made++ % 6)
    {
    case 0:
    { // a code no handler takes
        uint8_t code;
        do
            code = static_cast<uint8_t>(kv::code_negotiate + 1 + m_random() % 243);
        while (code == kv::code_queue_mdl_urb || code == kv::code_mdl_reap_complete);
        return frame_of(code, body);
    }
    case 1: // status reply cut before its device id ends
        body.resize(m_random() % 5);
        return frame_of(static_cast<uint8_t>(kv::code_reset + m_random() % 5), body);
    case 2: // reap reply cut inside its header
        body.resize(m_random() % 14);
        return frame_of(kv::code_reap_urb, body);
    case 3: // open reply for a device nobody has
        body.resize(5 + m_random() % 20);
        body[0] = 0;
        kv::store_u32(body.data() + 1, nobody);
        return frame_of(kv::code_open, body);
    case 4: // reap reply, data and all, for a device nobody has
        body.resize(14 + m_random() % 100);
        kv::store_u32(body.data(), nobody);
        kv::store_u32(body.data() + 10, static_cast<uint32_t>(body.size() - 14));
        return frame_of(kv::code_reap_urb, body);
    default:
    { // the real list, then a record running past the payload instead of the end
        std::vector<uint8_t> list = device_list;
        list.resize(list.size() - 2);
        list.insert(list.end(), {0xFF, 0xFF});
        list.insert(list.end(), body.begin(), body.end());
        kv::store_u32(list.data(), static_cast<uint32_t>(list.size() - 4));
        return list;
    }
    }
}
