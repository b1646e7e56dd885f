#include "sim_hostile.h"

#include "portable/frame.h"

namespace
{

using Bytes = std::vector<uint8_t>;

Bytes frame_of(uint8_t code, const Bytes& body)
{
    Bytes f(5 + body.size());
    kv::store_u32(f.data(), static_cast<uint32_t>(1 + body.size()));
    f[4] = code;
    for (size_t i = 0; i < body.size(); ++i)
        f[5 + i] = body[i];
    return f;
}

} // namespace

Sim_hostile_counts Sim_hostile_sender::run(size_t count)
{
    for (size_t i = 0; i < count && send_one(); ++i)
    {
    }
    return m_counts;
}

bool Sim_hostile_sender::send_one()
{
    Bytes body(m_random() % 40);
    for (uint8_t& b : body)
        b = static_cast<uint8_t>(m_random());
    if (!m_terminal.inject(hostile(m_counts.frames, body)))
        return false;
    ++m_counts.frames;
    return true;
}

Bytes Sim_hostile_sender::hostile(size_t i, Bytes body)
{
    switch (i % 6)
    {
    case 0:
    { // a code no handler takes
        uint8_t code;
        do
            code = static_cast<uint8_t>(kv::code_negotiate + 1 + next(243));
        while (code == kv::code_queue_mdl_urb || code == kv::code_mdl_reap_complete);
        ++m_counts.unknown;
        return frame_of(code, body);
    }
    case 1: // status reply cut before its device id ends
        ++m_counts.short_replies;
        body.resize(next(5));
        return frame_of(static_cast<uint8_t>(kv::code_reset + next(5)), body);
    case 2: // reap reply cut inside its header
        ++m_counts.short_replies;
        body.resize(next(14));
        return frame_of(kv::code_reap_urb, body);
    case 3:
    { // status or open reply for a device nobody has
        uint8_t code = static_cast<uint8_t>(next(6)); // open or a status code
        if (code == kv::code_close || !m_strays)
            code = kv::code_open;
        body.resize(5 + next(20));
        body[0] = static_cast<uint8_t>(next(3));
        kv::store_u32(body.data() + 1, 0xBAD00000u + static_cast<uint32_t>(i));
        if (code >= kv::code_reset)
            ++m_counts.stray_completions;
        return frame_of(code, body);
    }
    case 4:
    { // reap reply for a handle never issued, its length field often wrong
        body.resize(14 + next(100));
        kv::store_u32(body.data(), m_strays ? m_real_devid : 0xBAD0FFFFu);
        body[4] = 0;
        body[5] = 0;
        kv::store_u32(body.data() + 6, 0xF0000000u + static_cast<uint32_t>(i));
        kv::store_u32(body.data() + 10, next(2) ? next(1u << 31) : uint32_t(body.size() - 14));
        m_counts.stray_completions += m_strays;
        return frame_of(kv::code_reap_urb, body);
    }
    default:
    { // the real list, then a record running past the payload instead of the end
        Bytes list = m_terminal.device_list_reply();
        list.resize(list.size() - 2);
        Bytes tail = {0xFF, 0xFF};
        tail.insert(tail.end(), body.begin(), body.end());
        list.insert(list.end(), tail.begin(), tail.end());
        kv::store_u32(list.data(), static_cast<uint32_t>(list.size() - 4));
        return list;
    }
    }
}
