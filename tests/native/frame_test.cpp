// Documented facts the fuzz targets in fuzz/ take as given: the codes the terminal may send
// and where the URB request keeps its direction.
#include "portable/frame.h"
#include "portable/reply_frame.h"

#include <gtest/gtest.h>
#include <set>

namespace
{

TEST(Frame, CodesTheTerminalMaySend)
{
    const std::set<int> replies = {0, 2, 3, 4, 5, 6, 8, 9, 11, 12};
    for (int code = 0; code < 256; ++code)
        EXPECT_EQ(replies.count(code) == 1, kv::is_reply_code(static_cast<uint8_t>(code))) << code;
}

TEST(Frame, UrbRequestLayout)
{
    // length, code 7, devid, handle, 2 bytes, direction (2: to the device), 4 bytes, data length
    const uint8_t request[24] = {20, 0, 0, 0, 7, 1, 1, 1, 1, 3, 3, 3, 3, 0, 0, 2};
    EXPECT_EQ(kv::k_direction_to_device, request[kv::k_offset_urb_direction]);
}

} // namespace
