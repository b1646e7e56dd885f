// Device records: the walk over a device-list reply, the twin test and the display name.
#include "sim_records.h"
#include "portable/device_record.h"
#include "portable/frame.h"
#include "portable/share_question.h"

#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace
{

using namespace sim_records;

struct Walked
{
    std::vector<uint32_t> ids; // taken records
    std::vector<kv::Record_check> checks;
};

// Walks a heap copy of exactly frame.size() bytes, so reading past it is caught by ASan.
Walked walk(const Bytes& frame)
{
    auto copy = std::make_unique<uint8_t[]>(frame.size() ? frame.size() : 1);
    std::copy(frame.begin(), frame.end(), copy.get());
    Walked w;
    kv::Record_walk state;
    kv::Record_view view;
    kv::begin_record_walk(frame.empty() ? nullptr : copy.get(), frame.size(), &state);
    while (kv::next_record(copy.get(), frame.size(), &state, &view))
    {
        w.checks.push_back(view.check);
        if (view.check == kv::Record_check::ok)
            w.ids.push_back(kv::record_device_id(copy.get() + view.frame_offset));
    }
    return w;
}

TEST(Record_walk, EmptyListFormsListNothing)
{
    EXPECT_TRUE(walk({}).checks.empty());
    EXPECT_TRUE(walk({1, 0, 0, 0, 11}).checks.empty());       // the poller's own request
    EXPECT_TRUE(walk({3, 0, 0, 0, 11, 9, 9}).checks.empty()); // length field below 4
    Bytes starts_with_zero = reply({record({})});
    starts_with_zero[5] = starts_with_zero[6] = 0;
    EXPECT_TRUE(walk(starts_with_zero).checks.empty());
}

TEST(Record_walk, TakesRecordsInOrderUpToTheClosingZero)
{
    Bytes r1 = record({.id = 7}), r2 = record({.id = 8, .name = nullptr}),
          r3 = record({.id = 9, .identity = nullptr});
    EXPECT_EQ(std::vector<uint32_t>({7, 8, 9}), walk(reply({r1, r2, r3})).ids);
    // A later record that ends exactly at the payload's end is not taken; a first one is.
    EXPECT_EQ(std::vector<uint32_t>({7}), walk(reply({r1, r2}, false)).ids);
    EXPECT_EQ(std::vector<uint32_t>({7}), walk(reply({r1}, false)).ids);
    // Bytes after the closing zero are not records.
    Bytes trailing = reply({r1});
    trailing.insert(trailing.end(), r2.begin(), r2.end());
    kv::store_u32(trailing.data(), static_cast<uint32_t>(trailing.size() - 4));
    EXPECT_EQ(std::vector<uint32_t>({7}), walk(trailing).ids);
}

TEST(Record_walk, MalformedRecordsEndTheWalkOrAreSkipped)
{
    using C = kv::Record_check;
    Bytes good = record({.id = 5});
    // Too short for its fields: ends the walk.
    Bytes short_record = {10, 0, 1, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::vector<C>({C::ok, C::too_short}),
              walk(reply({good, short_record, good})).checks);
    // A first record running past the payload: reported and the walk ends.
    Bytes long_first = reply({good});
    long_first[5] = 0xFF;
    EXPECT_EQ(std::vector<C>({C::past_payload}), walk(long_first).checks);
    // A length field claiming more than the message holds reads only what is there.
    Bytes truncated = reply({good});
    truncated.resize(20);
    EXPECT_EQ(std::vector<C>({C::past_payload}), walk(truncated).checks);
    // (length - 1) is a 16-bit number: 0x10000 + 4 leaves a payload of 4 bytes.
    Bytes wrapped = reply({good});
    kv::store_u32(wrapped.data(), 0x10005);
    EXPECT_EQ(std::vector<C>({C::past_payload}), walk(wrapped).checks);

    // Bad string offsets: skipped, and the walk goes on.
    Bytes name_outside = record({.id = 6}), identity_unterminated = record({.id = 7}),
          name_after_identity = record({.id = 8});
    name_outside[19] = static_cast<uint8_t>(name_outside.size());
    identity_unterminated.back() = 'X';
    name_after_identity[19] = name_after_identity[21] + 1;
    Walked w = walk(reply({name_outside, identity_unterminated, name_after_identity, good}));
    EXPECT_EQ(std::vector<C>({C::bad_strings, C::bad_strings, C::bad_strings, C::ok}), w.checks);
    EXPECT_EQ(std::vector<uint32_t>({5}), w.ids);
}

TEST(Record_walk, RandomFramesStayInsideTheMessage)
{
    std::mt19937 random(12345);
    for (int round = 0; round < 3000; ++round)
    {
        Bytes frame(5 + random() % 120);
        for (uint8_t& b : frame)
            b = static_cast<uint8_t>(random() % 4 == 0 ? 0 : random() % 64);
        kv::store_u32(frame.data(), static_cast<uint32_t>(frame.size() - 4 + random() % 3));
        Walked w = walk(frame);
        EXPECT_LE(w.checks.size(), frame.size() / 2);
    }
}

TEST(Twin_test, MatchesOnIdentityButNotOnDeviceId)
{
    auto twins = [](const Record_fields& a, const Record_fields& b)
    {
        Bytes ra = record(a), rb = record(b);
        return kv::records_are_twins(ra.data(), ra.size(), rb.data(), rb.size());
    };
    EXPECT_TRUE(twins({.id = 1}, {.id = 2}));
    EXPECT_TRUE(twins({.id = 1, .name = "A"}, {.id = 2, .name = "Other name"}));
    EXPECT_FALSE(twins({.id = 1}, {.id = 1}));
    EXPECT_FALSE(twins({.id = 1}, {.id = 2, .id1 = 1}));
    EXPECT_FALSE(twins({.id = 1}, {.id = 2, .id2 = 1}));
    EXPECT_FALSE(twins({.id = 1}, {.id = 2, .id3 = 1}));
    EXPECT_FALSE(twins({.id = 1}, {.id = 2, .identity = "SN-2"}));
    EXPECT_FALSE(twins({.id = 1}, {.id = 2, .identity = "SN-10"}));
    EXPECT_TRUE(twins({.id = 1, .identity = nullptr}, {.id = 2, .identity = nullptr}));
    EXPECT_FALSE(twins({.id = 1, .identity = nullptr}, {.id = 2}));
    EXPECT_FALSE(twins({.id = 1}, {.id = 2, .identity = nullptr}));
}

TEST(Display_name, ReachesUpToTheIdentityStringOrTheRecordEnd)
{
    Bytes with_identity = record({.name = "Stick"});
    kv::Name_span span = kv::display_name_span(with_identity.data(), with_identity.size());
    ASSERT_TRUE(span.present);
    EXPECT_EQ(25u, span.offset);
    EXPECT_EQ(6u, span.count); // "Stick" and its zero
    Bytes to_end = record({.name = "Stick", .identity = nullptr});
    to_end.insert(to_end.end(), {'+', '+'});
    to_end[0] = static_cast<uint8_t>(to_end.size());
    span = kv::display_name_span(to_end.data(), to_end.size());
    EXPECT_EQ(8u, span.count);
    Bytes no_name = record({.name = nullptr});
    EXPECT_FALSE(kv::display_name_span(no_name.data(), no_name.size()).present);
    with_identity[19] = 200;
    EXPECT_FALSE(kv::display_name_span(with_identity.data(), with_identity.size()).present);
}

TEST(Share_question, NameReplacesTheFirstMarkerWithinTheBuffer)
{
    char out[16];
    EXPECT_EQ(8u, kv::compose_question(out, sizeof out, "a <> b <>", "X"));
    EXPECT_STREQ("a X b <>", out);
    kv::compose_question(out, sizeof out, "no marker", "X");
    EXPECT_STREQ("no marker", out);
    EXPECT_EQ(15u, kv::compose_question(out, sizeof out, "<>", "a name far too long"));
    EXPECT_STREQ("a name far too ", out);
    EXPECT_EQ(15u, kv::compose_question(out, sizeof out, "0123456789 <> 0123456789", "N"));
    EXPECT_EQ(0u, kv::compose_question(out, 1, "abc", "N"));
    EXPECT_STREQ("", out);
}

} // namespace
