// The device list with the engine running: the poller and the stop unplug every device, and
// share dialogs outlive the stop.
#include "sim_records.h"
#include "support/engine_fixture.h"
#include "manager/usb_driver.h"
#include "manager/usb_manager.h"
#include "packets/usb_device_list.h"
#include "resources/resource.h"
#include "shell/app_globals.h"

namespace
{

using namespace sim_records;

class Device_engine_test : public Engine_fixture
{
  protected:
    void SetUp() override
    {
        Engine_fixture::SetUp();
        add_drivers();
        g_instance = GetModuleHandleW(nullptr);
        g_is_server_os = false;
        fake.port_behaviour = [](const Ioctl_call& call)
        {
            return call.code == IOCTL_PORT_PLUG_IN || call.code == IOCTL_PORT_UNPLUG
                       ? Port_outcome::complete
                       : Port_outcome::pend;
        };
        ASSERT_TRUE(g_start_threads());
        g_threads_started = true;
        ASSERT_EQ(9u, g_terminal_receive(fake.terminal(), 9).size());
        ASSERT_TRUE(g_open_port_driver());
    }
    void TearDown() override
    {
        Engine_fixture::TearDown();
        g_is_server_os = false;
    }
    void send(const Bytes& bytes)
    {
        ASSERT_TRUE(g_terminal_send(fake.terminal(), bytes));
    }
    // Skips the poller's device-list requests up to the next open request; 0 on time-out.
    uint32_t next_open_request()
    {
        for (int frames = 0; frames < 2000; ++frames)
        {
            std::vector<BYTE> header = g_terminal_receive(fake.terminal(), 5, 5000);
            if (header.size() != 5)
                return 0;
            std::vector<BYTE> body =
                g_terminal_receive(fake.terminal(), kv::load_u32(header.data()) - 1, 5000);
            if (header[4] == kv::code_open && body.size() == 4)
                return kv::load_u32(body.data());
        }
        return 0;
    }
    void answer_open(uint32_t id)
    {
        EXPECT_EQ(id, next_open_request());
        Bytes open_reply = {6, 0, 0, 0, kv::code_open, 0, 0, 0, 0, 0};
        kv::store_u32(open_reply.data() + 6, id);
        send(open_reply);
    }
    size_t listed()
    {
        EXPECT_TRUE(g_lock_device_list());
        size_t n = g_device_list.size();
        g_unlock_device_list();
        return n;
    }
    void plug_in(const Bytes& record)
    {
        send(reply({record}));
        answer_open(kv::record_device_id(record.data()));
        ASSERT_TRUE(fake.wait_for_calls(IOCTL_PORT_PLUG_IN, 1));
    }
};

TEST_F(Device_engine_test, APollerPassWhileDisconnectedUnplugsEverything)
{
    plug_in(record({.id = 50}));
    g_threads_started = false;
    ASSERT_TRUE(fake.wait_for_calls(IOCTL_PORT_UNPLUG, 1));
    EXPECT_TRUE(fake.wait_for_line(
        L"Usb_debug::g_start_process_device_list() - session not connected unplug all devices."));
    EXPECT_EQ(0u, listed());
    g_stop_threads();
    EXPECT_EQ(1u, fake.count_calls(IOCTL_PORT_UNPLUG));
}

TEST_F(Device_engine_test, AFailedDeviceListRequestUnplugsEverything)
{
    plug_in(record({.id = 51}));
    fake.disconnect_terminal();
    ASSERT_TRUE(fake.wait_for_calls(IOCTL_PORT_UNPLUG, 1));
    EXPECT_TRUE(fake.wait_for_line(L"Usb_debug::g_start_process_device_list() - failed to send "
                                   L"device list unplug devices."));
    EXPECT_EQ(0u, listed());
}

TEST_F(Device_engine_test, TheStopUnplugsEverythingAndOpenDialogsStillTakeTheMutex)
{
    Bytes plugged = record({.id = 52, .id1 = 1}), asked = record({.id = 53, .id1 = 2});
    plug_in(plugged);
    g_is_server_os = true;
    send(reply({plugged, asked}));
    answer_open(53);
    HWND dialog = nullptr;
    for (int i = 0; i < 2000 && !dialog; ++i, Sleep(5))
        dialog = FindWindowW(L"#32770", L"Kelvra USB Redirector");
    ASSERT_NE(nullptr, dialog);

    const HANDLE mutex = g_device_list_mutex;
    g_stop_threads();
    g_threads_started = false;
    EXPECT_EQ(1u, fake.count_calls(IOCTL_PORT_UNPLUG));
    EXPECT_EQ(0u, listed());
    // The mutex outlives the engine: the dialog's next tick takes it and ends the dialog.
    EXPECT_EQ(mutex, g_device_list_mutex);
    ASSERT_TRUE(fake.wait_for_line(
        L"Warning_popup::g_start_warning_popup() - dialog ended device:53 result:2", 6000));
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(mutex, 5000));
    ReleaseMutex(mutex);
    EXPECT_EQ(0u, fake.count_calls(IOCTL_PORT_PLUG_IN) - 1);

    ASSERT_TRUE(g_start_threads());
    g_threads_started = true;
    EXPECT_EQ(mutex, g_device_list_mutex);
}

} // namespace
