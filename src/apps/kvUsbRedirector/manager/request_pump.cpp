// The driver request pump: fetches the port driver's USB requests one at a time and forwards
// each to the terminal; a request that cannot be sent is answered with a made-up failure.
#include "../debug/usb_debug.h"
#include "../platform/overlapped_call.h"
#include "../packets/mdl_urb_list.h"
#include "../packets/device_life.h"
#include "../packets/message_table.h"
#include "../packets/usb_packet.h"
#include "../portable/completion.h"
#include "../driver/usb_driver.h"
#include "usb_manager.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace
{

// Sends through the class of the code; false with forwarded false for codes not forwarded.
bool forward(BYTE* query, BYTE code, bool* forwarded)
{
    const Message_handlers handlers = g_message_handlers(code);
    *forwarded = handlers.send != nullptr;
    return *forwarded && handlers.send(query);
}

// A cancel that could not be sent gets no reply.
void answer_failure(const kv::Driver_request& request, BYTE* reply)
{
    const uint8_t code = kv::build_failure_reply(request, reply);
    if (const Message_handlers handlers = g_message_handlers(code); code != 0 && handlers.receive)
        handlers.receive(reply, kv::load_u32(reply));
}

// Devices whose unlisted requests were warned about since the pump started: a streaming device
// caught by an unplug would otherwise warn once per transfer. The pump's thread only.
std::vector<uint32_t> g_warned_unlisted;
constexpr size_t k_warned_unlisted_limit = 64;

// The first request of a device per engine run warns; the rest are traced.
int unlisted_level(uint32_t devid)
{
    if (std::ranges::find(g_warned_unlisted, devid) != g_warned_unlisted.end() ||
        g_warned_unlisted.size() >= k_warned_unlisted_limit)
        return 4;
    g_warned_unlisted.push_back(devid);
    return 3;
}

// Appends the record of an MDL request only while its device is plugged in, holding the device
// list (then, inside the append, the MDL list): an unplug, which takes the device list too and
// drops the device's records, comes either before (the request is not sent) or after.
bool record_if_listed(const Mdl_urb_record& record)
{
    const Device_list_hold hold;
    bool recorded = false;
    if (!g_is_device_plugged_in(record.devid))
        g_log(unlisted_level(record.devid),
              L"Usb_manager::g_start_process_read_from_driver() - request for a device that is "
              L"not listed - devid:%x, handle:%x",
              record.devid, record.handle);
    else if (!g_append_mdl_urb_record(record))
        g_log(2,
              L"Usb_manager::g_start_process_read_from_driver() - no memory to record the "
              L"transfer - devid:%x, handle:%x",
              record.devid, record.handle);
    else
        recorded = true;
    return recorded;
}

enum class Send_result
{
    sent,
    not_sent,
    not_forwarded
};

// Sends one request. An MDL request is recorded before its send, so that a fast reply finds
// the record, and only while its device is plugged in: a record of a device already unplugged
// would be matched by a later transfer that reuses the handle.
Send_result send_request(BYTE* query, const kv::Driver_request& request)
{
    const bool mdl = request.code == kv::code_queue_mdl_urb;
    const Mdl_urb_record record{request.devid, kv::code_reap_urb, request.handle,
                                request.data_length, request.data_address};
    if (mdl && !record_if_listed(record))
        return Send_result::not_sent;
    bool forwarded = true;
    const bool sent = forward(query, request.code, &forwarded);
    if (mdl && !sent)
        g_remove_mdl_urb_record(record);
    if (!forwarded)
        return Send_result::not_forwarded;
    return sent ? Send_result::sent : Send_result::not_sent;
}

void handle_request(BYTE* query, BYTE* failure_reply)
{
    const kv::Driver_request request = kv::parse_driver_request(query, k_port_query_buffer_size);
    const DWORD trace_handle = request.code == kv::code_queue_urb ? request.handle : 0xFFFFFFFF;
    g_log(4,
          L"Usb_manager::g_start_process_read_from_driver() - Query IOCTL Return - code:%x, "
          L"devid:%x, handle:%x",
          request.code, request.devid, trace_handle);
    // A length field claiming more than the query buffer holds would send bytes beyond it:
    // such a request is answered like one that could not be sent.
    const uint64_t frame_size = kv::load_u32(query) + 4ull;
    Send_result result = Send_result::not_sent;
    if (frame_size > k_port_query_buffer_size)
    {
        if (kv::build_failure_reply(request, failure_reply) == 0 &&
            request.code != kv::code_cancel_urb)
            return;
        g_log(3,
              L"Usb_manager::g_start_process_read_from_driver() - request longer than the "
              L"query buffer - code:%x, length:%d",
              request.code, kv::load_u32(query));
    }
    else
        result = send_request(query, request);
    if (result == Send_result::not_forwarded)
        return;
    if (result == Send_result::sent)
    {
        g_log(4,
              L"Usb_manager::g_start_process_read_from_driver() - Sent Query to ZAMO - code:%x, "
              L"devid:%x, handle:%x",
              request.code, request.devid, trace_handle);
        return;
    }
    g_log(4,
          L"Usb_manager::g_start_process_read_from_driver() - Query IOCTL failed - code:%x, "
          L"devid:%x, handle:%x",
          request.code, request.devid, trace_handle);
    answer_failure(request, failure_reply);
}

} // namespace

DWORD WINAPI g_start_process_read_from_driver(LPVOID)
{
    const Thread_io_scope io(g_exit_now_read_event); // the stop ends a failure answer's call
    g_warned_unlisted.clear();
    const Owned_message owned_query(g_allocate_message(k_port_query_buffer_size));
    const Owned_message owned_reply(g_allocate_message(kv::k_completion_size));
    BYTE* query = owned_query.get();
    BYTE* failure_reply = owned_reply.get();
    if (!query || !failure_reply)
        g_log(2, L"Usb_manager::g_start_process_read_from_driver() - no memory for its buffers");
    g_run_worker_loop(
        L"g_start_process_read_from_driver",
        [&]
        {
            DWORD retry_delay_ms = 0;
            while (query && failure_reply && g_read_from_driver_running)
            {
                if (g_port_driver_handle == INVALID_HANDLE_VALUE)
                {
                    g_seams.wait(g_exit_now_read_event, g_seams.timing.port_driver_idle_ms);
                    continue;
                }
                g_log(4, L"Usb_manager::g_start_process_read_from_driver() - Query IOCTL Call");
                std::memset(query, 0, k_port_query_buffer_size);
                DWORD returned = 0;
                if (!g_call_port_driver(IOCTL_PORT_QUERY, query, k_port_query_buffer_size,
                                        &returned, g_exit_now_read_event))
                {
                    g_log(4, L"Usb_manager::g_start_process_read_from_driver() - read port "
                             L"driver call failed");
                    g_pause_before_retry(g_exit_now_read_event, &retry_delay_ms);
                    continue;
                }
                // A completed query that left the zeroed buffer as it was yielded nothing.
                if (kv::load_u32(query) == 0)
                    g_pause_before_retry(g_exit_now_read_event, &retry_delay_ms);
                else
                    retry_delay_ms = 0;
                handle_request(query, failure_reply);
            }
        });
    g_log(4, L"Usb_manager::g_start_process_read_from_driver() - success");
    return 0;
}
