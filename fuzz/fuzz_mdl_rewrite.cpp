// The send side: a code-15 request from the driver rewritten into the code-7 message the
// terminal gets, the copy of its data, the frame size arithmetic and the short messages.
#include "fuzz_check.h"

#include "portable/bounded_copy.h"
#include "portable/frame.h"

#include <cerrno>
#include <initializer_list>

namespace
{

using fuzz::Exact;

void rewrite(const uint8_t* request, size_t request_size)
{
    kv::Mdl_rewrite mdl{};
    if (!kv::parse_mdl_request(request, request_size, &mdl))
        return;
    const uint32_t length = kv::load_u32(request);
    KV_CHECK(request_size >= kv::k_mdl_urb_request_size);
    // The message carries the header and the data, with no wrap in 32 bits.
    KV_CHECK(mdl.message_size >= kv::k_urb_header_size);
    KV_CHECK(mdl.message_size - kv::k_urb_header_size == mdl.data_length);
    KV_CHECK(mdl.data_address == kv::load_u64(request + kv::k_offset_mdl_data_address));
    // Data travelling to the host drops the 8-byte address: the shortened frame stays whole.
    KV_CHECK(length >= 8 && length - 8 + uint64_t{4} >= kv::k_urb_header_size);

    Exact header(kv::k_urb_header_size);
    kv::write_rewritten_header(request, header.data(), mdl.data_length);
    KV_CHECK(kv::frame_total_size(kv::load_u32(header.data())) == mdl.message_size);
    KV_CHECK(header.data()[kv::k_offset_code] == kv::code_queue_urb);
    KV_CHECK(std::memcmp(header.data() + kv::k_offset_devid, request + kv::k_offset_devid,
                         kv::k_urb_header_size - kv::k_offset_devid) == 0);
}

void frame_sizes(uint32_t length)
{
    for (uint32_t n : {length, 0xFFFFFFFBu, 0xFFFFFFFCu, 0xFFFFFFFFu, length | 0xFFFFFFF0u})
    {
        uint32_t total = kv::frame_total_size(n);
        if (total != 0)
            KV_CHECK(uint64_t{total} == n + uint64_t{4});
        else
            KV_CHECK(n + uint64_t{4} > UINT32_MAX);
    }
}

void short_messages(uint8_t code, uint32_t value)
{
    const uint32_t* const values[] = {nullptr, &value};
    for (size_t capacity = 0; capacity <= 10; ++capacity)
        for (const uint32_t* v : values)
        {
            Exact out(capacity);
            size_t n = kv::build_short_message(out.data(), capacity, code, v);
            KV_CHECK(n <= capacity);
            if (n == 0)
                continue;
            KV_CHECK(kv::frame_total_size(kv::load_u32(out.data())) == n);
            KV_CHECK(out.data()[kv::k_offset_code] == code);
            KV_CHECK(!v || kv::load_u32(out.data() + kv::k_frame_header_size) == value);
        }
}

// The copy of the request's data into the message: all of it, or the destination cleared.
void copy(const uint8_t* source, size_t source_size, size_t destination_size, size_t count)
{
    count = count < source_size ? count : source_size;
    Exact destination(destination_size);
    std::memset(destination.data(), 0xA5, destination_size);
    int rc = kv::bounded_copy(destination.data(), destination_size, source, count);
    if (rc == 0)
    {
        KV_CHECK(count <= destination_size);
        KV_CHECK(count == 0 || std::memcmp(destination.data(), source, count) == 0);
        return;
    }
    KV_CHECK(rc == ERANGE && count > destination_size);
    for (size_t i = 0; i < destination_size; ++i)
        KV_CHECK(destination.data()[i] == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Exact request(data, size);
    rewrite(request.data(), request.size());
    if (size < kv::k_frame_header_size)
        return 0;
    // The size the send path gives the parser: the one from the length field, when the buffer
    // really holds that much.
    const uint32_t total = kv::frame_total_size(kv::load_u32(data));
    if (total != 0 && total <= size)
        rewrite(request.data(), total);
    frame_sizes(kv::load_u32(data));
    short_messages(data[kv::k_offset_code], kv::load_u32(data));
    copy(request.data() + kv::k_frame_header_size, size - kv::k_frame_header_size, data[0] % 64u,
         data[1] % 64u);
    return 0;
}
