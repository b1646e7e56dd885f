// The channel, and the packets written through it, against a real overlapped named pipe
// standing in for the virtual channel.
#include "channel/server_channel.h"
#include "support/fixtures.h"
#include "portable/frame.h"

#include <cstring>
#include <numeric>
#include <thread>

namespace
{

class Channel_test : public Engine_fixture
{
  protected:
    void SetUp() override
    {
        Engine_fixture::SetUp();
        open_channel_only();
        sim.clear_lines();
    }
    void TearDown() override
    {
        close_channel_only();
        Engine_fixture::TearDown();
    }
};

TEST_F(Channel_test, WritesGatherUpToOneChunkAndOlderBytesLeaveFirst)
{
    const struct
    {
        const char* name;
        std::vector<DWORD> writes;
        DWORD buffered, inner_flushes; // left in the output buffer; flushes made inside write
    } rows[] = {
        {"nothing to write", {0}, 0, 0},
        {"small writes gather", {10, 20}, 30, 0},
        {"one chunk is flushed inside write", {1600}, 0, 1},
        {"overflow flushes a full chunk and keeps the rest", {1550, 100}, 50, 1},
        {"more than a chunk goes direct after the older bytes", {10, 1601}, 0, 1},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.name);
        sim.clear_lines();
        std::vector<BYTE> all;
        for (DWORD n : row.writes)
        {
            std::vector<BYTE> bytes(n);
            std::iota(bytes.begin(), bytes.end(), static_cast<BYTE>(all.size()));
            EXPECT_EQ(0, g_virtual_channel.write(bytes.data(), n));
            all.insert(all.end(), bytes.begin(), bytes.end());
        }
        ASSERT_EQ(row.buffered, g_virtual_channel.out_amount());
        EXPECT_EQ(row.inner_flushes, sim.count_lines(L"ServerChannel::flush (enter)"));
        EXPECT_EQ(all.size() - row.buffered, g_terminal_available(sim.terminal()));
        EXPECT_TRUE(g_virtual_channel.flush());
        EXPECT_EQ(all, g_terminal_receive(sim.terminal(), all.size()));
    }
}

TEST_F(Channel_test, ReadsServeFramesFromOneChannelReadUntilTheExitEventEndsOne)
{
    EXPECT_EQ(0, g_virtual_channel.read(nullptr, 0));
    std::vector<BYTE> data(2404);
    std::iota(data.begin(), data.end(), BYTE{11});
    ASSERT_TRUE(g_terminal_send(sim.terminal(), {data.begin(), data.begin() + 304}));
    std::vector<BYTE> got(data.size());
    EXPECT_EQ(4, g_read_from_virtual_channel(got.data(), 4));
    EXPECT_EQ(300, g_read_from_virtual_channel(got.data() + 4, 300));
    EXPECT_EQ(1u, sim.count_lines(L"ServerChannel::read (WAIT_OBJECT_0 + 0)"));

    int32_t result = 99;
    sim.clear_lines();
    std::thread reader([&] { result = g_read_from_virtual_channel(got.data() + 304, 4); });
    ASSERT_TRUE(sim.wait_for_line(L"ServerChannel::read (entered while loop"));
    Sleep(20);
    SetEvent(g_exit_now_virtual_channel_event);
    reader.join();
    EXPECT_EQ(0, result);
    EXPECT_TRUE(sim.has_line(L"ServerChannel::read (WAIT_OBJECT_0 + 1)"));

    // The ended read took nothing: the stream goes on, here over two channel reads.
    ResetEvent(g_exit_now_virtual_channel_event);
    ASSERT_TRUE(g_terminal_send(sim.terminal(), {data.begin() + 304, data.end()}));
    EXPECT_EQ(2100, g_read_from_virtual_channel(got.data() + 304, 2100));
    EXPECT_EQ(data, got);
    EXPECT_EQ(0u, g_virtual_channel.in_amount());
}

TEST_F(Channel_test, ABrokenChannelFailsBothWaysAndReleasesTheMutex)
{
    sim.disconnect_terminal();
    BYTE bytes[20] = {};
    EXPECT_FALSE(g_write_to_virtual_channel(bytes, 20));
    EXPECT_EQ(0u, g_virtual_channel.out_amount()); // the failed bytes are dropped
    DWORD wait = WAIT_FAILED;
    std::thread([&] { wait = WaitForSingleObject(g_virtual_channel_mutex, 0); }).join();
    EXPECT_EQ(WAIT_OBJECT_0, wait);
    EXPECT_EQ(-1, g_read_from_virtual_channel(bytes, 4));
}

} // namespace
