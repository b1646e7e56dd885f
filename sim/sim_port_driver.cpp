#include "sim_port_driver.h"

#include "driver/usb_driver.h"
#include "portable/completion.h"
#include "sim_pattern.h"

#include <chrono>
#include <cstring>

namespace
{

uint64_t key(uint32_t devid, uint32_t handle)
{
    return static_cast<uint64_t>(devid) << 32 | handle;
}

// Status requests are matched by code: their completions carry no handle.
uint64_t status_key(uint32_t devid, uint8_t code)
{
    return key(devid, 0xFF000000u | code);
}

} // namespace

void Sim_port_driver::enqueue(std::vector<uint8_t> request)
{
    // The caller holds m_mutex. A waiting query takes the request at once.
    ++issued;
    if (const uint64_t query = m_io.oldest(k_query))
        m_io.end(query, k_status_success, request.data(), static_cast<DWORD>(request.size()));
    else
        m_requests.push_back(std::move(request));
}

void Sim_port_driver::submit_status_request(uint8_t code, uint32_t devid)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    submit_status_request_locked(code, devid);
}

bool Sim_port_driver::submit_status_request_if_plugged(uint8_t code, uint32_t devid)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_plugged.count(devid))
        return false;
    submit_status_request_locked(code, devid);
    return true;
}

void Sim_port_driver::submit_status_request_locked(uint8_t code, uint32_t devid)
{
    std::vector<uint8_t> r(13, 0);
    kv::store_u32(r.data(), 9);
    r[4] = code;
    kv::store_u32(r.data() + 5, devid);
    if (code != kv::code_clear_halted_ep)
        m_expected[status_key(devid, code)].push_back({code, Sim_transfer::plain_in, 0, {}});
    enqueue(std::move(r));
}

void Sim_port_driver::submit_transfer(Sim_transfer kind, uint32_t devid, uint32_t size)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    submit_transfer_locked(kind, devid, size);
}

bool Sim_port_driver::submit_transfer_if_plugged(Sim_transfer kind, uint32_t devid, uint32_t size)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_plugged.count(devid))
        return false;
    submit_transfer_locked(kind, devid, size);
    return true;
}

void Sim_port_driver::drop_history()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_cancelled_buffers = {};
    m_spare_buffers = {};
    m_plugged = {};
    plug_order = {};
    unplug_order = {};
}

// The caller holds m_mutex.
void Sim_port_driver::submit_transfer_locked(Sim_transfer kind, uint32_t devid, uint32_t size)
{
    const uint32_t handle = m_next_handle++;
    const bool out = kind == Sim_transfer::plain_out || kind == Sim_transfer::mdl_out;
    const bool mdl = kind == Sim_transfer::mdl_in || kind == Sim_transfer::mdl_out;
    Expected expected{kv::code_queue_urb, kind, size, {}};
    std::vector<uint8_t> r(
        mdl ? kv::k_mdl_urb_request_size : kv::k_urb_header_size + (out ? size : 0), 0);
    kv::store_u32(r.data(), static_cast<uint32_t>(r.size() - 4));
    r[4] = mdl ? kv::code_queue_mdl_urb : kv::code_queue_urb;
    kv::store_u32(r.data() + 5, devid);
    kv::store_u32(r.data() + 9, handle);
    r[13] = 3; // bulk
    r[14] = 0x81;
    r[15] = out ? kv::k_direction_to_device : 1;
    kv::store_u32(r.data() + kv::k_offset_urb_data_length, size);
    if (mdl)
    {
        expected.buffer = take_buffer(size ? size : 1);
        if (out)
            g_sim_fill(expected.buffer.data(), size, handle);
    }
    else if (out)
        g_sim_fill(r.data() + kv::k_urb_header_size, size, handle);
    auto& slot = m_expected[key(devid, handle)];
    slot.push_back(std::move(expected));
    if (mdl)
        kv::store_u64(r.data() + kv::k_offset_mdl_data_address,
                      reinterpret_cast<uintptr_t>(slot.back().buffer.data()));
    enqueue(std::move(r));
}

// Mapped buffers of finished transfers serve the next ones, cleared: a fresh large block is
// mapped and faulted in anew each time, a cost that the benchmark would charge to the engine.
// The caller holds m_mutex.
std::vector<uint8_t> Sim_port_driver::take_buffer(size_t size)
{
    for (auto it = m_spare_buffers.begin(); it != m_spare_buffers.end(); ++it)
        if (it->capacity() >= size)
        {
            std::vector<uint8_t> buffer = std::move(*it);
            m_spare_buffers.erase(it);
            buffer.assign(size, 0);
            return buffer;
        }
    return std::vector<uint8_t>(size);
}

// The caller holds m_mutex.
void Sim_port_driver::keep_buffer(std::vector<uint8_t> buffer)
{
    if (buffer.capacity() != 0 && m_spare_buffers.size() < 16)
        m_spare_buffers.push_back(std::move(buffer));
}

// The caller holds m_mutex.
void Sim_port_driver::on_completion(const BYTE* data, DWORD size)
{
    if (size < 10)
    {
        ++unexpected_completions;
        return;
    }
    const uint8_t code = data[4];
    uint64_t k = 0;
    uint32_t devid = 0;
    if (code >= kv::code_reset && code <= kv::code_interface_setting)
    {
        devid = kv::load_u32(data + 6);
        k = status_key(devid, code);
    }
    else if ((code == kv::code_reap_urb || code == kv::code_mdl_reap_complete) && size >= 19)
    {
        devid = kv::load_u32(data + 5);
        k = key(devid, kv::load_u32(data + kv::k_offset_reap_handle));
    }
    auto it = m_expected.find(k);
    if (k == 0 || it == m_expected.end() || it->second.empty())
    {
        ++unexpected_completions;
        return;
    }
    Expected e = std::move(it->second.front());
    it->second.pop_front();
    if (it->second.empty())
        m_expected.erase(it);
    ++completed;
    const uint32_t handle = static_cast<uint32_t>(k);
    // A made-up failure reply for a request the engine could not send.
    const bool status_reply = code >= kv::code_reset && code <= kv::code_interface_setting;
    if (data[status_reply ? 5 : kv::k_offset_reap_status] != 0)
    {
        ++failed_completions;
        keep_buffer(std::move(e.buffer));
        m_changed.notify_all();
        return;
    }
    bool right = true;
    switch (e.kind)
    {
    case Sim_transfer::plain_in:
        if (e.code == kv::code_queue_urb)
        {
            right = code == kv::code_reap_urb && kv::load_u32(data) == 15 + e.size &&
                    size == 19 + e.size && g_sim_check(data + 19, e.size, handle);
            bytes_in += e.size;
        }
        else
            right = size == 27 && data[5] == 0;
        break;
    case Sim_transfer::plain_out:
        right = code == kv::code_reap_urb && data[10] == 0;
        bytes_out += e.size;
        break;
    case Sim_transfer::mdl_in:
        right = code == kv::code_mdl_reap_complete && size == 27 &&
                kv::load_u32(data + 15) == e.size && g_sim_check(e.buffer.data(), e.size, handle);
        bytes_in += e.size;
        break;
    case Sim_transfer::mdl_out:
        right = code == kv::code_mdl_reap_complete && size == 27 && data[10] == 0;
        bytes_out += e.size;
        break;
    }
    keep_buffer(std::move(e.buffer));
    if (!right)
        ++wrong_completions;
    m_changed.notify_all();
}

BOOL Sim_port_driver::port_io_control(HANDLE device, DWORD code, LPVOID in, DWORD in_size,
                                      LPVOID out, DWORD out_size, DWORD* returned,
                                      OVERLAPPED* overlapped, const Sim_ending& ending)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Sim_io::start(overlapped);
    switch (ending.end)
    {
    case Sim_end::fail_at_once:
        return Sim_io::fail_at_once(ending.error);
    case Sim_end::pend_then_fail:
        m_io.end_later(m_io.pend(device, overlapped, k_other), g_sim_status_of(ending.error),
                       k_sim_end_delay_ms);
        return FALSE;
    case Sim_end::pend_until_cancel:
        m_io.pend(device, overlapped, k_other);
        return FALSE;
    default:
        break;
    }
    DWORD count = 0;
    if (!serve(device, code, in, in_size, out, out_size, overlapped,
               ending.end != Sim_end::done_at_once, &count))
        return FALSE;
    if (ending.end != Sim_end::pend_then_done)
        return Sim_io::done_at_once(overlapped, count, returned);
    m_io.end_later(m_io.pend(device, overlapped, k_other), k_status_success, k_sim_end_delay_ms);
    return FALSE;
}

// The caller holds m_mutex.
BOOL Sim_port_driver::serve(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                            DWORD out_size, OVERLAPPED* overlapped, bool may_pend, DWORD* count)
{
    switch (code)
    {
    case IOCTL_PORT_QUERY:
        if (!m_requests.empty())
        {
            std::vector<uint8_t>& r = m_requests.front();
            *count = static_cast<DWORD>(r.size() < out_size ? r.size() : out_size);
            std::memcpy(out, r.data(), *count);
            m_requests.pop_front();
            return TRUE;
        }
        if (!may_pend)
            return TRUE; // nothing to hand out: the buffer stays as the engine left it
        m_io.pend(device, overlapped, k_query, static_cast<BYTE*>(out), out_size);
        m_changed.notify_all();
        return FALSE;
    case IOCTL_PORT_COMPLETE:
        on_completion(static_cast<const BYTE*>(in), in_size);
        return TRUE;
    case IOCTL_PORT_PLUG_IN:
        if (in_size >= 4)
        {
            uint32_t devid = kv::load_u32(static_cast<const BYTE*>(in));
            m_plugged.insert(devid);
            plug_order.push_back(devid);
        }
        m_changed.notify_all();
        return TRUE;
    case IOCTL_PORT_UNPLUG:
        if (in_size >= 4)
        {
            uint32_t devid = kv::load_u32(static_cast<const BYTE*>(in));
            m_plugged.erase(devid);
            unplug_order.push_back(devid);
            cancel_device(devid);
        }
        m_changed.notify_all();
        return TRUE;
    default:
        return Sim_io::fail_at_once(ERROR_INVALID_FUNCTION);
    }
}

// Like the real port driver: unplugging a device ends its outstanding requests, which then
// get no completion, and the requests it had not yet handed out are never issued.
void Sim_port_driver::cancel_device(uint32_t devid)
{
    for (auto it = m_expected.begin(); it != m_expected.end();)
    {
        if (static_cast<uint32_t>(it->first >> 32) != devid)
        {
            ++it;
            continue;
        }
        for (Expected& e : it->second)
            if (!e.buffer.empty())
                m_cancelled_buffers.push_back(std::move(e.buffer));
        cancelled_at_unplug += it->second.size();
        it = m_expected.erase(it);
    }
    std::erase_if(m_requests, [devid](const std::vector<uint8_t>& r)
                  { return r.size() >= 9 && kv::load_u32(r.data() + 5) == devid; });
}

void Sim_port_driver::end_pending_calls()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    while (const uint64_t query = m_io.oldest(k_query))
        m_io.end(query, k_status_success);
}

bool Sim_port_driver::wait_until(DWORD timeout_ms, const std::function<bool()>& done)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), done);
}

bool Sim_port_driver::wait_idle(DWORD timeout_ms)
{
    return wait_until(timeout_ms, [this] { return m_expected.empty() && m_requests.empty(); });
}

bool Sim_port_driver::wait_outstanding_below(size_t count, DWORD timeout_ms)
{
    return wait_until(timeout_ms, [&] { return outstanding_locked() < count; });
}

bool Sim_port_driver::wait_plugged(size_t count, DWORD timeout_ms)
{
    return wait_until(timeout_ms, [&] { return m_plugged.size() >= count; });
}

bool Sim_port_driver::wait_unplugged(uint32_t devid, DWORD timeout_ms)
{
    return wait_until(timeout_ms, [&] { return m_plugged.count(devid) == 0; });
}

void Sim_port_driver::forget_outstanding()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_expected.clear();
    m_requests.clear();
}

size_t Sim_port_driver::outstanding()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return outstanding_locked();
}

size_t Sim_port_driver::outstanding_locked() const
{
    size_t n = 0;
    for (auto& slot : m_expected)
        n += slot.second.size();
    return n;
}

std::set<uint32_t> Sim_port_driver::plugged()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_plugged;
}
