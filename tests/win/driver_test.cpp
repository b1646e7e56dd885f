// Finding and opening the two drivers, and the overlapped port driver call.
#include "channel/server_channel.h"
#include "support/engine_fixture.h"
#include "manager/usb_driver.h"

#include <thread>

namespace
{

class Driver_test : public Engine_fixture
{
  protected:
    void SetUp() override
    {
        Engine_fixture::SetUp();
        g_session_id = 7;
        abort_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    void TearDown() override
    {
        CloseHandle(abort_event);
        Engine_fixture::TearDown();
    }
    void open_port()
    {
        fake.port_devices = {{L"port-a", 7, false}};
        ASSERT_TRUE(g_open_port_driver());
        fake.clear_lines();
    }
    bool call(DWORD code = IOCTL_PORT_QUERY)
    {
        DWORD returned = 0;
        return g_call_port_driver(code, buffer, sizeof buffer, &returned, abort_event);
    }
    HANDLE abort_event = nullptr;
    BYTE buffer[64] = {};
};

TEST_F(Driver_test, PortDriverIsTheFirstDeviceOfTheSession)
{
    EXPECT_FALSE(g_open_port_driver());
    EXPECT_TRUE(fake.has_line(L"Usb_manager::g_open_port_driver() - return_value:false"));

    fake.port_devices = {{L"port-other", 3, false}};
    EXPECT_FALSE(g_open_port_driver());
    EXPECT_EQ(INVALID_HANDLE_VALUE, g_port_driver_handle);

    fake.port_devices = {{L"port-other", 3, false}, {L"port-a", 7, false}, {L"port-b", 7, false}};
    fake.clear_lines();
    EXPECT_TRUE(g_open_port_driver());
    EXPECT_EQ(std::vector<std::wstring>({L"port-a"}), fake.opened_paths);
    EXPECT_EQ(reinterpret_cast<HANDLE>(0x7A01), g_port_driver_handle);
    EXPECT_TRUE(fake.has_line(L"Usb_manager::g_open_port_driver() - success return_value:true"));
}

TEST_F(Driver_test, PortDeviceNotReady)
{
    fake.port_devices = {{L"port-a", 7, true}};
    EXPECT_FALSE(g_open_port_driver());
    EXPECT_TRUE(fake.has_line(L"Usb_manager::g_open_port_driver() - Device not ready (Port)"));
    EXPECT_EQ(INVALID_HANDLE_VALUE, g_port_driver_handle);
}

TEST_F(Driver_test, BusDriverOpenAndClose)
{
    EXPECT_FALSE(g_open_bus_driver());
    EXPECT_TRUE(
        fake.has_line(L"Usb_manager::g_open_bus_driver() - nterface is not registered (Bus)"));
    EXPECT_TRUE(fake.has_line(L"Usb_manager::g_open_bus_driver() - return_value:0"));

    fake.bus_devices = {{L"bus", 0, false}};
    EXPECT_TRUE(g_open_bus_driver());
    EXPECT_TRUE(fake.has_line(L"Usb_manager::g_open_bus_driver() - return_value:1"));
    EXPECT_TRUE(g_close_bus_driver());
    EXPECT_TRUE(fake.has_line(L"Usb_manager::g_close_bus_driver() - success return_value:1"));
    EXPECT_EQ(INVALID_HANDLE_VALUE, g_bus_driver_handle);
    EXPECT_FALSE(g_close_bus_driver());
    EXPECT_TRUE(fake.has_line(L"Usb_manager::g_close_bus_driver() - success return_value:0"));
}

TEST_F(Driver_test, CallWithoutPortDriverFailsAtOnce)
{
    EXPECT_FALSE(call());
    EXPECT_TRUE(fake.has_line(L"Usb_manager::g_call_port_driver() - invalid handle"));
    EXPECT_TRUE(
        fake.has_line(L"Usb_manager::g_call_port_driver() - success valid_data_returned:0"));
    EXPECT_TRUE(fake.calls().empty());
}

TEST_F(Driver_test, ImmediateCompletionNeverLooksAtTheAbortEvent)
{
    open_port();
    fake.port_behaviour = [](const Ioctl_call&) { return Port_outcome::complete; };
    SetEvent(abort_event);
    EXPECT_TRUE(call());
    EXPECT_EQ(0, fake.cancel_calls);
    EXPECT_TRUE(
        fake.has_line(L"Usb_manager::g_call_port_driver() - success valid_data_returned:1"));
}

TEST_F(Driver_test, AbortAlreadySignalledCancelsAPendingCall)
{
    open_port();
    SetEvent(abort_event);
    EXPECT_FALSE(call());
    EXPECT_TRUE(fake.has_line(L"Usb_manager::g_call_port_driver() - Calling CancelIO"));
    EXPECT_EQ(1, fake.cancel_calls);
    EXPECT_EQ(0u, fake.pending_count());
}

TEST_F(Driver_test, OperationEventWinsWhenBothAreSignalled)
{
    open_port();
    fake.port_behaviour = [](const Ioctl_call&) { return Port_outcome::pend_done; };
    SetEvent(abort_event);
    EXPECT_TRUE(call());
    EXPECT_EQ(0, fake.cancel_calls);
}

TEST_F(Driver_test, PendingCallCompletesLaterWithItsData)
{
    open_port();
    std::thread driver(
        [&]
        {
            fake.wait_for_calls(IOCTL_PORT_QUERY, 1);
            fake.complete_pending(IOCTL_PORT_QUERY, g_bytes({5, 0, 0, 0, 7}));
        });
    EXPECT_TRUE(call());
    driver.join();
    EXPECT_EQ(7, buffer[4]);
    auto calls = fake.calls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(IOCTL_PORT_QUERY, calls[0].code);
    EXPECT_EQ(sizeof buffer, calls[0].input.size());
}

TEST_F(Driver_test, AbortWhileWaitingCancelsOnlyThisThreadsCall)
{
    open_port();
    std::thread other(
        [&]
        {
            HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            BYTE own[8];
            DWORD returned;
            EXPECT_TRUE(g_call_port_driver(IOCTL_PORT_COMPLETE, own, 8, &returned, never));
            CloseHandle(never);
        });
    ASSERT_TRUE(fake.wait_for_calls(IOCTL_PORT_COMPLETE, 1));
    std::thread aborter(
        [&]
        {
            fake.wait_for_calls(IOCTL_PORT_QUERY, 1);
            SetEvent(abort_event);
        });
    EXPECT_FALSE(call());
    aborter.join();
    EXPECT_EQ(1u, fake.pending_count()); // the other thread's call survives the cancel
    fake.complete_pending(IOCTL_PORT_COMPLETE);
    other.join();
}

TEST_F(Driver_test, ImmediateFailureIsLoggedWithItsError)
{
    open_port();
    fake.port_behaviour = [](const Ioctl_call&) { return Port_outcome::fail; };
    EXPECT_FALSE(call());
    EXPECT_TRUE(fake.has_line(L"Usb_manager::g_call_port_driver() - DeviceIoControl Failed: 31"));
}

} // namespace
