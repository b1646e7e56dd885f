// The channel against a real overlapped named pipe standing in for the virtual channel.
#include "channel/server_channel.h"
#include "support/fixtures.h"

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
    }
    void TearDown() override
    {
        close_channel_only();
        Engine_fixture::TearDown();
    }
};

TEST_F(Channel_test, WritesGatherUpToOneChunkAndOlderBytesLeaveFirst)
{
    // Sizes written; bytes left in the output buffer; flushes made inside write.
    using Row = std::tuple<std::vector<DWORD>, DWORD, size_t>;
    for (auto [writes, buffered, inner_flushes] :
         {Row{{0}, 0, 0}, Row{{10, 20}, 30, 0}, Row{{1600}, 0, 1}, Row{{1550, 100}, 50, 1},
          Row{{10, 1601}, 0, 1}}) // more than a chunk goes direct after the older bytes
    {
        sim.clear_lines();
        std::vector<BYTE> all;
        for (DWORD n : writes)
        {
            std::vector<BYTE> bytes(n);
            std::iota(bytes.begin(), bytes.end(), static_cast<BYTE>(all.size()));
            EXPECT_EQ(0, g_virtual_channel.write(bytes.data(), n));
            all.insert(all.end(), bytes.begin(), bytes.end());
        }
        ASSERT_EQ(buffered, g_virtual_channel.out_amount()) << all.size();
        EXPECT_EQ(inner_flushes, sim.count_lines(L"ServerChannel::flush (enter)")) << all.size();
        EXPECT_EQ(all.size() - buffered, g_terminal_available(sim.terminal()));
        EXPECT_TRUE(g_virtual_channel.flush());
        EXPECT_EQ(all, g_terminal_receive(sim.terminal(), all.size()));
    }
}

TEST_F(Channel_test, ReadsServeFramesFromOneChannelReadUntilTheExitEventOrABreakEndsOne)
{
    std::vector<BYTE> data(2404), got(data.size());
    std::iota(data.begin(), data.end(), BYTE{11});
    ASSERT_TRUE(g_terminal_send(sim.terminal(), {data.begin(), data.begin() + 304}));
    EXPECT_EQ(4, g_read_from_virtual_channel(got.data(), 4));
    EXPECT_EQ(300, g_read_from_virtual_channel(got.data() + 4, 300));
    EXPECT_EQ(1u, sim.count_lines(L"ServerChannel::read (WAIT_OBJECT_0 + 0)"));
    int32_t result = 99;
    std::thread reader([&] { result = g_read_from_virtual_channel(got.data() + 304, 4); });
    ASSERT_TRUE(sim.wait_for_line(L"ServerChannel::read (entered while loop"));
    Sleep(20);
    SetEvent(g_exit_now_virtual_channel_event);
    reader.join();
    EXPECT_EQ(0, result);
    // The ended read took nothing: the stream goes on, here over two channel reads.
    ResetEvent(g_exit_now_virtual_channel_event);
    ASSERT_TRUE(g_terminal_send(sim.terminal(), {data.begin() + 304, data.end()}));
    EXPECT_EQ(2100, g_read_from_virtual_channel(got.data() + 304, 2100));
    EXPECT_EQ(data, got);
    // Broken, it fails both ways, drops the bytes it could not write and frees its mutex.
    sim.disconnect_terminal();
    EXPECT_FALSE(g_write_to_virtual_channel(got.data(), 20));
    EXPECT_EQ(0u, g_virtual_channel.out_amount());
    std::thread([&] { result = WaitForSingleObject(g_virtual_channel_mutex, 0); }).join();
    EXPECT_EQ(WAIT_OBJECT_0, static_cast<DWORD>(result));
    EXPECT_EQ(-1, g_read_from_virtual_channel(got.data(), 4));
}

} // namespace
