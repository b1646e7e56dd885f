#include "../channel/server_channel.h"
#include "../debug/usb_debug.h"
#include "../packets/usb_packet.h"
#include "../portable/frame.h"
#include "usb_manager.h"

DWORD WINAPI g_start_process_write_to_driver(LPVOID)
{
    while (g_write_to_driver_running)
    {
        g_log(4, L"Usb_manager::g_start_process_write_to_driver() - reading header");
        BYTE header[4];
        if (g_read_from_virtual_channel(header, sizeof header) <= 0)
            continue;
        uint32_t length = kv::load_u32(header);
        g_log(4, L"Usb_manager::g_start_process_write_to_driver() - got header length:%d", length);
        if (!g_write_to_driver_running)
            break;
    }
    SetEvent(g_thread_ended_events[1]);
    g_log(4, L"Usb_manager::g_start_process_write_to_driver() - success");
    return 0;
}
