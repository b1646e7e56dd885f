#include "../debug/usb_debug.h"
#include "usb_driver.h"
#include "usb_manager.h"

#include <cstring>
#include <vector>

DWORD WINAPI g_start_process_read_from_driver(LPVOID)
{
    std::vector<BYTE> query(k_port_query_buffer_size);
    while (g_read_from_driver_running)
    {
        if (g_port_driver_handle == INVALID_HANDLE_VALUE)
        {
            g_engine_sleep(g_engine_timing.port_driver_idle_ms);
            continue;
        }
        g_log(4, L"Usb_manager::g_start_process_read_from_driver() - Query IOCTL Call");
        std::memset(query.data(), 0, query.size());
        DWORD returned = 0;
        if (!g_call_port_driver(IOCTL_PORT_QUERY, query.data(), k_port_query_buffer_size, &returned,
                                g_exit_now_read_event))
        {
            g_log(4, L"Usb_manager::g_start_process_read_from_driver() - read port driver call "
                     L"failed");
            continue;
        }
    }
    SetEvent(g_thread_ended_events[0]);
    g_log(4, L"Usb_manager::g_start_process_read_from_driver() - success");
    return 0;
}
