// The codes the terminal may send: the reply pump dispatches these and drops every other.
#include "portable/reply_frame.h"

#include <gtest/gtest.h>
#include <set>

TEST(Frame, CodesTheTerminalMaySend)
{
    const std::set<int> replies = {0, 2, 3, 4, 5, 6, 8, 9, 11, 12};
    for (int code = 0; code < 256; ++code)
        EXPECT_EQ(replies.count(code) == 1, kv::code_traits(static_cast<uint8_t>(code)).received) << code;
}
