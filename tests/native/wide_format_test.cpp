// The log line formatter: the program's own %s/%d/%x meaning on every compiler.
#include "portable/wide_format.h"

#include <gtest/gtest.h>
#include <string>

namespace
{

using Arg = kv::Format_arg<char16_t>;

Arg num(uint32_t v)
{
    return Arg{kv::Format_kind::integer, v, nullptr};
}
Arg str(const char16_t* s)
{
    return Arg{kv::Format_kind::text, 0, s};
}

std::u16string format(const char16_t* fmt, std::initializer_list<Arg> args, size_t capacity = 256)
{
    std::u16string out(capacity, u'?');
    std::vector<Arg> list(args);
    size_t n = kv::format_wide(out.data(), capacity, fmt, list.data(), list.size());
    out.resize(n < capacity ? n : capacity - 1);
    return out;
}

TEST(Wide_format, ConversionsOfTheLogLines)
{
    EXPECT_EQ(u"a:-1 b:4294967295 c:ffffffff",
              format(u"a:%d b:%u c:%x", {num(0xFFFFFFFF), num(0xFFFFFFFF), num(0xFFFFFFFF)}));
    EXPECT_EQ(u"x:1A2B s:wide 100%", format(u"x:%X s:%s 100%%", {num(0x1A2B), str(u"wide")}));
    EXPECT_EQ(u"[  42][42  ][0042][0x2a]",
              format(u"[%4d][%-4d][%04d][%#x]", {num(42), num(42), num(42), num(42)}));
    EXPECT_EQ(u"ab|(null)", format(u"%.2s|%s", {str(u"abc"), str(nullptr)}));
    EXPECT_EQ(u"2 1", format(u"%2$d %1$d", {num(1), num(2)}));
    EXPECT_EQ(u"%q", format(u"%q", {}));
    EXPECT_EQ(u"missing:", format(u"missing:%d", {}));
    EXPECT_EQ(u"end", format(u"end%", {}));
}

TEST(Wide_format, CountsFullLengthAndTruncatesSafely)
{
    Arg a = str(u"0123456789");
    EXPECT_EQ(12u, kv::format_wide<char16_t>(nullptr, 0, u"<%s>", &a, 1));
    char16_t small[5];
    EXPECT_EQ(12u, kv::format_wide(small, 5, u"<%s>", &a, 1));
    EXPECT_EQ(std::u16string(u"<012"), std::u16string(small));
}

TEST(Wide_format, ScanTypesArgumentsByPosition)
{
    kv::Format_kind kinds[kv::k_max_format_args];
    EXPECT_EQ(3u, kv::scan_format_args(u"%d %s %%x %x", kinds));
    EXPECT_EQ(kv::Format_kind::integer, kinds[0]);
    EXPECT_EQ(kv::Format_kind::text, kinds[1]);
    EXPECT_EQ(kv::Format_kind::integer, kinds[2]);
    EXPECT_EQ(2u, kv::scan_format_args(u"%2$s %1$d", kinds));
    EXPECT_EQ(kv::Format_kind::text, kinds[1]);
    // Positions beyond the table are ignored rather than read.
    EXPECT_EQ(0u, kv::scan_format_args(u"%99$d", kinds));
}

TEST(Wide_format, HugeWidthsAreBounded)
{
    Arg a = num(1);
    size_t n = kv::format_wide<char16_t>(nullptr, 0, u"%99999999999d", &a, 1);
    EXPECT_LE(n, 4200u);
}

} // namespace
