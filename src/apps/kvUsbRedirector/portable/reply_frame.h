// What the reply pump reads from a terminal frame, without reading past its end.
#pragma once

#include "frame.h"
#include "message_codes.h"

namespace kv
{

// Frames the terminal may send: anything longer is drained unread. 16 MiB holds the largest
// transfer a USB request carries with room to spare, and keeps one hostile length field from
// costing more than that much memory.
constexpr uint32_t k_default_max_reply_length = 16u << 20;

// Version the terminal speaks, from the length of its negotiate reply alone.
inline uint32_t negotiated_version(uint32_t length)
{
    return length == 2 ? 1 : 2;
}

// The u32 at offset, or 0xFFFFFFFF when the frame (total bytes) does not reach that far.
// Compared without offset + 4, which wraps for an offset near SIZE_MAX.
inline uint32_t field_or_none(const uint8_t* frame, size_t total, size_t offset)
{
    return offset <= total && total - offset >= 4 ? load_u32(frame + offset) : 0xFFFFFFFFu;
}

} // namespace kv
