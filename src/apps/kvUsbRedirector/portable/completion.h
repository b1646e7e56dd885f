// Completions for the port driver and the failure replies made up for unsent requests.
// Pure functions over byte buffers: no system headers, so they build and fuzz natively.
#pragma once

#include "frame.h"

namespace kv
{

constexpr size_t k_completion_size = 27;

// Fields of a reap reply (code 8); parse fails for a frame shorter than 19 bytes.
struct Reap_reply
{
    uint32_t devid;
    uint8_t flags;
    uint8_t status;
    uint32_t handle;
    uint32_t data_length;
    bool data_present; // length is exactly 15 + data_length and data_length is not 0
};
bool parse_reap_reply(const uint8_t* frame, size_t frame_size, Reap_reply* out);

// 27-byte status completion (length 6, code, status, devid, zero fill) from a status reply;
// false when the reply is shorter than 10 bytes.
bool build_status_completion(const uint8_t* reply, size_t reply_size, uint8_t code, uint8_t* out);

// 27-byte MDL reap completion; copied is the data_length it reports.
void build_mdl_completion(const Reap_reply& reply, uint32_t copied, uint64_t data_address,
                          uint8_t* out);

// Bytes of a reply's data that go into a mapped buffer of buffer_size bytes. Data larger than
// the buffer fills it and no more.
inline uint32_t mdl_copy_length(const Reap_reply& reply, uint32_t buffer_size)
{
    if (!reply.data_present)
        return 0;
    return reply.data_length < buffer_size ? reply.data_length : buffer_size;
}

// Request fields the request pump reads from the query buffer.
struct Driver_request
{
    uint8_t code;
    uint32_t devid;
    uint32_t handle;      // 0xFFFFFFFF unless code 7 or 15
    uint32_t data_length; // code 15
    uint64_t data_address;
};
// Reads what the buffer holds; fields beyond the frame's own length read as 0 (0xFFFFFFFF for
// the handle).
Driver_request parse_driver_request(const uint8_t* buffer, size_t buffer_size);

// Failure reply for a request that could not be sent, into a 27-byte buffer: a status reply
// (codes 2..6, 9) or a reap reply (codes 7, 15). Returns the code of the reply, or 0 when the
// request gets none (code 10 and every code the pump does not forward).
uint8_t build_failure_reply(const Driver_request& request, uint8_t* out);

} // namespace kv
