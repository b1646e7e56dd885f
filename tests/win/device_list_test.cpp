// Device list reconciliation on its own, and with the engine's poller and stop.
#include "support/device_fixture.h"
#include "manager/usb_driver.h"
#include "manager/usb_manager.h"
#include "packets/usb_packet_device_list.h"
#include "packets/usb_packet_open.h"
#include "shell/app_globals.h"

#include <functional>
#include <tuple>

namespace
{

using namespace sim_records;
using S = Usb_device_state;
using Entries = std::vector<std::pair<uint32_t, Usb_device_state>>;
using Ids = std::vector<uint32_t>;
using Device_list_test = Device_fixture;

TEST_F(Device_list_test, EveryEmptyListFormUnplugsTheOpenedDevicesAndEmptiesTheList)
{
    BYTE poller_request[5] = {1, 0, 0, 0, kv::code_device_list};
    const std::function<void()> forms[] = {
        [&] { Usb_packet_device_list(poller_request, false).process_return(); },
        [&]
        {
            sim.port_behaviour = [](const Ioctl_call&) { return Port_outcome::fail; };
            reconcile(reply({})); // the unplugs fail: the entries go all the same
        }};
    for (int form = 0; form < 2; ++form)
    {
        sim.clear_lines();
        reconcile(reply({record({.id = 10, .id1 = 1}), record({.id = 11, .id1 = 2}),
                         record({.id = 12, .id1 = 3})}));
        open_reply(10, 0);
        open_reply(11, 0);
        open_requests();
        const size_t before = port_calls(IOCTL_PORT_UNPLUG).size();
        forms[form]();
        EXPECT_TRUE(entries().empty()) << form;
        EXPECT_TRUE(open_requests().empty()) << form;
        // 12 still waited for its open reply: it leaves without a port driver call.
        const Ids unplugs = port_calls(IOCTL_PORT_UNPLUG);
        EXPECT_EQ(Ids({10, 11}), Ids(unplugs.begin() + before, unplugs.end())) << form;
        // The driver's own error (31), not one the logging left behind.
        EXPECT_EQ(form == 1 ? 2u : 0u, sim.count_lines(L"Unplug failed: 0x1f\n")) << form;
    }
}

TEST_F(Device_list_test, EachNewDeviceGetsOneOpenRequestUnlessTwinOrUntrusted)
{
    Bytes bad_name = record({.id = 3, .id1 = 3});
    bad_name[19] = static_cast<BYTE>(bad_name.size()); // skipped; too_short ends the list
    const Bytes one = record({.id = 1, .id1 = 1}), two = record({.id = 2, .id1 = 2}),
                five = record({.id = 5, .id1 = 5}), too_short = {8, 0, 4, 0, 0, 0, 0, 0},
                a = record({.id = 1}), b = record({.id = 2, .name = "Other"}),
                a_bare = record({.id = 1, .identity = nullptr}),
                b_bare = record({.id = 2, .identity = nullptr}),
                b_id3 = record({.id = 2, .id3 = 1});
    using Row = std::tuple<const char*, Bytes, Ids>;
    for (auto [name, frame, opened] : std::vector<Row>{
             {"duplicate id", reply({one, one, two}), {1, 2}},
             {"twins", reply({a, b}), {}},
             {"twins without identity strings", reply({a_bare, b_bare}), {}},
             {"one identity string", reply({a, b_bare}), {1, 2}},
             {"identity number 3 differs", reply({a, b_id3}), {1, 2}},
             // A later record ending exactly at the payload's end has no closing zero behind it.
             {"no closing zero", reply({one, two}, false), {1}},
             {"malformed", reply({one, bad_name, two, too_short, five}), {1, 2}}})
    {
        reconcile(frame);
        reconcile(frame); // twins go again at every reply
        EXPECT_EQ(opened, open_requests()) << name;
        EXPECT_EQ(opened.size(), entries().size()) << name;
        reconcile_empty();
    }
    EXPECT_TRUE(sim.calls().empty()); // nothing reaches the port driver before an open reply
}

TEST_F(Device_list_test, AnOpenedDeviceUnderANewIdIsUnpluggedAndReturnsOneReplyLater)
{
    make_opened(record({.id = 5}));
    open_requests();
    reconcile(reply({record({.id = 6})}));
    EXPECT_TRUE(entries().empty());
    EXPECT_EQ(Ids({5}), port_calls(IOCTL_PORT_UNPLUG));
    EXPECT_TRUE(open_requests().empty());
    reconcile(reply({record({.id = 6})}));
    EXPECT_EQ(Entries({{6, S::pending_return}}), entries());
    EXPECT_EQ(Ids({6}), open_requests());
}

TEST_F(Device_list_test, AFailedDeviceIsNotRetriedUntilItLeaves)
{
    Bytes nine = record({.id = 9, .id1 = 9}), three = record({.id = 3, .id1 = 3});
    reconcile(reply({nine, three}));
    open_reply(9, 5);
    for (int round = 0; round < 2; ++round)
        reconcile(reply({nine, three}));
    EXPECT_EQ(Entries({{9, S::failed}, {3, S::pending_return}}), entries());
    EXPECT_EQ(2u, sim.count_lines(L"process_return() - Device failed id:9 found:1."));
    EXPECT_EQ(Ids({9, 3}), open_requests());
    reconcile(reply({})); // neither was plugged in: no port driver call
    EXPECT_TRUE(entries().empty());
    reconcile(reply({nine}));
    EXPECT_EQ(Ids({9}), open_requests());
    EXPECT_TRUE(sim.calls().empty());
    sim.disconnect_terminal(); // an open request that cannot be written fails the device too
    reconcile(reply({record({.id = 4})}));
    EXPECT_EQ(Entries({{4, S::failed}}), entries());
}

class Device_engine_test : public Engine_fixture
{
  protected:
    void SetUp() override
    {
        Engine_fixture::SetUp();
        add_drivers();
        g_instance = GetModuleHandleW(nullptr); // the share dialog's module
        sim.port_behaviour = [](const Ioctl_call& call)
        { return call.code == IOCTL_PORT_QUERY ? Port_outcome::pend : Port_outcome::complete; };
        ASSERT_TRUE(g_start_threads());
        g_threads_started = true;
        ASSERT_TRUE(g_open_port_driver());
    }
    // Lists the devices and answers the last one's open request with status 0.
    void list_and_open(const std::vector<Bytes>& records)
    {
        Bytes list = reply(records), open = {6, 0, 0, 0, kv::code_open, 0, 0, 0, 0, 0};
        Usb_packet_device_list(list.data(), false).process_return();
        kv::store_u32(open.data() + 6, kv::record_device_id(records.back().data()));
        Usb_packet_open(open.data(), false).process_return();
    }
    size_t listed()
    {
        EXPECT_TRUE(g_lock_device_list());
        size_t n = g_device_list.size();
        g_unlock_device_list();
        return n;
    }
};

TEST_F(Device_engine_test, ThePollerUnplugsEverythingWhenDisconnectedOrItsRequestFails)
{
    for (int round = 0; round < 2; ++round)
    {
        list_and_open({record({.id = 50})});
        if (round == 0)
            g_threads_started = false;
        else
            sim.disconnect_terminal();
        ASSERT_TRUE(sim.wait_for_calls(IOCTL_PORT_UNPLUG, round + 1));
        EXPECT_TRUE(sim.wait_for_line(round == 0 ? L"session not connected unplug all devices."
                                                 : L"failed to send device list unplug devices."));
        EXPECT_EQ(0u, listed());
        g_threads_started = true;
    }
    EXPECT_EQ(2u, sim.count_calls(IOCTL_PORT_PLUG_IN));
    EXPECT_EQ(2u, sim.count_calls(IOCTL_PORT_UNPLUG));
}

TEST_F(Device_engine_test, TheStopUnplugsEverythingAndOpenDialogsStillTakeTheMutex)
{
    Bytes plugged = record({.id = 52, .id1 = 1}), asked = record({.id = 53, .id1 = 2});
    list_and_open({plugged});
    g_is_server_os = true;
    list_and_open({plugged, asked});
    g_is_server_os = false;
    ASSERT_NE(nullptr, g_wait_for_share_dialog());
    const HANDLE mutex = g_device_list_mutex;
    g_stop_threads();
    g_threads_started = false;
    EXPECT_EQ(1u, sim.count_calls(IOCTL_PORT_UNPLUG));
    EXPECT_EQ(0u, listed());
    // The mutex outlives the engine: the dialog's next tick takes it and ends the dialog.
    EXPECT_EQ(mutex, g_device_list_mutex);
    ASSERT_TRUE(sim.wait_for_line(L"dialog ended device:53 result:2", 6000));
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(mutex, 5000));
    ReleaseMutex(mutex);
    EXPECT_EQ(1u, sim.count_calls(IOCTL_PORT_PLUG_IN));
    ASSERT_TRUE(g_start_threads());
    g_threads_started = true;
    EXPECT_EQ(mutex, g_device_list_mutex);
}

} // namespace
