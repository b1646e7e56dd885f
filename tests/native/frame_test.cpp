// Frame layouts: short messages and the code-15 rewrite arithmetic.
#include "portable/frame.h"
#include "portable/reply_frame.h"

#include <gtest/gtest.h>
#include <cstdint>
#include <vector>

namespace
{

TEST(Frame, ShortMessagesOnTheWire)
{
    uint8_t out[9];
    ASSERT_EQ(5u, kv::build_short_message(out, 9, kv::code_device_list, nullptr));
    EXPECT_EQ(std::vector<uint8_t>({1, 0, 0, 0, 11}), std::vector<uint8_t>(out, out + 5));
    uint32_t version = 2;
    ASSERT_EQ(9u, kv::build_short_message(out, 9, kv::code_negotiate, &version));
    EXPECT_EQ(std::vector<uint8_t>({5, 0, 0, 0, 12, 2, 0, 0, 0}),
              std::vector<uint8_t>(out, out + 9));
    EXPECT_EQ(0u, kv::build_short_message(out, 8, kv::code_open, &version));
}

std::vector<uint8_t> mdl_request(uint8_t direction, uint32_t data_length, uint64_t address)
{
    std::vector<uint8_t> r(32, 0);
    kv::store_u32(r.data(), 28);
    r[4] = kv::code_queue_mdl_urb;
    kv::store_u32(r.data() + 5, 0x11223344);
    kv::store_u32(r.data() + 9, 0xAABBCCDD);
    r[13] = 0x5A;
    r[14] = 0xA5;
    r[15] = direction;
    kv::store_u32(r.data() + 16, 0x01020304);
    kv::store_u32(r.data() + 20, data_length);
    kv::store_u64(r.data() + 24, address);
    return r;
}

TEST(Frame, MdlRequestParsesAndRewritesItsHeader)
{
    auto r = mdl_request(2, 8, 0x1122334455667788ull);
    kv::Mdl_rewrite m{};
    ASSERT_TRUE(kv::parse_mdl_request(r.data(), r.size(), &m));
    EXPECT_EQ(32u, m.message_size);
    EXPECT_EQ(0x1122334455667788ull, m.data_address);
    uint8_t header[24];
    kv::write_rewritten_header(r.data(), header, m.data_length);
    EXPECT_EQ(28u, kv::load_u32(header));
    EXPECT_EQ(kv::code_queue_urb, header[4]);
    EXPECT_EQ(0, memcmp(header + 5, r.data() + 5, 19)); // every other field unchanged
}

TEST(Frame, MdlRequestsThatCannotBeFramedAreRefused)
{
    kv::Mdl_rewrite m{};
    auto r = mdl_request(2, 0xFFFFFFFF - 23, 0);
    EXPECT_FALSE(kv::parse_mdl_request(r.data(), r.size(), &m));
    r = mdl_request(2, 0xFFFFFFFF - 24, 0);
    EXPECT_TRUE(kv::parse_mdl_request(r.data(), r.size(), &m));
    EXPECT_EQ(0xFFFFFFFFu, m.message_size);
    EXPECT_FALSE(kv::parse_mdl_request(r.data(), 31, &m));
    kv::store_u32(r.data(), 27);
    EXPECT_FALSE(kv::parse_mdl_request(r.data(), r.size(), &m));
    EXPECT_EQ(0u, kv::frame_total_size(0xFFFFFFFC));
    EXPECT_EQ(0xFFFFFFFFu, kv::frame_total_size(0xFFFFFFFB));
}

// A field is read only when all four bytes lie in the frame; an offset near SIZE_MAX used to
// wrap offset + 4 and pass the check.
TEST(Frame, FieldOrNoneStaysInsideTheFrame)
{
    const uint8_t f[10] = {6, 0, 0, 0, 2, 0, 0x11, 0x22, 0x33, 0x44};
    EXPECT_EQ(0x44332211u, kv::field_or_none(f, sizeof f, 6));
    EXPECT_EQ(0xFFFFFFFFu, kv::field_or_none(f, sizeof f, 7));
    EXPECT_EQ(0xFFFFFFFFu, kv::field_or_none(f, sizeof f, 11));
    EXPECT_EQ(0xFFFFFFFFu, kv::field_or_none(f, 3, 0));
    for (size_t back = 0; back < 4; ++back)
        EXPECT_EQ(0xFFFFFFFFu, kv::field_or_none(f, sizeof f, SIZE_MAX - back));
}

} // namespace
