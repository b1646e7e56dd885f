#include "frame.h"

#include <cstring>

namespace kv
{

size_t build_short_message(uint8_t* out, size_t capacity, uint8_t code, const uint32_t* value)
{
    size_t size = value ? 9 : 5;
    if (capacity < size)
        return 0;
    store_u32(out, static_cast<uint32_t>(size - k_frame_length_size));
    out[k_offset_code] = code;
    if (value)
        store_u32(out + k_frame_header_size, *value);
    return size;
}

bool parse_mdl_request(const uint8_t* request, size_t request_size, Mdl_rewrite* out)
{
    if (request_size < k_mdl_urb_request_size)
        return false;
    uint32_t length = load_u32(request);
    if (length + static_cast<uint64_t>(k_frame_length_size) < k_mdl_urb_request_size)
        return false;
    uint32_t data_length = load_u32(request + k_offset_urb_data_length);
    if (data_length > UINT32_MAX - k_urb_header_size)
        return false;
    out->data_length = data_length;
    out->message_size = data_length + static_cast<uint32_t>(k_urb_header_size);
    out->data_address = load_u64(request + k_offset_mdl_data_address);
    return true;
}

void write_rewritten_header(const uint8_t* request, uint8_t* message, uint32_t data_length)
{
    std::memcpy(message, request, k_urb_header_size);
    store_u32(message, data_length + static_cast<uint32_t>(k_urb_header_size - 4));
    message[k_offset_code] = code_queue_urb;
}

} // namespace kv
