// The channel against a real overlapped named pipe standing in for the virtual channel.
#include "channel/server_channel.h"
#include "support/engine_fixture.h"

#include <thread>

namespace
{

std::vector<BYTE> pattern(size_t n, int seed)
{
    std::vector<BYTE> bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<BYTE>(i * 7 + seed);
    return bytes;
}

class Channel_test : public Engine_fixture
{
  protected:
    void SetUp() override
    {
        Engine_fixture::SetUp();
        open_channel_only();
        fake.clear_lines();
    }
    void TearDown() override
    {
        close_channel_only();
        Engine_fixture::TearDown();
    }
    std::vector<BYTE> receive(size_t n)
    {
        return g_terminal_receive(fake.terminal(), n);
    }
};

TEST_F(Channel_test, ZeroByteWriteLogsButDoesNoIo)
{
    EXPECT_EQ(0, g_virtual_channel.write(nullptr, 0));
    EXPECT_TRUE(fake.has_line(L"ServerChannel::write (enter)"));
    EXPECT_TRUE(fake.has_line(L"ServerChannel::write (nBytes:0, sizeof(m_bufferOut):1600)"));
    EXPECT_TRUE(fake.has_line(L"ServerChannel::write (exit - nBytes:0)"));
    EXPECT_FALSE(fake.has_line(L"copy data"));
    EXPECT_EQ(0u, g_terminal_available(fake.terminal()));
}

TEST_F(Channel_test, ExactChunkIsFlushedInsideWriteAndFlushThenFindsNothing)
{
    auto data = pattern(1600, 1);
    EXPECT_TRUE(g_write_to_virtual_channel(data.data(), 1600));
    EXPECT_EQ(1u, fake.count_lines(L"ServerChannel::write (flushing buffer - m_nOutAmount:1600"));
    EXPECT_EQ(1u, fake.count_lines(L"ServerChannel::flush (entered while"));
    EXPECT_EQ(2u, fake.count_lines(L"ServerChannel::flush (exit)"));
    EXPECT_TRUE(
        fake.has_line(L"Usb_manager:g_write_to_virtual_channel() - success return_value:1"));
    EXPECT_EQ(data, receive(1600));
}

TEST_F(Channel_test, LargeWriteGoesDirectAfterOlderBufferedBytes)
{
    auto older = pattern(10, 3);
    auto large = pattern(1601, 5);
    EXPECT_EQ(0, g_virtual_channel.write(older.data(), 10));
    EXPECT_EQ(10u, g_virtual_channel.out_amount());
    EXPECT_EQ(0u, g_terminal_available(fake.terminal()));
    EXPECT_EQ(0, g_virtual_channel.write(large.data(), 1601));
    EXPECT_TRUE(fake.has_line(L"ServerChannel::write (flush - m_nOutAmount:10)"));
    EXPECT_EQ(0u, g_virtual_channel.out_amount());
    EXPECT_EQ(older, receive(10));
    EXPECT_EQ(large, receive(1601));
}

TEST_F(Channel_test, WriteThatOverflowsTheBufferSplitsAtTheChunk)
{
    auto first = pattern(1550, 7);
    auto second = pattern(100, 9);
    EXPECT_EQ(0, g_virtual_channel.write(first.data(), 1550));
    EXPECT_EQ(0, g_virtual_channel.write(second.data(), 100));
    EXPECT_TRUE(
        fake.has_line(L"ServerChannel::write (copy data - nBuffFree:50, nAmountToWrite:50)"));
    EXPECT_TRUE(
        fake.has_line(L"ServerChannel::write (copy data - nBuffFree:1600, nAmountToWrite:50)"));
    EXPECT_EQ(50u, g_virtual_channel.out_amount());
    std::vector<BYTE> expected = first;
    expected.insert(expected.end(), second.begin(), second.begin() + 50);
    EXPECT_EQ(expected, receive(1600));
    EXPECT_TRUE(g_virtual_channel.flush());
    EXPECT_EQ(std::vector<BYTE>(second.begin() + 50, second.end()), receive(50));
}

TEST_F(Channel_test, SecondReadIsServedFromTheSameChannelRead)
{
    auto data = pattern(304, 11);
    ASSERT_TRUE(g_terminal_send(fake.terminal(), data));
    BYTE header[4];
    BYTE body[300];
    EXPECT_EQ(4, g_read_from_virtual_channel(header, 4));
    fake.clear_lines();
    EXPECT_EQ(300, g_read_from_virtual_channel(body, 300));
    EXPECT_FALSE(fake.has_line(L"WAIT_OBJECT_0"));
    EXPECT_EQ(0, memcmp(header, data.data(), 4));
    EXPECT_EQ(0, memcmp(body, data.data() + 4, 300));
    EXPECT_EQ(0u, g_virtual_channel.in_amount());
}

TEST_F(Channel_test, ReadAssemblesFromSeveralChannelReads)
{
    auto data = pattern(2000, 13);
    ASSERT_TRUE(
        g_terminal_send(fake.terminal(), std::vector<BYTE>(data.begin(), data.begin() + 700)));
    std::thread late(
        [&]
        {
            Sleep(50);
            g_terminal_send(fake.terminal(), std::vector<BYTE>(data.begin() + 700, data.end()));
        });
    std::vector<BYTE> got(2000);
    EXPECT_EQ(2000, g_read_from_virtual_channel(got.data(), 2000));
    late.join();
    EXPECT_EQ(data, got);
    EXPECT_GE(fake.count_lines(L"ServerChannel::read (WAIT_OBJECT_0 + 0)"), 2u);
    EXPECT_TRUE(fake.has_line(L"ServerChannel::read (exit - nBytes:2000)"));
}

TEST_F(Channel_test, ZeroByteReadReturnsAtOnce)
{
    EXPECT_EQ(0, g_virtual_channel.read(nullptr, 0));
    EXPECT_FALSE(fake.has_line(L"WAIT_OBJECT_0"));
    EXPECT_TRUE(fake.has_line(L"ServerChannel::read (exit - nBytes:0)"));
}

TEST_F(Channel_test, ExitEventEndsABlockedReadAndLeavesTheStreamIntact)
{
    int32_t result = 99;
    BYTE buffer[4];
    std::thread reader([&] { result = g_read_from_virtual_channel(buffer, 4); });
    ASSERT_TRUE(fake.wait_for_line(L"ServerChannel::read (entered while loop"));
    Sleep(20);
    SetEvent(g_exit_now_virtual_channel_event);
    reader.join();
    EXPECT_EQ(0, result);
    EXPECT_TRUE(fake.has_line(L"ServerChannel::read (WAIT_OBJECT_0 + 1)"));
    EXPECT_TRUE(
        fake.has_line(L"Usb_manager:g_read_from_virtual_channel() - success return_value:0"));

    // The cancelled read took nothing: the next bytes reach the next read.
    ResetEvent(g_exit_now_virtual_channel_event);
    ASSERT_TRUE(g_terminal_send(fake.terminal(), g_bytes({1, 2, 3, 4})));
    EXPECT_EQ(4, g_read_from_virtual_channel(buffer, 4));
    EXPECT_EQ(g_bytes({1, 2, 3, 4}), std::vector<BYTE>(buffer, buffer + 4));
}

TEST_F(Channel_test, ClosingAClosedChannelLogsOnlyEnterAndExit)
{
    g_virtual_channel.close();
    EXPECT_TRUE(fake.has_line(L"ServerChannel::close (closing virtual channel)"));
    fake.clear_lines();
    g_virtual_channel.close();
    auto lines = fake.lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(L"ServerChannel::close (enter)", lines[0].text);
    EXPECT_EQ(L"ServerChannel::close (exit)", lines[1].text);
    EXPECT_EQ(1, fake.channel_closes);
}

TEST_F(Channel_test, FailedWriteReportsValueZeroAndDropsTheBufferedBytes)
{
    fake.disconnect_terminal();
    auto data = pattern(20, 1);
    EXPECT_FALSE(g_write_to_virtual_channel(data.data(), 20));
    EXPECT_TRUE(fake.has_line(L"ServerChannel::flush (WriteFile failed - error:"));
    EXPECT_TRUE(
        fake.has_line(L"Usb_manager:g_write_to_virtual_channel() - success return_value:0"));
    EXPECT_EQ(0u, g_virtual_channel.out_amount());
    // The mutex was released: another writer gets it.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_virtual_channel_mutex, 0));
    ReleaseMutex(g_virtual_channel_mutex);
}

TEST_F(Channel_test, ReadOfABrokenChannelFails)
{
    fake.disconnect_terminal();
    BYTE buffer[4];
    EXPECT_EQ(-1, g_read_from_virtual_channel(buffer, 4));
    EXPECT_TRUE(
        fake.has_line(L"Usb_manager:g_read_from_virtual_channel() - success return_value:-1"));
}

class Channel_open_test : public Engine_fixture
{
};

TEST_F(Channel_open_test, OpenFailuresAreLoggedWithTheirError)
{
    fake.channel_fails = true;
    EXPECT_FALSE(g_virtual_channel.open());
    EXPECT_TRUE(fake.has_line(L"ServerChannel::open (WTSVirtualChannelOpen failed - error:2)"));
    EXPECT_FALSE(g_virtual_channel.is_open());

    fake.channel_fails = false;
    fake.query_fails = true;
    EXPECT_FALSE(g_virtual_channel.open());
    EXPECT_TRUE(fake.has_line(L"ServerChannel::open (WTSVirtualChannelQuery failed - error:6"));
    EXPECT_TRUE(g_virtual_channel.is_open()); // left open: only close closes it
}

TEST_F(Channel_open_test, OpenRecordsTheSessionId)
{
    g_session_id = 0xFFFFFFFF;
    ASSERT_TRUE(g_virtual_channel.open());
    EXPECT_EQ(own_session(), g_session_id);
    EXPECT_TRUE(fake.has_line(L"ServerChannel::open (exit)"));
}

} // namespace
