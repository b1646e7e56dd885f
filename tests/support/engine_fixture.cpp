#include "engine_fixture.h"

#include "channel/server_channel.h"
#include "debug/usb_debug.h"
#include "manager/usb_driver.h"
#include "manager/usb_manager.h"

void Engine_fixture::SetUp()
{
    g_set_platform(&sim);
    // Scripted port driver: every call pends until the test completes or cancels it.
    sim.port_behaviour = [](const Ioctl_call&) { return Port_outcome::pend; };
    g_trace_logger_handle = 1;
    g_trace_enable_level = 4;
    g_trace_enabled = 1;
    g_event_source_handle = reinterpret_cast<HANDLE>(0xE5);
    g_engine_timing = Engine_timing{};
    g_engine_timing.device_list_period_ms = 20;
    g_engine_timing.port_driver_idle_ms = 5;
    g_engine_timing.port_open_first_wait_ms = 1;
    g_engine_timing.port_open_retry_wait_ms = 1;
    g_threads_started = false;
}

void Engine_fixture::TearDown()
{
    if (g_threads_started)
    {
        g_stop_threads();
        g_threads_started = false;
    }
    g_virtual_channel.close();
    g_port_driver_handle = INVALID_HANDLE_VALUE;
    g_bus_driver_handle = INVALID_HANDLE_VALUE;
    g_set_thread_creator(nullptr);
    g_trace_enabled = 0;
    g_event_source_handle = nullptr;
    g_set_platform(nullptr);
}

DWORD Engine_fixture::own_session() const
{
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    return session;
}

void Engine_fixture::add_drivers()
{
    sim.add_drivers();
}

void Engine_fixture::open_channel_only()
{
    ASSERT_TRUE(g_virtual_channel.open());
    g_virtual_channel_mutex = CreateMutexW(nullptr, FALSE, nullptr);
    g_exit_now_virtual_channel_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

void Engine_fixture::close_channel_only()
{
    g_virtual_channel.close();
    CloseHandle(g_virtual_channel_mutex);
    CloseHandle(g_exit_now_virtual_channel_event);
    g_virtual_channel_mutex = INVALID_HANDLE_VALUE;
    g_exit_now_virtual_channel_event = INVALID_HANDLE_VALUE;
}
