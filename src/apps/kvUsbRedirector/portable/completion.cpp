#include "completion.h"

#include "message_codes.h"

#include <cstring>

namespace kv
{

bool parse_reap_reply(const uint8_t* frame, size_t frame_size, Reap_reply* out)
{
    if (frame_size < k_reap_header_size)
        return false;
    uint32_t length = load_u32(frame);
    if (length + static_cast<uint64_t>(4) < k_reap_header_size ||
        length + static_cast<uint64_t>(4) > frame_size)
        return false;
    out->devid = load_u32(frame + k_offset_devid);
    out->flags = frame[k_offset_reap_flags];
    out->status = frame[k_offset_reap_status];
    out->handle = load_u32(frame + k_offset_reap_handle);
    out->data_length = load_u32(frame + k_offset_reap_data_length);
    out->data_present =
        out->data_length != 0 && static_cast<uint64_t>(length) == 15ull + out->data_length;
    return true;
}

bool build_status_completion(const uint8_t* reply, size_t reply_size, uint8_t code, uint8_t* out)
{
    if (reply_size < k_status_reply_size || load_u32(reply) + 4ull < k_status_reply_size)
        return false;
    std::memset(out, 0, k_completion_size);
    store_u32(out, 6);
    out[k_offset_code] = code;
    out[5] = reply[k_offset_status];
    store_u32(out + 6, load_u32(reply + k_offset_status_devid));
    return true;
}

void build_mdl_completion(const Reap_reply& reply, uint32_t copied, uint64_t data_address,
                          uint8_t* out)
{
    std::memset(out, 0, k_completion_size);
    store_u32(out, 23);
    out[k_offset_code] = code_mdl_reap_complete;
    store_u32(out + 5, reply.devid);
    out[9] = reply.flags;
    out[10] = reply.status;
    store_u32(out + 11, reply.handle);
    store_u32(out + 15, copied);
    store_u64(out + 19, data_address);
}

Driver_request parse_driver_request(const uint8_t* buffer, size_t buffer_size)
{
    Driver_request r{0, 0, 0xFFFFFFFFu, 0, 0};
    if (buffer_size < k_frame_header_size)
        return r;
    uint64_t total = load_u32(buffer) + 4ull;
    size_t size = total < buffer_size ? static_cast<size_t>(total) : buffer_size;
    r.code = buffer[k_offset_code];
    if (size >= k_offset_devid + 4)
        r.devid = load_u32(buffer + k_offset_devid);
    bool urb = r.code == code_queue_urb || r.code == code_queue_mdl_urb;
    if (urb && size >= k_offset_urb_handle + 4)
        r.handle = load_u32(buffer + k_offset_urb_handle);
    if (r.code == code_queue_mdl_urb && size >= k_mdl_urb_request_size)
    {
        r.data_length = load_u32(buffer + k_offset_urb_data_length);
        r.data_address = load_u64(buffer + k_offset_mdl_data_address);
    }
    return r;
}

uint8_t build_failure_reply(const Driver_request& request, uint8_t* out)
{
    std::memset(out, 0, k_completion_size);
    store_u32(out, 23);
    const uint8_t reply = code_traits(request.code).failure_reply;
    out[k_offset_code] = reply;
    if (reply == code_reap_urb)
    {
        store_u32(out + k_offset_devid, request.devid);
        out[k_offset_reap_flags] = 1;
        out[k_offset_reap_status] = k_status_made_up_failure;
        store_u32(out + k_offset_reap_handle, request.handle);
    }
    else if (reply != 0)
    {
        out[k_offset_status] = k_status_made_up_failure;
        store_u32(out + k_offset_status_devid, request.devid);
    }
    return reply;
}

} // namespace kv
