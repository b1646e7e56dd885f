// The send side: a code-15 request from the driver rewritten into the code-7 message the
// terminal gets, the copy of its data, the frame size arithmetic and the short messages.
#include "fuzz_check.h"

#include "portable/bounded_copy.h"
#include "portable/frame.h"

#include <cerrno>

namespace
{

using namespace fuzz;

void rewrite(const Bytes& in)
{
    const uint8_t* q = in.data();
    // Refused when too short for its fields or when data + 24-byte header overflows 32 bits.
    const bool ok = in.size() >= 32 && le<4>(q) + 4 >= 32 && le<4>(q + 20) + 24 <= UINT32_MAX;
    kv::Mdl_rewrite m{};
    KV_CHECK(kv::parse_mdl_request(q, in.size(), &m) == ok);
    if (!ok)
        return;
    KV_CHECK(m.data_length == le<4>(q + 20) && m.message_size == le<4>(q + 20) + 24 &&
             m.data_address == le<8>(q + 24));
    Bytes header(24);
    kv::write_rewritten_header(q, header.data(), m.data_length);
    KV_CHECK(le<4>(&header[0]) + 4 == m.message_size && header[4] == 7 &&
             std::memcmp(&header[5], q + 5, 19) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    rewrite(Bytes(data, data + size));
    if (size < 5)
        return 0;
    // The send path passes the size from the length field, when the buffer holds that much.
    const uint32_t length = le<4>(data), total = kv::frame_total_size(length);
    if (total != 0 && total <= size)
        rewrite(Bytes(data, data + total));
    for (uint64_t n : {length, 0xFFFFFFFBu, 0xFFFFFFFCu, 0xFFFFFFFFu})
        KV_CHECK(kv::frame_total_size(n) == (n + 4 > UINT32_MAX ? 0 : n + 4));

    for (size_t capacity = 0; capacity <= 10; ++capacity)
        for (const uint32_t* value : {static_cast<const uint32_t*>(nullptr), &length})
        {
            const size_t want = value ? 9 : 5;
            Bytes out(capacity);
            const size_t n = kv::build_short_message(out.data(), capacity, data[4], value);
            KV_CHECK(n == (capacity >= want ? want : 0));
            KV_CHECK(!n || (le<4>(&out[0]) == want - 4 && out[4] == data[4] &&
                            (!value || le<4>(&out[5]) == length)));
        }

    // The copy of the data into the message: all of it, or an error with the destination cleared.
    for (size_t room = 1; room <= 8; ++room)
        for (size_t count = 0; count <= size - 5 && count <= 10; ++count)
        {
            Bytes source(data + 5, data + 5 + count), destination(room, 0xA5);
            const int rc = kv::bounded_copy(destination.data(), room, source.data(), count);
            KV_CHECK(rc == (count > room ? ERANGE : 0));
            for (size_t i = 0; i < room; ++i)
                KV_CHECK(destination[i] == (count > room ? 0 : i < count ? source[i] : 0xA5));
        }
    return 0;
}
