// Engine start and stop against the fake channel and drivers.
#include "channel/server_channel.h"
#include "support/engine_fixture.h"
#include "manager/usb_driver.h"
#include "manager/usb_manager.h"

namespace
{

const std::vector<BYTE> k_negotiate = {0x05, 0, 0, 0, 0x0C, 0x02, 0, 0, 0};
const std::vector<BYTE> k_device_list_request = {0x01, 0, 0, 0, 0x0B};

class Engine_test : public Engine_fixture
{
  protected:
    void start()
    {
        ASSERT_TRUE(g_start_threads());
        g_threads_started = true;
    }
    void stop()
    {
        g_stop_threads();
        g_threads_started = false;
    }
};

TEST_F(Engine_test, StartSendsTheNegotiationAndStopEndsAllThreads)
{
    add_drivers();
    start();
    EXPECT_EQ(k_negotiate, g_terminal_receive(fake.terminal(), 9));
    EXPECT_TRUE(fake.has_line(L"Usb_manager::g_start_threads - process_return - success"));
    EXPECT_NE(INVALID_HANDLE_VALUE, g_mdl_urb_list_mutex);
    stop();
    EXPECT_TRUE(fake.has_line(L"Usb_manager::g_start_process_read_from_driver() - success"));
    EXPECT_TRUE(fake.has_line(L"Usb_manager::g_start_process_write_to_driver() - success"));
    EXPECT_TRUE(fake.has_line(L"Usb_manager::g_start_process_device_list() - success"));
    EXPECT_EQ(1u, fake.count_lines(L"Usb_manager::g_stop_threads() - All threads have ended"));
    EXPECT_TRUE(fake.has_line(L"Usb_manager::g_stop_threads() - success"));
    EXPECT_EQ(INVALID_HANDLE_VALUE, g_mdl_urb_list_mutex);
    EXPECT_EQ(INVALID_HANDLE_VALUE, g_exit_now_read_event);
    EXPECT_FALSE(g_virtual_channel.is_open());
    // The session is unregistered with the id the channel recorded.
    auto calls = fake.calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(IOCTL_BUS_UNREGISTER_SESSION, calls.back().code);
    DWORD session = own_session();
    EXPECT_EQ(
        std::vector<BYTE>(reinterpret_cast<BYTE*>(&session), reinterpret_cast<BYTE*>(&session) + 4),
        calls.back().input);
}

TEST_F(Engine_test, StopWhileThePumpsBlockCancelsTheirWaits)
{
    add_drivers();
    start();
    g_session_id = own_session();
    ASSERT_TRUE(g_open_port_driver());
    ASSERT_TRUE(fake.wait_for_calls(IOCTL_PORT_QUERY, 1));
    ASSERT_TRUE(fake.wait_for_line(L"ServerChannel::read (entered while loop"));
    stop();
    EXPECT_GE(fake.cancel_calls, 1);
    EXPECT_EQ(0u, fake.pending_count());
    EXPECT_TRUE(fake.has_line(L"ServerChannel::read (WAIT_OBJECT_0 + 1)"));
    EXPECT_TRUE(fake.has_line(L"Usb_manager::g_close_port_driver() - success return_value:1"));
}

TEST_F(Engine_test, StopWithoutPortDriverLogsTheCloseFailure)
{
    add_drivers();
    fake.bus_unregister_fails = true;
    start();
    stop();
    EXPECT_TRUE(fake.has_line(L"Usb_manager::g_close_port_driver() - success return_value:0"));
    EXPECT_TRUE(
        fake.has_line(L"Usb_manager:~Usb_manager() - g_port_driver_handle CloseHandle() failed"));
    EXPECT_TRUE(fake.has_line(L"was not registered:0x1f"));
    EXPECT_TRUE(fake.has_line(L"Usb_manager::g_stop_threads() - success"));
}

TEST_F(Engine_test, RestartRunsInitializeAgainAndNegotiatesAgain)
{
    add_drivers();
    start();
    EXPECT_EQ(k_negotiate, g_terminal_receive(fake.terminal(), 9));
    stop();
    start();
    EXPECT_EQ(k_negotiate, g_terminal_receive(fake.terminal(), 9));
    EXPECT_EQ(2u, fake.count_lines(L"Usb_manager::initialize() - success."));
    EXPECT_EQ(2, fake.channel_opens);
}

TEST_F(Engine_test, StartFailsCleanlyWithoutChannel)
{
    add_drivers();
    fake.channel_fails = true;
    EXPECT_FALSE(g_start_threads());
    EXPECT_TRUE(fake.has_line(L"Usb_manager::initialize() - g_virtual_channel.open() failed."));
    EXPECT_TRUE(fake.has_line(L"Usb_manager::g_start_threads() - initialize failed"));
    EXPECT_FALSE(fake.has_line(L"created"));
    EXPECT_EQ(INVALID_HANDLE_VALUE, g_virtual_channel_mutex);
}

TEST_F(Engine_test, FailedInitializeReleasesWhatItOpened)
{
    fake.port_devices.push_back({L"port", own_session(), false}); // no bus driver
    EXPECT_FALSE(g_start_threads());
    EXPECT_TRUE(fake.has_line(L"Usb_manager::initialize() - g_open_bus_driver failed."));
    EXPECT_FALSE(g_virtual_channel.is_open());
    EXPECT_EQ(INVALID_HANDLE_VALUE, g_virtual_channel_mutex);
}

Sim_platform* g_disconnecting = nullptr;
HANDLE disconnect_then_create(LPTHREAD_START_ROUTINE routine)
{
    g_disconnecting->disconnect_terminal();
    return CreateThread(nullptr, 0, routine, nullptr, 0, nullptr);
}

TEST_F(Engine_test, UnsentNegotiationStopsTheEngineAgain)
{
    add_drivers();
    g_disconnecting = &fake;
    g_set_thread_creator(disconnect_then_create);
    EXPECT_FALSE(g_start_threads());
    EXPECT_TRUE(
        fake.has_line(L"Usb_manager::g_start_threads - process_return - packet_negotiate failed"));
    EXPECT_TRUE(fake.has_line(L"Usb_manager::g_stop_threads() - All threads have ended"));
    EXPECT_FALSE(g_virtual_channel.is_open());
}

HANDLE fail_for_poller(LPTHREAD_START_ROUTINE routine)
{
    if (routine == g_start_process_device_list)
    {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return CreateThread(nullptr, 0, routine, nullptr, 0, nullptr);
}

TEST_F(Engine_test, AThreadThatCannotBeCreatedIsReportedAndNotWaitedFor)
{
    add_drivers();
    g_set_thread_creator(fail_for_poller);
    start();
    EXPECT_TRUE(fake.has_line(
        L"Usb_manager::g_start_threads() - CreateThread failed for g_start_process_device_list "
        L"(error:8)"));
    EXPECT_FALSE(fake.has_line(L"thread g_start_process_device_list created"));
    stop();
    EXPECT_TRUE(fake.has_line(L"Usb_manager::g_stop_threads() - All threads have ended"));
}

TEST_F(Engine_test, PollerAsksForTheDeviceListWhileConnected)
{
    add_drivers();
    start();
    EXPECT_EQ(k_negotiate, g_terminal_receive(fake.terminal(), 9));
    EXPECT_EQ(k_device_list_request, g_terminal_receive(fake.terminal(), 5));
    EXPECT_TRUE(fake.wait_for_line(
        L"Usb_debug::g_start_process_device_list() - send device list request successfully."));
}

TEST_F(Engine_test, PollerSendsNothingWhileDisconnected)
{
    add_drivers();
    ASSERT_TRUE(g_start_threads()); // g_threads_started stays false
    EXPECT_TRUE(fake.wait_for_line(
        L"Usb_debug::g_start_process_device_list() - session not connected unplug all devices."));
    EXPECT_EQ(k_negotiate, g_terminal_receive(fake.terminal(), 9));
    EXPECT_EQ(0u, g_terminal_available(fake.terminal()));
    g_stop_threads();
}

} // namespace
