#include "usb_packet_open.h"

#include "../debug/usb_debug.h"
#include "../driver/usb_driver.h"
#include "../portable/frame.h"
#include "device_policy.h"
#include "usb_device_list.h"

Share_asker g_share_asker = nullptr;

bool g_plug_in_device(uint32_t device_id)
{
    const Device_list_change hold;
    Usb_device_entry* entry = g_find_device_entry(device_id);
    if (!entry)
        return false;
    // The policy may have changed since the open request went out.
    if (g_refuse_by_policy(*entry))
        return true;
    entry->state = Usb_device_state::opened;
    g_publish_device_views(); // before a wait for the port driver without time limit
    Usb_device_record* record = entry->record.get();
    // The plug-in waits for the port driver without time limit; the record copy it reads and
    // writes stays put since the device list is held throughout.
    BYTE* bytes = g_record_bytes(record);
    DWORD returned = 0;
    const bool plugged =
        g_call_port_driver(IOCTL_PORT_PLUG_IN, bytes + 2, kv::record_length(bytes) - 2u, &returned);
    g_audit_device(plugged ? k_event_id_device_shared : k_event_id_device_refused, record);
    if (plugged)
        g_log(4, L"Usb_packet_open::process_return() - Plugged in device: %d\n",
              kv::record_device_id(bytes));
    else
    {
        g_set_device_state(device_id, Usb_device_state::failed);
        g_log(3, L"Usb_packet_open::process_return() - Start terminal server session failed");
    }
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
        {
            const Device_list_change hold;
            g_set_device_state(device_id, Usb_device_state::failed);
        }
        g_log(3,
              L"Usb_packet_open::process_return() - Status code error returned for plug in "
              L"device: %d, (%d)\n",
              device_id, status);
        return;
    }
    if (!g_share_question_wanted())
    {
        g_plug_in_device(device_id);
        return;
    }
    // Fail safe: without a way to ask, a device the user must be asked about stays unshared.
    if (!g_share_asker)
    {
        {
            const Device_list_change hold;
            g_set_device_state(device_id, Usb_device_state::failed);
        }
        g_log(3,
              L"Usb_packet_open::process_return() - device %d not shared: the user must be "
              L"asked and no share question can be shown",
              device_id);
        return;
    }
    g_share_asker(device_id);
}
