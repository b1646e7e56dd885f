// Completions for the port driver and the reply pump. The input is read as a reply from the
// terminal, as the terminal's stream of replies, and as a request from the driver's query
// buffer that gets a made-up failure.
#include "fuzz_check.h"

#include "portable/bounded_copy.h"
#include "portable/completion.h"
#include "portable/reply_frame.h"

#include <algorithm>

namespace
{

using namespace fuzz;

void reap(const Bytes& in)
{
    const uint8_t* p = in.data();
    const uint64_t framed = in.size() >= 4 ? le<4>(p) + 4 : 0;
    const bool ok = in.size() >= 19 && framed >= 19 && framed <= in.size();
    kv::Reap_reply r{};
    KV_CHECK(kv::parse_reap_reply(p, in.size(), &r) == ok);
    if (!ok)
        return;
    KV_CHECK(r.devid == le<4>(p + 5) && r.flags == p[9] && r.status == p[10] &&
             r.handle == le<4>(p + 11) && r.data_length == le<4>(p + 15));
    // Data counts only when the frame ends right after it.
    KV_CHECK(r.data_present == (r.data_length != 0 && framed == 19 + le<4>(p + 15)));
    const uint32_t n = r.data_length;
    for (uint32_t buffer : {0u, 1u, n - 1, n, n + 1, 4096u, 0xFFFFFFFFu})
    {
        const uint32_t copied = kv::mdl_copy_length(r, buffer);
        KV_CHECK(copied == (r.data_present ? std::min(n, buffer) : 0));
        Bytes mapped(std::min(buffer, 1u << 16)), out(kv::k_completion_size);
        if (buffer == mapped.size())
            KV_CHECK(kv::bounded_copy(mapped.data(), buffer, p + 19, copied) == 0);
        kv::build_mdl_completion(r, copied, 0x0123456789ABCDEFull ^ buffer, out.data());
        KV_CHECK(le<4>(&out[0]) == 23 && out[4] == 16 && le<4>(&out[5]) == r.devid &&
                 out[9] == p[9] && out[10] == p[10] && le<4>(&out[11]) == r.handle &&
                 le<4>(&out[15]) == copied && le<8>(&out[19]) == (0x0123456789ABCDEFull ^ buffer));
    }
}

void status(const Bytes& in)
{
    const uint8_t* p = in.data();
    const uint8_t code = in.size() > 4 ? p[4] : 0;
    const bool ok = in.size() >= 10 && le<4>(p) + 4 >= 10;
    Bytes out(kv::k_completion_size, 0xA5);
    KV_CHECK(kv::build_status_completion(p, in.size(), code, out.data()) == ok);
    KV_CHECK(!ok ||
             (le<4>(&out[0]) == 6 && out[4] == code && out[5] == p[5] &&
              le<4>(&out[6]) == le<4>(p + 6) && std::count(&out[10], &out[0] + 27, 0) == 17));
}

// A request the pump could not send is answered by a reply read from the same 27-byte buffer.
void fail_request(const Bytes& in)
{
    const uint8_t* q = in.data();
    const kv::Driver_request r = kv::parse_driver_request(q, in.size());
    // Bytes past the frame's length field are stale and read as absent.
    const uint64_t framed = in.size() < 5 ? 0 : std::min<uint64_t>(in.size(), le<4>(q) + 4);
    const uint8_t code = in.size() < 5 ? 0 : q[4];
    const bool urb = code == 7 || code == 15, mdl = code == 15 && framed >= 32;
    KV_CHECK(r.code == code && r.devid == (framed >= 9 ? le<4>(q + 5) : 0) &&
             r.handle == (urb && framed >= 13 ? le<4>(q + 9) : 0xFFFFFFFFu) &&
             r.data_length == (mdl ? le<4>(q + 20) : 0) &&
             r.data_address == (mdl ? le<8>(q + 24) : 0));

    Bytes out(kv::k_completion_size);
    const uint8_t reply = kv::build_failure_reply(r, out.data());
    KV_CHECK(reply == (urb ? 8 : (code >= 2 && code <= 6) || code == 9 ? code : 0));
    // A status reply, or a reap reply that failed and carries no data.
    KV_CHECK(!reply || (le<4>(&out[0]) == 23 && out[4] == reply));
    KV_CHECK(reply != 8 || (le<4>(&out[5]) == r.devid && out[9] == 1 && out[10] == 12 &&
                            le<4>(&out[11]) == r.handle && le<4>(&out[15]) == 0));
    KV_CHECK(reply == 8 || !reply || (out[5] == 12 && le<4>(&out[6]) == r.devid));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const Bytes input(data, data + size);
    reap(input);
    status(input);
    fail_request(input);
    // The stream: each frame read into a buffer of exactly length + 4 bytes. A zero length has
    // no code byte and is dropped; a body longer than the limit or the stream ends it.
    for (size_t at = 0, length; size - at >= 4; at += 4 + length)
    {
        if ((length = le<4>(data + at)) == 0)
            continue;
        if (length > kv::k_default_max_reply_length || size - at - 4 < length)
            break;
        const Bytes frame(data + at, data + at + 4 + length);
        reap(frame);
        status(frame);
        // Whole fields only, offsets near SIZE_MAX (where offset + 4 wraps) included.
        for (size_t back = 0; back <= frame.size() + 8; ++back)
            for (size_t offset : {back, SIZE_MAX - back})
                KV_CHECK(kv::field_or_none(frame.data(), frame.size(), offset) ==
                         (static_cast<unsigned __int128>(offset) + 4 <= frame.size()
                              ? le<4>(&frame[offset])
                              : 0xFFFFFFFFu));
    }
    return 0;
}
