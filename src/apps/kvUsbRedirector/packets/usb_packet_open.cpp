#include "usb_packet_open.h"

#include "../debug/usb_debug.h"
#include "../portable/frame.h"
#include "device_life.h"
#include "device_policy.h"

Share_asker g_share_asker = nullptr;

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
        g_device_open_failed(device_id);
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
        if (g_device_open_failed(device_id))
            g_log(3,
                  L"Usb_packet_open::process_return() - device %d not shared: the user must be "
                  L"asked and no share question can be shown",
                  device_id);
        return;
    }
    // One question per open: a repeated reply, or one for a device not awaiting it, asks none.
    if (const uint64_t ticket = g_device_ask(device_id))
        g_share_asker(device_id, ticket);
}
