#include "../debug/usb_debug.h"
#include "../channel/server_channel.h"
#include "../packets/device_policy.h"
#include "../packets/usb_packet_device_list.h"
#include "../platform/overlapped_call.h"
#include "../portable/frame.h"
#include "usb_manager.h"

namespace
{

enum class Woke
{
    stop,
    policy,
    period
};

// Waits until the next pass is due, or until the stop or a new policy.
Woke wait_for_next(ULONGLONG due)
{
    const ULONGLONG now = GetTickCount64();
    const DWORD left = now < due ? static_cast<DWORD>(due - now) : 0;
    HANDLE objects[2] = {g_exit_now_virtual_channel_event, g_policy_changed_event()};
    const DWORD woke = WaitForMultipleObjects(objects[1] ? 2 : 1, objects, FALSE, left);
    if (woke == WAIT_OBJECT_0)
        return Woke::stop;
    if (woke == WAIT_OBJECT_0 + 1)
        return Woke::policy;
    if (woke == WAIT_FAILED) // a pass per period all the same
        Sleep(left);
    return Woke::period;
}

} // namespace

DWORD WINAPI g_start_process_device_list(LPVOID)
{
    const Thread_io_scope io;
    BYTE request_bytes[5];
    kv::build_short_message(request_bytes, sizeof request_bytes, kv::code_device_list, nullptr);
    Usb_packet_device_list request(request_bytes, false);
    g_run_worker_loop(
        L"g_start_process_device_list",
        [&request]
        {
            ULONGLONG due = GetTickCount64() + g_seams.timing.device_list_period_ms;
            while (g_device_list_running)
            {
                // The stop ends the wait at once; the loop test then ends the poller. A new
                // policy is applied here, off the window thread that read it.
                const Woke woke = wait_for_next(due);
                if (woke == Woke::policy)
                    g_apply_device_policy();
                if (woke != Woke::period)
                    continue;
                due = GetTickCount64() + g_seams.timing.device_list_period_ms;
                if (g_threads_started)
                {
                    if (request.process_param())
                        g_log(
                            4,
                            L"Usb_debug::g_start_process_device_list() - send device list request "
                            L"successfully.");
                    else
                    {
                        // The request itself lists no devices: every known one is handled as gone.
                        request.process_return();
                        g_log(3, L"Usb_debug::g_start_process_device_list() - failed to send "
                                 L"device list "
                                 L"unplug devices.");
                    }
                }
                else
                {
                    request.process_return();
                    g_log(
                        4,
                        L"Usb_debug::g_start_process_device_list() - session not connected unplug "
                        L"all devices.");
                }
            }
        });
    g_log(4, L"Usb_manager::g_start_process_device_list() - success");
    return 0;
}
