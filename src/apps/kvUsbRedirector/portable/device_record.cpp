#include "device_record.h"

#include "frame.h"

namespace kv
{

namespace
{

// True when a zero byte stands in [from, end).
bool terminated(const uint8_t* record, size_t from, size_t end)
{
    for (size_t i = from; i < end; ++i)
        if (record[i] == 0)
            return true;
    return false;
}

bool identity_strings_equal(const uint8_t* a, size_t a_size, const uint8_t* b, size_t b_size)
{
    size_t a_at = load_u16(a + k_record_offset_identity_string);
    size_t b_at = load_u16(b + k_record_offset_identity_string);
    if (a_at == 0 || b_at == 0)
        return a_at == b_at;
    // Bounded by both records even though check_record found both zeros: running off the end
    // counts as a difference.
    for (;; ++a_at, ++b_at)
    {
        if (a_at >= a_size || b_at >= b_size)
            return false;
        if (a[a_at] != b[b_at])
            return false;
        if (a[a_at] == 0)
            return true;
    }
}

} // namespace

Record_check check_record(const uint8_t* record, size_t record_size)
{
    if (record_size < k_record_fixed_size)
        return Record_check::too_short;
    size_t name = load_u16(record + k_record_offset_name);
    size_t identity = load_u16(record + k_record_offset_identity_string);
    if (name >= record_size || identity >= record_size)
        return Record_check::bad_strings;
    if (name != 0 && identity != 0 && name > identity)
        return Record_check::bad_strings;
    if (identity != 0 && !terminated(record, identity, record_size))
        return Record_check::bad_strings;
    return Record_check::ok;
}

void begin_record_walk(const uint8_t* frame, size_t frame_size, Record_walk* walk)
{
    *walk = Record_walk{0, 0, 0, true, true};
    if (!frame || frame_size < k_frame_header_size)
        return;
    uint32_t length = load_u32(frame);
    if (length < 4)
        return;
    walk->payload_size = static_cast<uint16_t>(length - 1);
    size_t in_message = frame_size - k_frame_header_size;
    walk->available = in_message < walk->payload_size ? in_message : walk->payload_size;
    walk->done = false;
}

bool next_record(const uint8_t* frame, size_t frame_size, Record_walk* walk, Record_view* out)
{
    if (walk->done)
        return false;
    if (!frame || frame_size < k_frame_header_size + walk->available)
    {
        walk->done = true;
        return false;
    }
    const uint8_t* payload = frame + k_frame_header_size;
    if (walk->offset + 2 > walk->available)
    {
        walk->done = true;
        return false;
    }
    size_t length = load_u16(payload + walk->offset);
    if (length == 0 || (!walk->first && walk->offset + length >= walk->payload_size))
    {
        walk->done = true;
        return false;
    }
    walk->first = false;
    out->frame_offset = k_frame_header_size + walk->offset;
    out->length = length;
    if (walk->offset + length > walk->available)
        out->check = Record_check::past_payload;
    else
        out->check = check_record(payload + walk->offset, length);
    if (out->check == Record_check::too_short || out->check == Record_check::past_payload)
        walk->done = true;
    // Inside the payload, so the offset stays below 65536 and never wraps back.
    walk->offset += length;
    return true;
}

bool records_are_twins(const uint8_t* a, size_t a_size, const uint8_t* b, size_t b_size)
{
    if (a_size < k_record_fixed_size || b_size < k_record_fixed_size)
        return false;
    return record_device_id(a) != record_device_id(b) &&
           load_u16(a + k_record_offset_identity_1) == load_u16(b + k_record_offset_identity_1) &&
           load_u16(a + k_record_offset_identity_2) == load_u16(b + k_record_offset_identity_2) &&
           identity_strings_equal(a, a_size, b, b_size) &&
           load_u16(a + k_record_offset_identity_3) == load_u16(b + k_record_offset_identity_3);
}

Name_span display_name_span(const uint8_t* record, size_t record_size)
{
    Name_span none{false, 0, 0};
    if (record_size < k_record_fixed_size)
        return none;
    size_t name = load_u16(record + k_record_offset_name);
    size_t identity = load_u16(record + k_record_offset_identity_string);
    if (name == 0 || name >= record_size || identity > record_size)
        return none;
    size_t end = identity != 0 ? identity : record_size;
    if (end < name)
        return none;
    return Name_span{true, name, end - name};
}

} // namespace kv
