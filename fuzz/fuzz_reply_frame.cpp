// The terminal's byte stream as the reply pump reads it: a length field, then a body of that
// many bytes held in a buffer of exactly length + 4 bytes, then the handler of its code.
#include "fuzz_check.h"

#include "portable/completion.h"
#include "portable/device_record.h"
#include "portable/reply_frame.h"

namespace
{

using fuzz::Exact;

void check_field(const uint8_t* frame, size_t total, size_t offset)
{
    uint32_t value = kv::field_or_none(frame, total, offset);
    bool inside = offset <= total && total - offset >= 4;
    if (inside)
        KV_CHECK(value == kv::load_u32(frame + offset));
    else
        KV_CHECK(value == 0xFFFFFFFFu);
}

// What the handlers of the status codes, the reap reply and the device list read.
void handle(const uint8_t* frame, size_t total)
{
    const uint8_t code = frame[kv::k_offset_code];
    // Each handler sizes the frame from its own length field; the pump allocated exactly that.
    KV_CHECK(kv::frame_total_size(kv::load_u32(frame)) == total);
    switch (code)
    {
    case kv::code_reap_urb:
    {
        kv::Reap_reply reply{};
        if (!kv::parse_reap_reply(frame, total, &reply))
            KV_CHECK(total < kv::k_reap_header_size);
        else if (reply.data_present)
            KV_CHECK(kv::k_reap_header_size + uint64_t{reply.data_length} == total);
        break;
    }
    case kv::code_device_list:
    {
        kv::Record_walk walk;
        kv::Record_view view;
        kv::begin_record_walk(frame, total, &walk);
        size_t records = 0;
        while (kv::next_record(frame, total, &walk, &view))
            KV_CHECK(++records <= total / 2);
        break;
    }
    case kv::code_negotiate:
        break;
    default:
    {
        Exact completion(kv::k_completion_size);
        bool built = kv::build_status_completion(frame, total, code, completion.data());
        KV_CHECK(built == (total >= kv::k_status_reply_size));
        if (built)
        {
            KV_CHECK(kv::frame_total_size(kv::load_u32(completion.data())) == 10);
            KV_CHECK(completion.data()[5] == frame[kv::k_offset_status]);
            KV_CHECK(kv::load_u32(completion.data() + 6) ==
                     kv::load_u32(frame + kv::k_offset_status_devid));
        }
    }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    size_t at = 0;
    while (size - at >= kv::k_frame_length_size)
    {
        const uint32_t length = kv::load_u32(data + at);
        at += kv::k_frame_length_size;
        const uint32_t version = kv::negotiated_version(length);
        KV_CHECK(version == 1 || version == 2);
        if (length == 0)
            continue; // no code byte: dropped, the stream goes on
        // A body the stream does not hold ends it: the channel read comes back short.
        if (length > kv::k_default_max_reply_length || size - at < length)
            break;
        const size_t total = size_t{length} + kv::k_frame_length_size;
        Exact frame(total);
        kv::store_u32(frame.data(), length);
        std::memcpy(frame.data() + kv::k_frame_length_size, data + at, length);
        at += length;

        // Offsets up to past the end, and the top of size_t where offset + 4 wraps.
        for (size_t offset = 0; offset <= total + 4; ++offset)
            check_field(frame.data(), total, offset);
        for (size_t back = 0; back < 8; ++back)
            check_field(frame.data(), total, SIZE_MAX - back);

        const uint8_t code = frame.data()[kv::k_offset_code];
        if (kv::is_reply_code(code))
            handle(frame.data(), total);
    }
    return 0;
}
