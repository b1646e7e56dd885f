#include "usb_packet.h"

#include "../platform/guarded_copy.h"
#include "../channel/server_channel.h"
#include "../debug/usb_debug.h"
#include "../portable/frame.h"
#include "device_life.h"

#include <new>

BYTE* g_allocate_message(size_t size)
{
    return new (std::nothrow) BYTE[size ? size : 1];
}

void g_free_message(BYTE* message)
{
    delete[] message;
}

Usb_packet::~Usb_packet()
{
    if (m_bOwnsPacket)
    {
        g_free_message(m_pPacket);
        m_pPacket = nullptr;
        m_bOwnsPacket = false;
    }
}

bool Usb_packet::process_param()
{
    return write_packet_to_virtual_channel();
}

void Usb_packet::process_return() {}

uint32_t Usb_packet::get_body_size() const
{
    if (!m_pPacket)
        return 0;
    uint32_t length = kv::load_u32(m_pPacket);
    return length == 0 ? 0 : length - 1;
}

bool Usb_packet::write_packet_to_virtual_channel()
{
    if (!m_pPacket)
        return false;
    uint32_t length = kv::load_u32(m_pPacket);
    uint32_t total = kv::frame_total_size(length);
    if (total == 0)
        return false;
    if (m_pPacket[kv::k_offset_code] != kv::code_queue_mdl_urb)
        return g_write_to_virtual_channel(m_pPacket, total);

    kv::Mdl_rewrite mdl{};
    // A request too short for its fields, or whose data cannot be framed in 32 bits, is
    // refused like a failed send.
    if (!kv::parse_mdl_request(m_pPacket, total, &mdl))
        return false;
    if (m_pPacket[kv::k_offset_urb_direction] != kv::k_direction_to_device)
    {
        kv::store_u32(m_pPacket, length - 8);
        m_pPacket[kv::k_offset_code] = kv::code_queue_urb;
        bool sent = g_write_to_virtual_channel(m_pPacket, total - 8);
        m_pPacket[kv::k_offset_code] = kv::code_queue_mdl_urb;
        kv::store_u32(m_pPacket, length);
        return sent;
    }
    const Owned_message message(g_allocate_message(mdl.message_size));
    if (!message)
        return false;
    kv::write_rewritten_header(m_pPacket, message.get(), mdl.data_length);
    // The data is read from the port driver's mapped buffer only while the device is plugged in:
    // its unplug, which takes the device list too, unmaps the buffer. The list is let go before
    // the write, which can wait for the terminal to read while the reply pump needs the list.
    int error = 0;
    Copy_status copied = Copy_status::failed;
    bool listed = false;
    {
        const Device_list_hold hold;
        listed = g_is_device_plugged_in(kv::load_u32(m_pPacket + kv::k_offset_devid));
        if (listed)
            copied = g_guarded_copy(message.get() + kv::k_urb_header_size, mdl.data_length,
                                    g_peer_address(mdl.data_address), mdl.data_length, &error);
    }
    if (!listed)
        return false;
    if (copied != Copy_status::ok)
    {
        if (copied == Copy_status::failed)
            g_log(2, L"Usb_packet::write_packet_to_virtual_channel (memcpy_s failed - error:%d)",
                  error);
        else
            g_log(2,
                  L"Usb_packet::write_packet_to_virtual_channel (memcpy_s threw an exception - "
                  L"error:%d)",
                  GetLastError());
        return false;
    }
    return g_write_to_virtual_channel(message.get(), mdl.message_size);
}
