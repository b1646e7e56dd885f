#include "usb_manager.h"

#include "../channel/server_channel.h"
#include "../debug/usb_debug.h"
#include "../packets/device_life.h"
#include "../packets/mdl_urb_list.h"
#include "../packets/usb_packet_negotiate.h"
#include "../platform/owned.h"
#include "../portable/frame.h"
#include "../driver/usb_driver.h"

#include <algorithm>
#include <string>

HANDLE g_exit_now_read_event = INVALID_HANDLE_VALUE;
HANDLE g_exit_now_write_event = INVALID_HANDLE_VALUE;

std::atomic<bool> g_read_from_driver_running{true};
std::atomic<bool> g_write_to_driver_running{true};
std::atomic<bool> g_device_list_running{true};
std::atomic<bool> g_threads_started{false};

namespace
{

// The workers' threads, kept from their start to the stop, which waits for their ends; empty
// for one that could not be created.
Owned_handle g_worker_threads[k_workers];
// From a successful initialize to the end of the stop.
bool g_engine_initialized = false;

// The pumps' exit events, owned from initialize to shutdown (the channel owns its own); their
// globals are views of them that hold INVALID_HANDLE_VALUE, not null, while they do not exist.
Owned_handle g_exit_read_event;
Owned_handle g_exit_write_event;

bool create_into(HANDLE& handle, Owned_handle& owner)
{
    owner.reset(g_seams.create_event());
    handle = owner ? owner.get() : INVALID_HANDLE_VALUE;
    return static_cast<bool>(owner);
}

void close_if_open(HANDLE& handle, Owned_handle& owner, const wchar_t* failure_line)
{
    handle = INVALID_HANDLE_VALUE;
    if (!owner.reset())
        g_log(3, failure_line);
}

bool initialize()
{
    if (!g_virtual_channel.open())
    {
        // A session whose client has no channel gets one information event, not errors.
        if (g_virtual_channel.missing())
        {
            DWORD session = 0;
            ProcessIdToSessionId(GetCurrentProcessId(), &session);
            const std::wstring text = std::to_wstring(session);
            const wchar_t* inserts[1] = {text.c_str()};
            g_report_information(k_event_id_no_channel, inserts, 1);
        }
        g_log(g_virtual_channel.missing() ? 4 : 2,
              L"Usb_manager::initialize() - g_virtual_channel.open() failed.");
        return false;
    }
    if (!g_open_bus_driver())
    {
        g_log(2, L"Usb_manager::initialize() - g_open_bus_driver failed.");
        return false;
    }
    if (!create_into(g_exit_now_read_event, g_exit_read_event))
    {
        g_log(2, L"Usb_manager::initialize() - g_exit_now_read_event CreateEvent() failed.");
        return false;
    }
    if (!create_into(g_exit_now_write_event, g_exit_write_event))
    {
        g_log(2, L"Usb_manager::initialize() - g_exit_now_write_event CreateEvent() failed.");
        return false;
    }
    g_log(4, L"Usb_manager::initialize() - success.");
    return true;
}

void shutdown()
{
    g_virtual_channel.close();
    // A bus driver that was never opened (no driver in this session) is no failure to report.
    const bool bus_was_open = g_bus_driver_handle != INVALID_HANDLE_VALUE;
    if (!g_close_bus_driver() && bus_was_open)
        g_log(3, L"Usb_manager:shutdown() - g_bus_driver_handle CloseHandle() failed");
    close_if_open(g_exit_now_read_event, g_exit_read_event,
                  L"Usb_manager:shutdown() - g_read_from_driver_event CloseHandle() failed");
    close_if_open(g_exit_now_write_event, g_exit_write_event,
                  L"Usb_manager:shutdown() - g_write_to_driver_event CloseHandle() failed");
    g_log(4, L"Usb_manager:shutdown() - success");
}

bool start_worker(Worker worker, std::atomic<bool>& running, LPTHREAD_START_ROUTINE routine,
                  const wchar_t* created_line)
{
    const wchar_t* name = k_worker_names[worker];
    running = true;
    g_worker_threads[worker].reset(g_seams.create_thread(routine, nullptr));
    if (!g_worker_threads[worker])
    {
        g_log(2, L"Usb_manager::g_start_threads() - CreateThread failed for %s (error:%d)", name,
              GetLastError());
        return false;
    }
    g_log(4, created_line);
    return true;
}

} // namespace

void g_pause_before_retry(HANDLE exit_event, DWORD* delay_ms)
{
    *delay_ms =
        *delay_ms == 0 ? k_retry_first_ms : std::min<DWORD>(*delay_ms * 2, k_retry_longest_ms);
    WaitForSingleObject(exit_event, *delay_ms);
}

void g_log_worker_exception(const wchar_t* worker)
{
    g_log(2, L"Usb_manager::%s() - an exception ended the worker", worker);
}

bool g_start_threads()
{
    if (g_threads_started)
        return true;
    // A stop that gave up is finished first; while its workers still run, nothing starts.
    g_stop_threads();
    if (g_engine_initialized)
    {
        g_log(3, L"Usb_manager::g_start_threads() - the last stop has not finished");
        return false;
    }
    g_device_calls_resume();
    if (!initialize())
    {
        g_log(4, L"Usb_manager::g_start_threads() - initialize failed");
        // What the failed initialize opened is released now, not left for a later stop.
        shutdown();
        return false;
    }
    g_engine_initialized = true;
    // An engine without one of its workers would look started and never work (no reply read,
    // no request fetched, no list polled): it is stopped again, so the next connect retries.
    const bool all_started =
        start_worker(
            k_reply_pump, g_write_to_driver_running, g_start_process_write_to_driver,
            L"Usb_manager::g_start_threads() - thread g_start_process_write_to_driver created") &&
        start_worker(
            k_request_pump, g_read_from_driver_running, g_start_process_read_from_driver,
            L"Usb_manager::g_start_threads() - thread g_start_process_read_from_driver created") &&
        start_worker(
            k_poller, g_device_list_running, g_start_process_device_list,
            L"Usb_manager::g_start_threads() - thread g_start_process_device_list created");
    if (!all_started)
    {
        g_stop_threads();
        return false;
    }

    BYTE* request = g_allocate_message(9);
    bool sent = false;
    if (request)
    {
        const uint32_t version = 2;
        kv::build_short_message(request, 9, kv::code_negotiate, &version);
        Usb_packet_negotiate negotiate(request, true);
        sent = negotiate.write_packet_to_virtual_channel();
    }
    if (sent)
    {
        g_log(4, L"Usb_manager::g_start_threads - process_return - success");
        g_threads_started = true;
        return true;
    }
    g_log(3, L"Usb_manager::g_start_threads - process_return - packet_negotiate failed");
    g_stop_threads();
    return false;
}

namespace
{

// Waits for the workers that were created, within the stop's budget: the unplugs of the reply
// pump's last pass are abandoned once it is spent, and the stop gives up after a grace that
// lets the abandoned calls end. False (logged, with what is left) when some still run.
bool workers_ended()
{
    HANDLE threads[k_workers];
    const wchar_t* names[k_workers];
    DWORD count = 0;
    for (int worker = 0; worker < k_workers; ++worker)
        if (g_worker_threads[worker])
        {
            threads[count] = g_worker_threads[worker].get();
            names[count++] = k_worker_names[worker];
        }
    if (count == 0)
        return true;
    DWORD wait = WaitForMultipleObjects(count, threads, TRUE, k_stop_budget_ms);
    if (wait == WAIT_TIMEOUT)
    {
        g_device_calls_give_up();
        wait = WaitForMultipleObjects(count, threads, TRUE, k_stop_grace_ms);
    }
    if (wait == WAIT_FAILED)
        g_log(3, L"Usb_manager::g_stop_threads() - WaitForMultipleObjects Failed");
    else if (wait != WAIT_TIMEOUT)
        return true;
    std::wstring left;
    for (DWORD i = 0; i < count; ++i)
        if (WaitForSingleObject(threads[i], 0) != WAIT_OBJECT_0)
            left += (left.empty() ? L"" : L", ") + std::wstring(names[i]);
    if (left.empty())
        return true;
    g_log(3,
          L"Usb_manager::g_stop_threads() - gave up after %d ms, the port driver holding a call: "
          L"%s still running; the session stays registered",
          static_cast<int>(k_stop_budget_ms + k_stop_grace_ms), left.c_str());
    return false;
}

} // namespace

// Runs on the window thread: it never takes the device list. The reply pump empties the list as
// its last act, so that every plugged-in device is unplugged; the stop waits for it within its
// budget.
void g_stop_threads()
{
    // Every path that ends a session calls it: a second stop, or one without a start, is none.
    if (!g_engine_initialized)
        return;
    g_threads_started = false;
    // Every flag is cleared before the events are set, so that a worker woken by one, the poller
    // among them (it waits on the channel's), already sees its flag false.
    g_write_to_driver_running = false;
    g_read_from_driver_running = false;
    g_device_list_running = false;
    g_device_calls_stop_plug_ins();
    SetEvent(g_exit_now_read_event);
    SetEvent(g_exit_now_write_event);
    SetEvent(g_exit_now_virtual_channel_event);
    // Tearing down under running workers would leave them on closed handles: a stop that gave
    // up is finished by the next stop or start.
    if (!workers_ended())
        return;
    for (Owned_handle& thread : g_worker_threads)
        thread.reset();
    g_log(4, L"Usb_manager::g_stop_threads() - All threads have ended");

    if (!g_close_port_driver())
        g_log(3, L"Usb_manager:~Usb_manager() - g_port_driver_handle CloseHandle() failed");
    // With the port driver closed its mapped buffers are gone: no later reply may match them.
    g_discard_mdl_urb_records();
    if (g_call_bus_driver(IOCTL_BUS_UNREGISTER_SESSION, g_session_id))
        g_log(4, L"Usb_manager::g_stop_threads() - Handle %d was registered\n", g_session_id);
    else
        g_log(2, L"Usb_manager::g_stop_threads() - Handle %d was not registered:0x%x\n",
              g_session_id, GetLastError());
    shutdown();
    g_engine_initialized = false;
    g_log(4, L"Usb_manager::g_stop_threads() - success");
}
