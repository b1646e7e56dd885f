#include "usb_packet_close.h"

#include "../debug/usb_debug.h"
#include "../driver/usb_driver.h"
#include "../portable/frame.h"

bool Usb_packet_close::process_param()
{
    return process_param(nullptr);
}

bool Usb_packet_close::process_param(HANDLE abort_event)
{
    if (!m_pPacket || kv::load_u32(m_pPacket) < 5)
    {
        g_log(3, L"Usb_packet_close::process_param() - close message without device id");
        return true;
    }
    const DWORD device_id = kv::load_u32(m_pPacket + kv::k_offset_devid);
    DWORD buffer = device_id; // input and output of the request
    DWORD returned = 0;       // without an abort event, waited for without time limit
    if (g_call_port_driver(IOCTL_PORT_UNPLUG, &buffer, sizeof buffer, &returned, abort_event))
        g_log(4, L"Usb_packet_close::process_param() - Unplugged device: %d\n", device_id);
    else
        g_log(4, L"Usb_packet_close::process_param() - Unplug failed: 0x%x\n", GetLastError());
    return true;
}
