#include "usb_packet_negotiate.h"

#include "../channel/server_channel.h"
#include "../debug/usb_debug.h"
#include "../driver/usb_driver.h"
#include "../platform/seams.h"

namespace
{

void post_close_to_thread()
{
    PostMessageW(nullptr, WM_CLOSE, 0, 0);
}

} // namespace

Application_ender g_end_application = post_close_to_thread;

void Usb_packet_negotiate::process_return()
{
    if (m_nVersion != 2)
    {
        g_log(2, L"Usb_packet_negotiate::process_return - The KRT is not using version 2.0");
        g_end_application();
        return;
    }
    const DWORD session = g_session_id;
    if (g_call_bus_driver(IOCTL_BUS_UNREGISTER_SESSION, session))
        g_log(4, L"Usb_packet_negotiate::process_return - Handle %d was registered", session);
    else
        g_log(4, L"Usb_packet_negotiate::process_return - Handle %d was not registered:0x%x",
              session, GetLastError());
    if (!g_call_bus_driver(IOCTL_BUS_REGISTER_SESSION, session))
    {
        g_log(2,
              L"Usb_packet_negotiate::process_return - Register terminal server session "
              L"failed:0x%x",
              GetLastError());
        g_end_application();
        return;
    }
    // A repeated reply keeps the port driver already open rather than leak its handle.
    if (g_port_driver_handle != INVALID_HANDLE_VALUE)
        return;
    // Each wait ends at once at the stop, which then abandons the opening.
    HANDLE stop = g_exit_now_virtual_channel_event;
    if (g_seams.wait(stop, g_seams.timing.port_open_first_wait_ms) || g_open_port_driver())
        return;
    for (DWORD retry = 0; retry < g_seams.timing.port_open_retries; ++retry)
        if (g_seams.wait(stop, g_seams.timing.port_open_retry_wait_ms) || g_open_port_driver())
            return;
}
