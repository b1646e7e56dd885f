// Completions for the port driver. The input is read three ways: as a reply from the terminal
// (reap or status), and as a request from the driver's query buffer that gets a made-up failure.
#include "fuzz_check.h"

#include "portable/bounded_copy.h"
#include "portable/completion.h"

#include <algorithm>
#include <initializer_list>

namespace
{

using fuzz::Exact;

// The MDL path: copy the reply's data into a mapped buffer of the request's size, then report
// how much went in.
void complete_mdl(const uint8_t* reply, size_t reply_size, const kv::Reap_reply& fields,
                  uint32_t buffer_size)
{
    const uint32_t copied = kv::mdl_copy_length(fields, buffer_size);
    KV_CHECK(copied <= buffer_size);
    KV_CHECK(fields.data_present ? copied <= fields.data_length : copied == 0);
    KV_CHECK(kv::k_reap_header_size + uint64_t{copied} <= reply_size);
    if (buffer_size <= 1u << 16)
    {
        Exact mapped(buffer_size);
        KV_CHECK(kv::bounded_copy(mapped.data(), buffer_size, reply + kv::k_reap_header_size,
                                  copied) == 0);
    }
    const uint64_t address = 0x0123456789ABCDEFull ^ buffer_size;
    Exact out(kv::k_completion_size);
    kv::build_mdl_completion(fields, copied, address, out.data());
    KV_CHECK(kv::frame_total_size(kv::load_u32(out.data())) == kv::k_completion_size);
    KV_CHECK(out.data()[kv::k_offset_code] == kv::code_mdl_reap_complete);
    kv::Reap_reply back{};
    KV_CHECK(kv::parse_reap_reply(out.data(), out.size(), &back));
    KV_CHECK(back.devid == fields.devid && back.handle == fields.handle);
    KV_CHECK(back.flags == fields.flags && back.status == fields.status);
    KV_CHECK(back.data_length == copied && kv::load_u64(out.data() + 19) == address);
}

void reap(const uint8_t* reply, size_t reply_size)
{
    kv::Reap_reply fields{};
    if (!kv::parse_reap_reply(reply, reply_size, &fields))
        return;
    KV_CHECK(reply_size >= kv::k_reap_header_size);
    KV_CHECK(kv::load_u32(reply) + uint64_t{4} <= reply_size);
    // Data counts only when the frame ends right after it; anything else is a reply that
    // carries none, whatever its data_length says.
    if (fields.data_present)
        KV_CHECK(kv::load_u32(reply) + uint64_t{4} ==
                 kv::k_reap_header_size + uint64_t{fields.data_length});
    const uint32_t n = fields.data_length;
    for (uint32_t buffer_size : {0u, 1u, n - 1, n, n + 1, 4096u, 0xFFFFFFFFu})
        complete_mdl(reply, reply_size, fields, buffer_size);
}

void status(const uint8_t* reply, size_t reply_size)
{
    Exact out(kv::k_completion_size);
    const uint8_t code = reply_size > kv::k_offset_code ? reply[kv::k_offset_code] : 0;
    if (!kv::build_status_completion(reply, reply_size, code, out.data()))
        return;
    KV_CHECK(reply_size >= kv::k_status_reply_size);
    KV_CHECK(kv::load_u32(out.data()) == 6 && out.data()[kv::k_offset_code] == code);
    KV_CHECK(out.data()[5] == reply[kv::k_offset_status]);
}

// A request the pump could not send is answered by a reply that the reply handlers then read
// from the same 27-byte buffer.
void fail_request(const uint8_t* query, size_t query_size)
{
    const kv::Driver_request request = kv::parse_driver_request(query, query_size);
    const bool urb = request.code == kv::code_queue_urb || request.code == kv::code_queue_mdl_urb;
    if (!urb)
        KV_CHECK(request.handle == 0xFFFFFFFFu);
    if (request.code != kv::code_queue_mdl_urb)
        KV_CHECK(request.data_length == 0 && request.data_address == 0);
    // The query buffer may hold more than the frame: bytes past its length field are stale.
    uint64_t framed = query_size;
    if (query_size >= kv::k_frame_header_size)
        framed = std::min<uint64_t>(framed, kv::load_u32(query) + uint64_t{4});
    if (framed < kv::k_offset_devid + 4)
        KV_CHECK(request.devid == 0);
    if (framed < kv::k_offset_urb_handle + 4)
        KV_CHECK(request.handle == 0xFFFFFFFFu);
    if (framed < kv::k_mdl_urb_request_size)
        KV_CHECK(request.data_length == 0 && request.data_address == 0);

    Exact out(kv::k_completion_size);
    const uint8_t code = kv::build_failure_reply(request, out.data());
    if (code == 0)
        return;
    KV_CHECK(kv::frame_total_size(kv::load_u32(out.data())) == kv::k_completion_size);
    KV_CHECK(out.data()[kv::k_offset_code] == code);
    if (code == kv::code_reap_urb)
    {
        KV_CHECK(urb);
        kv::Reap_reply fields{};
        KV_CHECK(kv::parse_reap_reply(out.data(), out.size(), &fields));
        KV_CHECK(fields.devid == request.devid && fields.handle == request.handle);
        KV_CHECK(fields.status == kv::k_status_made_up_failure);
        // A made-up failure carries no data, so nothing is ever copied into a mapped buffer.
        KV_CHECK(!fields.data_present && kv::mdl_copy_length(fields, 0xFFFFFFFFu) == 0);
        return;
    }
    KV_CHECK(code == request.code);
    Exact completion(kv::k_completion_size);
    KV_CHECK(kv::build_status_completion(out.data(), out.size(), code, completion.data()));
    KV_CHECK(completion.data()[5] == kv::k_status_made_up_failure);
    KV_CHECK(kv::load_u32(completion.data() + 6) == request.devid);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Exact input(data, size);
    reap(input.data(), input.size());
    status(input.data(), input.size());
    fail_request(input.data(), input.size());
    return 0;
}
