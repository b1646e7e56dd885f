// Byte layout of the message frame and of the headers several messages share.
// Pure functions over byte buffers: no system headers, so they build and fuzz natively.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv
{

enum Message_code : uint8_t
{
    code_open = 0,
    code_close = 1,
    code_reset = 2,
    code_set_config = 3,
    code_claim_interface = 4,
    code_release_interface = 5,
    code_interface_setting = 6,
    code_queue_urb = 7,
    code_reap_urb = 8,
    code_clear_halted_ep = 9,
    code_cancel_urb = 10,
    code_device_list = 11,
    code_negotiate = 12,
    code_queue_mdl_urb = 15,
    code_mdl_reap_complete = 16,
};

// Frame: u32 length (bytes after it), u8 code, body.
constexpr size_t k_frame_length_size = 4;
constexpr size_t k_frame_header_size = 5;
constexpr size_t k_offset_code = 4;
constexpr size_t k_offset_devid = 5;

// URB request (code 7), and the first 24 bytes of an MDL URB request (code 15).
constexpr size_t k_offset_urb_handle = 9;
constexpr size_t k_offset_urb_direction = 15;
constexpr size_t k_offset_urb_data_length = 20;
constexpr size_t k_urb_header_size = 24;
constexpr size_t k_offset_mdl_data_address = 24;
constexpr size_t k_mdl_urb_request_size = 32;
constexpr uint8_t k_direction_to_device = 2;

// Status reply (codes 0, 2..6) and reap reply (code 8).
constexpr size_t k_offset_status = 5;
constexpr size_t k_offset_status_devid = 6;
constexpr size_t k_status_reply_size = 10;
constexpr size_t k_offset_reap_flags = 9;
constexpr size_t k_offset_reap_status = 10;
constexpr size_t k_offset_reap_handle = 11;
constexpr size_t k_offset_reap_data_length = 15;
constexpr size_t k_reap_header_size = 19;

constexpr uint8_t k_status_made_up_failure = 12;

inline uint32_t load_u32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline uint64_t load_u64(const uint8_t* p)
{
    return static_cast<uint64_t>(load_u32(p)) | static_cast<uint64_t>(load_u32(p + 4)) << 32;
}

inline void store_u32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

inline void store_u64(uint8_t* p, uint64_t v)
{
    store_u32(p, static_cast<uint32_t>(v));
    store_u32(p + 4, static_cast<uint32_t>(v >> 32));
}

// Whole size of a frame from its length field; 0 when it would not fit in 32 bits.
inline uint32_t frame_total_size(uint32_t length)
{
    return length > UINT32_MAX - k_frame_length_size ? 0 : length + 4;
}

// Builds the 5- or 9-byte messages the program makes itself.
size_t build_short_message(uint8_t* out, size_t capacity, uint8_t code, const uint32_t* value);

// The code-7 form of an MDL URB request whose data travels to the device.
struct Mdl_rewrite
{
    uint32_t message_size; // data_length + 24, the size of the code-7 message
    uint32_t data_length;
    uint64_t data_address;
};

// Reads a code-15 request of request_size bytes. False when it is too short for its fields or
// when data_length + 24 does not fit in 32 bits.
bool parse_mdl_request(const uint8_t* request, size_t request_size, Mdl_rewrite* out);

// Writes the 24-byte code-7 header for a code-15 request into message (capacity >= 24).
void write_rewritten_header(const uint8_t* request, uint8_t* message, uint32_t data_length);

} // namespace kv
