// The negotiation handler: version gate, session registration and the port driver retries.
#include "channel/server_channel.h"
#include "support/engine_fixture.h"
#include "manager/usb_driver.h"
#include "manager/usb_manager.h"
#include "shell/app_globals.h"
#include "packets/usb_packet_negotiate.h"

#include <algorithm>

namespace
{

std::vector<DWORD> g_sleeps;
Sim_platform* g_fake = nullptr;
size_t g_port_appears_after = 0; // sleeps before the port device shows up; 0 never
DWORD g_session = 0;

void record_sleep(DWORD milliseconds)
{
    g_sleeps.push_back(milliseconds);
    if (g_port_appears_after && g_sleeps.size() == g_port_appears_after)
        g_fake->port_devices.push_back({L"late-port", g_session, false});
}

class Negotiate_test : public Engine_fixture
{
  protected:
    void SetUp() override
    {
        Engine_fixture::SetUp();
        g_engine_timing = Engine_timing{}; // the production waits, recorded instead of slept
        g_sleeps.clear();
        g_fake = &fake;
        g_port_appears_after = 0;
        g_session = 42;
        g_session_id = 42;
        g_set_sleep_function(record_sleep);
        fake.bus_devices.push_back({L"bus", 0, false});
        ASSERT_TRUE(g_open_bus_driver());
        window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                                 nullptr);
        g_notify_icon_data.hWnd = window;
    }
    void TearDown() override
    {
        g_set_sleep_function(nullptr);
        g_close_port_driver();
        g_close_bus_driver();
        DestroyWindow(window);
        g_notify_icon_data.hWnd = nullptr;
        Engine_fixture::TearDown();
    }
    void negotiate(uint32_t version)
    {
        BYTE reply[9] = {5, 0, 0, 0, 12, 2, 0, 0, 0};
        Usb_packet_negotiate packet(reply, false, version);
        packet.process_return();
    }
    bool end_requested()
    {
        MSG msg;
        return PeekMessageW(&msg, window, WM_CLOSE, WM_CLOSE, PM_REMOVE) != FALSE;
    }
    std::vector<DWORD> bus_codes()
    {
        std::vector<DWORD> codes;
        for (const Ioctl_call& call : fake.calls())
            codes.push_back(call.code);
        return codes;
    }
    HWND window = nullptr;
};

TEST_F(Negotiate_test, VersionOtherThanTwoEndsTheApplicationWithoutTouchingTheBus)
{
    negotiate(1);
    EXPECT_TRUE(
        fake.has_line(L"Usb_packet_negotiate::process_return - The KRT is not using version 2.0"));
    EXPECT_TRUE(end_requested());
    EXPECT_TRUE(fake.calls().empty());
    EXPECT_TRUE(g_sleeps.empty());
}

TEST_F(Negotiate_test, UnregisterThenRegisterThenOpenAfterTheFirstWait)
{
    fake.port_devices.push_back({L"port", 42, false});
    fake.bus_unregister_fails = true; // tolerated: the session was not registered before
    negotiate(2);
    EXPECT_EQ(std::vector<DWORD>({IOCTL_BUS_UNREGISTER_SESSION, IOCTL_BUS_REGISTER_SESSION}),
              bus_codes());
    EXPECT_EQ(std::vector<BYTE>({42, 0, 0, 0}), fake.calls()[1].input);
    EXPECT_TRUE(
        fake.has_line(L"Usb_packet_negotiate::process_return - Handle 42 was not registered:0x1f"));
    EXPECT_EQ(std::vector<DWORD>({5000}), g_sleeps);
    EXPECT_NE(INVALID_HANDLE_VALUE, g_port_driver_handle);
    EXPECT_FALSE(end_requested());
}

TEST_F(Negotiate_test, RegisterFailureEndsTheApplicationAndOpensNothing)
{
    fake.port_devices.push_back({L"port", 42, false});
    fake.bus_register_fails = true;
    negotiate(2);
    EXPECT_TRUE(fake.has_line(L"Usb_packet_negotiate::process_return - Handle 42 was registered"));
    EXPECT_TRUE(fake.has_line(
        L"Usb_packet_negotiate::process_return - Register terminal server session failed:0x1f"));
    EXPECT_TRUE(end_requested());
    EXPECT_TRUE(fake.opened_paths.size() == 1); // only the bus driver
    EXPECT_TRUE(g_sleeps.empty());
}

TEST_F(Negotiate_test, PortDriverAppearingAtTheFifthAttempt)
{
    g_port_appears_after = 5;
    negotiate(2);
    EXPECT_EQ(std::vector<DWORD>({5000, 3000, 3000, 3000, 3000}), g_sleeps);
    EXPECT_EQ(4u, fake.count_lines(L"Usb_manager::g_open_port_driver() - return_value:false"));
    EXPECT_NE(INVALID_HANDLE_VALUE, g_port_driver_handle);
}

TEST_F(Negotiate_test, PortDriverThatNeverAppearsIsTriedTwentyOneTimes)
{
    negotiate(2);
    EXPECT_EQ(21u, fake.count_lines(L"Usb_manager::g_open_port_driver() - return_value:false"));
    ASSERT_EQ(21u, g_sleeps.size());
    EXPECT_EQ(5000u, g_sleeps.front());
    EXPECT_EQ(20u, static_cast<size_t>(std::count(g_sleeps.begin(), g_sleeps.end(), 3000u)));
    EXPECT_EQ(INVALID_HANDLE_VALUE, g_port_driver_handle);
    EXPECT_FALSE(end_requested());
}

TEST_F(Negotiate_test, RepeatedReplyKeepsTheOpenPortDriver)
{
    fake.port_devices.push_back({L"port", 42, false});
    negotiate(2);
    HANDLE first = g_port_driver_handle;
    negotiate(2);
    EXPECT_EQ(first, g_port_driver_handle);
    EXPECT_EQ(2u, fake.opened_paths.size()); // bus + port, once
}

} // namespace
