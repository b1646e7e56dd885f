// Completion of transfers: the reap reply itself, or for a mapped buffer its data copied in
// place followed by a 27-byte MDL completion.
#include "../platform/guarded_copy.h"
#include "../debug/usb_debug.h"
#include "../driver/usb_driver.h"
#include "../platform/overlapped_call.h"
#include "../portable/completion.h"
#include "mdl_urb_list.h"
#include "device_life.h"
#include "usb_packet_types.h"

bool Usb_packet_reap_urb::process_param()
{
    g_log(4, L"Usb_packet_reap_urb::process_param() entered.");
    return true;
}

namespace
{

bool report_copy_failure(Copy_status status, int error)
{
    if (status == Copy_status::ok)
        return false;
    if (status == Copy_status::failed)
        g_log(2, L"Usb_packet_reap_urb::process_return() (memcpy_s failed - error:%d)", error);
    else
        g_log(2, L"Usb_packet_reap_urb::process_return() (memcpy_s threw an exception - error:%d)",
              GetLastError());
    return true;
}

// Builds the completion into a heap block; false (already logged) when a copy failed.
bool build_completion(const BYTE* reply, uint32_t reply_size, const kv::Reap_reply& fields,
                      bool mdl, const Mdl_urb_record& record, Owned_message* completion,
                      DWORD* size)
{
    int error = 0;
    if (mdl)
    {
        Owned_message block(g_allocate_message(kv::k_completion_size));
        if (!block)
            return false;
        uint32_t copied = kv::mdl_copy_length(fields, record.data_length);
        void* target = g_peer_address(record.data_address);
        Copy_status status = g_guarded_copy(target, record.data_length,
                                            reply + kv::k_reap_header_size, copied, &error);
        if (report_copy_failure(status, error))
            return false;
        kv::build_mdl_completion(fields, copied, record.data_address, block.get());
        *completion = std::move(block);
        *size = kv::k_completion_size;
        return true;
    }
    Owned_message block(g_allocate_message(reply_size));
    if (!block)
        return false;
    Copy_status status = g_guarded_copy_own(block.get(), reply_size, reply, reply_size, &error);
    if (report_copy_failure(status, error))
        return false;
    *completion = std::move(block);
    *size = reply_size;
    return true;
}

} // namespace

void Usb_packet_reap_urb::process_return()
{
    kv::Reap_reply fields{};
    const uint32_t reply_size = m_pPacket ? kv::frame_total_size(kv::load_u32(m_pPacket)) : 0;
    // A reply too short for its header lacks the fields the match needs: dropped.
    if (!m_pPacket || !kv::parse_reap_reply(m_pPacket, reply_size, &fields))
    {
        g_log(3, L"Usb_packet_reap_urb::process_return() - reply too short, dropped");
        return;
    }
    const Device_list_hold hold;
    Mdl_urb_record record{};
    const bool mdl =
        g_take_mdl_urb_record(fields.devid, m_pPacket[kv::k_offset_code], fields.handle, &record);

    Owned_message completion;
    DWORD packet_size = 0;
    if (!g_is_device_plugged_in(fields.devid) ||
        !build_completion(m_pPacket, reply_size, fields, mdl, record, &completion, &packet_size))
        return;
    g_log(4, L"Usb_packet_reap_urb::process_return(exit) (length:%d, packet_size:%d)",
          kv::load_u32(completion.get()), packet_size);
    g_call_port_driver(IOCTL_PORT_COMPLETE, completion.get(), packet_size, &packet_size,
                       g_thread_stop_event());
    g_log(4, L"Usb_packet_reap_urb::process_return(exit) (packet_size:%d)", packet_size);
}
