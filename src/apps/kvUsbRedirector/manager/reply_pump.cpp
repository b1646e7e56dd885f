#include "../channel/server_channel.h"
#include "../debug/usb_debug.h"
#include "../platform/overlapped_call.h"
#include "../packets/message_table.h"
#include "../packets/usb_packet.h"
#include "../portable/reply_frame.h"
#include "../packets/usb_packet_device_list.h"
#include "usb_manager.h"

namespace
{

// Runs the handler of the frame's code; false when no class takes that code.
bool dispatch(BYTE* frame, uint32_t length)
{
    const Message_handlers handlers = g_message_handlers(frame[kv::k_offset_code]);
    if (!handlers.receive)
        return false;
    if (!g_write_to_driver_running)
        return true;
    g_log(4, L"Usb_manager::g_start_process_write_to_driver() - call process packet");
    handlers.receive(frame, length);
    g_log(4, L"Usb_manager::g_start_process_write_to_driver() - return process packet");
    return true;
}

// Reads and discards a frame body that is over the bound, so the stream stays in step.
void drain(uint32_t length)
{
    g_log(2,
          L"Usb_manager::g_start_process_write_to_driver() - frame too long, dropped - "
          L"length:%d",
          length);
    BYTE scrap[k_channel_chunk];
    uint32_t left = length;
    while (left != 0 && g_write_to_driver_running)
    {
        DWORD piece = left < sizeof scrap ? left : static_cast<DWORD>(sizeof scrap);
        if (g_read_from_virtual_channel(scrap, piece) != static_cast<int32_t>(piece))
            return;
        left -= piece;
    }
}

void read_and_dispatch(uint32_t length)
{
    if (length == 0)
    {
        // No code byte: nothing to dispatch.
        g_log(3, L"Usb_manager::g_start_process_write_to_driver() - empty frame dropped");
        return;
    }
    if (length > g_seams.max_reply_length)
    {
        drain(length);
        return;
    }
    const uint32_t total = length + 4;
    const Owned_message owned(g_allocate_message(total));
    BYTE* frame = owned.get();
    if (!frame)
    {
        drain(length);
        return;
    }
    kv::store_u32(frame, length);
    frame[kv::k_offset_code] = 0; // printed below even when the body read ends early
    g_log(4, L"Usb_manager::g_start_process_write_to_driver() - reading body");
    int32_t got = g_read_from_virtual_channel(frame + 4, length);
    g_log(4, L"Usb_manager::g_start_process_write_to_driver() - got body packet_body_size:%d", got);
    if (got != static_cast<int32_t>(length))
    {
        g_log(4,
              L"Usb_manager::g_start_process_write_to_driver() - Unknown packet: code - %d, "
              L"length - %d",
              frame[kv::k_offset_code], length);
        return;
    }
    const BYTE code = frame[kv::k_offset_code];
    const uint32_t devid = kv::field_or_none(frame, total, kv::k_offset_devid);
    const uint32_t handle = code == kv::code_reap_urb
                                ? kv::field_or_none(frame, total, kv::k_offset_reap_handle)
                                : 0xFFFFFFFFu;
    g_log(4,
          L"Usb_manager::g_start_process_write_to_driver() - Response IOCTL - code:%d, devid:%d, "
          L"handle:%d",
          code, devid, handle);
    if (!dispatch(frame, length))
        g_log(3, L"Usb_manager::g_start_process_write_to_driver() - Unknown packet %x", code);
}

} // namespace

DWORD WINAPI g_start_process_write_to_driver(LPVOID)
{
    const Thread_io_scope io(g_exit_now_write_event); // the stop ends a completion call
    g_run_worker_loop(
        L"g_start_process_write_to_driver",
        []
        {
            DWORD retry_delay_ms = 0;
            while (g_write_to_driver_running)
            {
                g_log(4, L"Usb_manager::g_start_process_write_to_driver() - reading header");
                BYTE header[4];
                if (g_read_from_virtual_channel(header, sizeof header) <= 0)
                {
                    g_pause_before_retry(g_exit_now_virtual_channel_event, &retry_delay_ms);
                    continue;
                }
                retry_delay_ms = 0;
                const uint32_t length = kv::load_u32(header);
                g_log(4, L"Usb_manager::g_start_process_write_to_driver() - got header length:%d",
                      length);
                if (!g_write_to_driver_running)
                    break;
                read_and_dispatch(length);
            }
        });
    // The stop's empty list, made here since only this thread's handlers list devices: every
    // device is handled as gone, and no reply read before the stop can list one again.
    Usb_packet_device_list no_devices(nullptr, false);
    no_devices.process_return();
    g_log(4, L"Usb_manager::g_start_process_write_to_driver() - success");
    return 0;
}
