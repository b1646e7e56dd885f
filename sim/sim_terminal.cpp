#include "sim_terminal.h"

#include "portable/frame.h"
#include "sim_pattern.h"
#include "sim_records.h"

bool g_pipe_read_exact(HANDLE end, uint8_t* data, size_t size)
{
    size_t got = 0;
    while (got < size)
    {
        DWORD n = 0;
        if (!ReadFile(end, data + got, static_cast<DWORD>(size - got), &n, nullptr) || n == 0)
            return false;
        got += n;
    }
    return true;
}

namespace
{

std::vector<uint8_t> status_reply(uint8_t code, uint8_t status, uint32_t devid)
{
    std::vector<uint8_t> r(10);
    kv::store_u32(r.data(), 6);
    r[4] = code;
    r[5] = status;
    kv::store_u32(r.data() + 6, devid);
    return r;
}

} // namespace

Sim_terminal::~Sim_terminal()
{
    stop();
}

void Sim_terminal::start(HANDLE terminal_end)
{
    stop();
    m_end = terminal_end;
    m_thread = std::thread([this] { serve(); });
}

void Sim_terminal::stop()
{
    // The thread ends when the engine closes its end of the channel.
    if (m_thread.joinable())
        m_thread.join();
}

void Sim_terminal::add_device(const Sim_device& device)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_devices.push_back(device);
}

void Sim_terminal::remove_device(uint32_t id)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_devices.begin(); it != m_devices.end(); ++it)
        if (it->id == id)
        {
            m_devices.erase(it);
            return;
        }
}

std::vector<Sim_device> Sim_terminal::devices()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_devices;
}

std::vector<uint8_t> Sim_terminal::device_list_reply()
{
    std::vector<sim_records::Bytes> records;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const Sim_device& d : m_devices)
        records.push_back(
            sim_records::record({d.id, d.vendor, d.product, d.release,
                                 d.named ? d.name.c_str() : nullptr, d.serial.c_str()}));
    return sim_records::reply(records);
}

bool Sim_terminal::inject(const std::vector<uint8_t>& frame)
{
    return send(frame);
}

bool Sim_terminal::send(const std::vector<uint8_t>& frame)
{
    std::lock_guard<std::mutex> lock(m_write_mutex);
    if (transcript && frame.size() > kv::k_offset_code)
        transcript->terminal_sent(frame[kv::k_offset_code]);
    DWORD written = 0;
    bool ok = WriteFile(m_end, frame.data(), static_cast<DWORD>(frame.size()), &written, nullptr) &&
              written == frame.size();
    return ok;
}

bool Sim_terminal::answer(const std::vector<uint8_t>& frame)
{
    const uint8_t code = frame[4];
    const uint32_t devid = frame.size() >= 9 ? kv::load_u32(frame.data() + 5) : 0;
    switch (code)
    {
    case kv::code_negotiate:
        return send({5, 0, 0, 0, kv::code_negotiate, 2, 0, 0, 0});
    case kv::code_device_list:
        return send(device_list_reply());
    case kv::code_open:
    {
        ++open_requests;
        uint8_t status = 0;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            for (const Sim_device& device : m_devices)
                status = device.id == devid ? device.open_status : status;
        }
        return send(status_reply(kv::code_open, status, devid));
    }
    case kv::code_reset:
    case kv::code_set_config:
    case kv::code_claim_interface:
    case kv::code_release_interface:
    case kv::code_interface_setting:
    case kv::code_clear_halted_ep:
        return send(status_reply(code, 0, devid));
    case kv::code_queue_urb:
    {
        if (frame.size() < kv::k_urb_header_size)
            return true;
        const uint32_t handle = kv::load_u32(frame.data() + kv::k_offset_urb_handle);
        const uint32_t length = kv::load_u32(frame.data() + kv::k_offset_urb_data_length);
        const bool out = frame[kv::k_offset_urb_direction] == kv::k_direction_to_device;
        // Kept from one reply to the next: a fresh block of a large size is mapped and
        // faulted in anew each time, a cost that would be charged to the engine's benchmark.
        std::vector<uint8_t>& reply = m_reply;
        reply.assign(kv::k_reap_header_size + (out ? 0 : length), 0);
        kv::store_u32(reply.data(), static_cast<uint32_t>(reply.size() - 4));
        reply[4] = kv::code_reap_urb;
        kv::store_u32(reply.data() + 5, devid);
        kv::store_u32(reply.data() + kv::k_offset_reap_handle, handle);
        kv::store_u32(reply.data() + kv::k_offset_reap_data_length, length);
        if (out)
        {
            if (frame.size() != kv::k_urb_header_size + length ||
                !g_sim_check(frame.data() + kv::k_urb_header_size, length, handle))
                ++out_data_errors;
        }
        else
            g_sim_fill(reply.data() + kv::k_reap_header_size, length, handle);
        return send(reply);
    }
    default:
        return true; // cancel and anything unknown: no answer
    }
}

void Sim_terminal::serve()
{
    std::vector<uint8_t> frame;
    for (;;)
    {
        uint8_t header[4];
        if (!g_pipe_read_exact(m_end, header, 4))
            return;
        const uint32_t length = kv::load_u32(header);
        if (length == 0 || length > (64u << 20))
            return;
        frame.resize(4 + length);
        std::copy(header, header + 4, frame.begin());
        if (length >= (64u << 10) && cut_next_large_frame.exchange(false))
        {
            g_pipe_read_exact(m_end, frame.data() + 4, length / 2);
            if (on_cut)
                on_cut();
            return;
        }
        if (!g_pipe_read_exact(m_end, frame.data() + 4, length))
            return;
        ++frames_in;
        bytes_in += frame.size();
        if (!answer(frame))
            return;
    }
}
