#include "sim_session.h"

#include "channel/server_channel.h"
#include "debug/usb_debug.h"
#include "manager/usb_manager.h"
#include "shell/app_globals.h"

#include <chrono>

namespace
{

double now_seconds()
{
    using clock = std::chrono::steady_clock;
    return std::chrono::duration<double>(clock::now().time_since_epoch()).count();
}

} // namespace

const char* g_sim_kind_name(Sim_transfer kind)
{
    switch (kind)
    {
    case Sim_transfer::plain_in:
        return "IN  plain";
    case Sim_transfer::plain_out:
        return "OUT plain";
    case Sim_transfer::mdl_in:
        return "IN  MDL";
    case Sim_transfer::mdl_out:
        return "OUT MDL";
    }
    return "?";
}

DWORD g_sim_open_handles()
{
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count != 0)
        return count;
    DWORD flags = 0;
    for (uintptr_t value = 4; value < 0x10000; value += 4)
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags))
            ++count;
    return count;
}

std::string g_sim_size_name(uint32_t size)
{
    if (size >= (1u << 20) && size % (1u << 20) == 0)
        return std::to_string(size >> 20) + " MiB";
    if (size >= 1024 && size % 1024 == 0)
        return std::to_string(size >> 10) + " KiB";
    return std::to_string(size) + " B";
}

Sim_session_base::Sim_session_base(Sim_platform& platform) : m_platform(platform)
{
    g_set_platform(&m_platform);
    g_trace_enabled = 0; // no trace session: level 4 lines cost nothing, as in production
    g_event_source_handle = reinterpret_cast<HANDLE>(0xE5);
    g_is_server_os = false; // a workstation plugs devices in without asking
    g_seams.timing = Engine_timing{};
    g_seams.timing.device_list_period_ms = 500;
    g_seams.timing.port_open_first_wait_ms = 100;
    g_seams.timing.port_open_retry_wait_ms = 100;
    m_platform.add_drivers();
}

Sim_session_base::~Sim_session_base()
{
    stop();
    g_set_platform(nullptr);
}

bool Sim_session_base::start(DWORD timeout_ms)
{
    if (!g_start_threads())
        return false;
    m_running = true;
    terminal.start(m_platform.terminal());
    return m_platform.wait_plugged(terminal.devices().size(), timeout_ms);
}

Sim_phase_result Sim_session_base::run_transfers(Sim_transfer kind, uint32_t devid, uint32_t size,
                                                 uint32_t count, uint32_t window)
{
    const double begin = now_seconds();
    for (uint32_t i = 0; i < count; ++i)
    {
        m_platform.wait_outstanding_below(window, 60000);
        m_platform.submit_transfer(kind, devid, size);
    }
    m_platform.wait_idle(120000);
    const double seconds = now_seconds() - begin;
    return {kind, size, count, seconds, static_cast<uint64_t>(size) * count};
}

bool Sim_session_base::remove_device(uint32_t devid, DWORD timeout_ms)
{
    terminal.remove_device(devid);
    return m_platform.wait_unplugged(devid, timeout_ms);
}

void Sim_session_base::stop()
{
    if (!m_running)
        return;
    g_stop_threads();
    m_running = false;
    terminal.stop();
}
