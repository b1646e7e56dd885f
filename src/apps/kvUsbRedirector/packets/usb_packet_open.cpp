#include "usb_packet_open.h"

#include "../debug/usb_debug.h"
#include "../manager/usb_driver.h"
#include "../portable/frame.h"
#include "../shell/app_globals.h"
#include "usb_device_list.h"
#include "warning_popup.h"

#include <cstdlib>

bool g_plug_in_device(uint32_t device_id)
{
    if (!g_lock_device_list())
        return false;
    Usb_device_record* record = g_set_device_state(device_id, Usb_device_state::opened);
    if (!record)
    {
        g_unlock_device_list();
        return false;
    }
    // Nothing sets this event: the plug-in waits for the port driver without time limit, and
    // the record copy it reads and writes stays put since the mutex is held throughout.
    HANDLE abort_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    BYTE* bytes = g_record_bytes(record);
    DWORD returned = 0;
    bool plugged =
        abort_event && g_call_port_driver(IOCTL_PORT_PLUG_IN, bytes + 2,
                                          kv::record_length(bytes) - 2u, &returned, abort_event);
    if (plugged)
        g_log(4, L"Usb_packet_open::process_return() - Plugged in device: %d\n",
              kv::record_device_id(bytes));
    else
    {
        g_set_device_state(device_id, Usb_device_state::failed);
        g_log(3, L"Usb_packet_open::process_return() - Start terminal server session failed");
    }
    if (abort_event)
        CloseHandle(abort_event);
    g_unlock_device_list();
    return true;
}

void Usb_packet_open::process_return()
{
    g_log(4, L"Usb_packet_open::process_return() entered.");
    if (!m_pPacket || kv::load_u32(m_pPacket) + 4ull < kv::k_status_reply_size)
    {
        g_log(3,
              L"Usb_packet_open::process_return() - open reply too short, dropped - "
              L"length:%d",
              m_pPacket ? kv::load_u32(m_pPacket) : 0u);
        return;
    }
    const BYTE status = m_pPacket[kv::k_offset_status];
    const uint32_t device_id = kv::load_u32(m_pPacket + kv::k_offset_status_devid);
    if (status != 0)
    {
        if (g_lock_device_list())
        {
            g_set_device_state(device_id, Usb_device_state::failed);
            g_unlock_device_list();
        }
        g_log(3,
              L"Usb_packet_open::process_return() - Status code error returned for plug in "
              L"device: %d, (%d)\n",
              device_id, status);
        return;
    }
    if (g_is_server_os && !g_warning_popup_disabled)
    {
        auto* context = static_cast<uint32_t*>(std::malloc(sizeof(uint32_t)));
        HANDLE thread = nullptr;
        if (context)
        {
            *context = device_id;
            thread = CreateThread(nullptr, 0, g_start_warning_popup, context, 0, nullptr);
        }
        if (!thread)
        {
            // Left pending_return, as after a no: the device is not shared unasked.
            g_log(2,
                  L"Usb_packet_open::process_return() - share dialog not started for device: "
                  L"%d - error:%d",
                  device_id, GetLastError());
            std::free(context);
            return;
        }
        CloseHandle(thread);
        return;
    }
    g_plug_in_device(device_id);
}
