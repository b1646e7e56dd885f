// The reply pump reading frames from the terminal and handing them to their handlers.
#include "channel/server_channel.h"
#include "support/engine_fixture.h"
#include "manager/usb_driver.h"
#include "manager/usb_manager.h"
#include "shell/app_globals.h"
#include "portable/reply_frame.h"

namespace
{

const std::vector<BYTE> k_negotiate_v2 = {5, 0, 0, 0, 12, 2, 0, 0, 0};

class Reply_pump_test : public Engine_fixture
{
  protected:
    void SetUp() override
    {
        Engine_fixture::SetUp();
        add_drivers();
        window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                                 nullptr);
        g_notify_icon_data.hWnd = window;
        ASSERT_TRUE(g_start_threads());
        g_threads_started = true;
        ASSERT_EQ(9u, g_terminal_receive(fake.terminal(), 9).size());
    }
    void TearDown() override
    {
        Engine_fixture::TearDown();
        g_max_reply_length = kv::k_default_max_reply_length;
        DestroyWindow(window);
        g_notify_icon_data.hWnd = nullptr;
    }
    void send(const std::vector<BYTE>& bytes)
    {
        ASSERT_TRUE(g_terminal_send(fake.terminal(), bytes));
    }
    void send_and_mark(const std::vector<BYTE>& bytes)
    {
        send(bytes);
        send(k_negotiate_v2); // its handler's bus calls show every earlier frame was handled
        ASSERT_TRUE(fake.wait_for_calls(IOCTL_BUS_REGISTER_SESSION, ++negotiations));
    }
    size_t negotiations = 0;
    HWND window = nullptr;
};

TEST_F(Reply_pump_test, NegotiationCompletesEndToEndAndStartsTheRequestPump)
{
    send(k_negotiate_v2);
    ASSERT_TRUE(fake.wait_for_calls(IOCTL_PORT_QUERY, 1));
    EXPECT_TRUE(fake.has_line(
        L"Usb_manager::g_start_process_write_to_driver() - Response IOCTL - code:12, devid:2, "
        L"handle:-1"));
    EXPECT_NE(INVALID_HANDLE_VALUE, g_port_driver_handle);
}

TEST_F(Reply_pump_test, VersionComesFromTheLengthAlone)
{
    send(g_bytes({1, 0, 0, 0, 12})); // no body: version 2, so the session is registered
    ASSERT_TRUE(fake.wait_for_calls(IOCTL_BUS_REGISTER_SESSION, 1));
    EXPECT_TRUE(fake.has_line(L"Response IOCTL - code:12, devid:-1, handle:-1"));
    send(g_bytes({2, 0, 0, 0, 12, 2})); // one body byte: version 1
    ASSERT_TRUE(fake.wait_for_line(L"The KRT is not using version 2.0"));
    // The close request is posted right after the line: poll for it, bounded.
    MSG msg;
    bool posted = false;
    for (int i = 0; i < 5000 && !posted; ++i)
    {
        posted = PeekMessageW(&msg, window, WM_CLOSE, WM_CLOSE, PM_REMOVE) != FALSE;
        if (!posted)
            Sleep(1);
    }
    EXPECT_TRUE(posted);
}

TEST_F(Reply_pump_test, UnknownCodesAreDroppedWithTheirHexCode)
{
    for (int code : {1, 7, 10, 13, 200})
        send(g_bytes({5, 0, 0, 0, code, 0, 0, 0, 0}));
    send_and_mark({});
    for (const wchar_t* line : {L"Unknown packet 1", L"Unknown packet 7", L"Unknown packet a",
                                L"Unknown packet d", L"Unknown packet c8"})
        EXPECT_TRUE(fake.has_line(
            std::wstring(L"Usb_manager::g_start_process_write_to_driver() - ") + line))
            << line;
}

TEST_F(Reply_pump_test, HostileLengthsNeitherCrashNorDesynchronise)
{
    g_max_reply_length = 64;
    send(g_bytes({0, 0, 0, 0}));
    std::vector<BYTE> oversized(4 + 65, 12); // a body of code bytes that must not be dispatched
    kv::store_u32(oversized.data(), 65);
    send(oversized);
    send_and_mark({});
    EXPECT_EQ(1u, fake.count_calls(IOCTL_BUS_REGISTER_SESSION));
    EXPECT_TRUE(fake.has_line(L"empty frame dropped"));
    EXPECT_TRUE(fake.has_line(L"frame too long, dropped - length:65"));

    // A length no terminal will ever fill: drained until the stop ends the read.
    send(g_bytes({0xFF, 0xFF, 0xFF, 0xFF}));
    ASSERT_TRUE(fake.wait_for_line(L"length:-1"));
    g_stop_threads();
    g_threads_started = false;
    EXPECT_TRUE(fake.has_line(L"Usb_manager::g_start_process_write_to_driver() - success"));
}

TEST_F(Reply_pump_test, StopBetweenHeaderAndBodyLeavesWithoutDispatch)
{
    send(g_bytes({10, 0, 0, 0, 12}));
    ASSERT_TRUE(
        fake.wait_for_line(L"Usb_manager::g_start_process_write_to_driver() - reading body"));
    g_stop_threads();
    g_threads_started = false;
    EXPECT_FALSE(fake.has_line(L"call process packet"));
    EXPECT_TRUE(fake.has_line(L"Unknown packet: code - 12, length - 10"));
    EXPECT_TRUE(fake.has_line(L"Usb_manager::g_start_process_write_to_driver() - success"));
}

} // namespace
