// Device list reconciliation on its own, and with the engine's poller and stop.
#include "support/fixtures.h"
#include "manager/usb_driver.h"
#include "manager/usb_manager.h"
#include "packets/usb_packet_device_list.h"
#include "shell/app_globals.h"

#include <tuple>

namespace
{

using S = Usb_device_state;
using Entries = std::vector<std::pair<uint32_t, Usb_device_state>>;
using Ids = std::vector<uint32_t>;
using Device_list_test = Device_fixture;

TEST_F(Device_list_test, EveryEmptyListFormUnplugsTheOpenedDevicesAndEmptiesTheList)
{
    BYTE poller_request[5] = {1, 0, 0, 0, kv::code_device_list}; // the poller's own on failure
    for (int form = 0; form < 2; ++form)
    {
        sim.clear_lines();
        reconcile({record({.id = 10, .id1 = 1}), record({.id = 11, .id1 = 2}),
                   record({.id = 12, .id1 = 3})});
        open_reply(10, 0);
        open_reply(11, 0);
        open_requests();
        const size_t before = port_calls(IOCTL_PORT_UNPLUG).size();
        sim.failing_code = form == 1 ? IOCTL_PORT_UNPLUG : 0; // the entries go all the same
        if (form == 0)
            Usb_packet_device_list(poller_request, false).process_return();
        else
            reconcile({});
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
    using Row = std::tuple<const char*, std::vector<Bytes>, bool, Ids>;
    for (auto [name, records, closing_zero, opened] : std::vector<Row>{
             {"duplicate id", {one, one, two}, true, {1, 2}},
             {"twins", {a, b}, true, {}},
             {"twins without identity strings", {a_bare, b_bare}, true, {}},
             {"one identity string", {a, b_bare}, true, {1, 2}},
             {"identity number 3 differs", {a, b_id3}, true, {1, 2}},
             // A later record ending exactly at the payload's end has no closing zero behind it.
             {"no closing zero", {one, two}, false, {1}},
             {"malformed", {one, bad_name, two, too_short, five}, true, {1, 2}}})
    {
        reconcile(records, closing_zero);
        reconcile(records, closing_zero); // twins go again at every reply
        EXPECT_EQ(opened, open_requests()) << name;
        EXPECT_EQ(opened.size(), entries().size()) << name;
        reconcile_empty();
    }
    EXPECT_TRUE(sim.calls().empty()); // nothing reaches the port driver before an open reply
}

// An opened device under a new id is unplugged and returns one reply later; a failed device is
// not retried until it leaves.
TEST_F(Device_list_test, ADeviceThatChangedOrFailedIsOpenedAgainOnlyAfterLeaving)
{
    make_opened(record({.id = 5}));
    for (int round = 0; round < 2; ++round)
        reconcile({record({.id = 6})});
    EXPECT_EQ(Ids({5}), port_calls(IOCTL_PORT_UNPLUG));
    EXPECT_EQ(Entries({{6, S::pending_return}}), entries());
    EXPECT_EQ(Ids({5, 6}), open_requests());
    const Bytes nine = record({.id = 9, .id1 = 9}), three = record({.id = 3, .id1 = 3});
    reconcile({nine, three});
    open_reply(9, 5);
    for (int round = 0; round < 2; ++round)
        reconcile({nine, three});
    EXPECT_EQ(Entries({{9, S::failed}, {3, S::pending_return}}), entries());
    EXPECT_EQ(2u, sim.count_lines(L"process_return() - Device failed id:9 found:1."));
    reconcile({}); // neither was plugged in: no port driver call
    reconcile({nine});
    EXPECT_EQ(Ids({9, 3, 9}), open_requests());
    EXPECT_EQ(1u, port_calls(IOCTL_PORT_UNPLUG).size());
    sim.disconnect_terminal(); // an open request that cannot be written fails the device too
    reconcile({record({.id = 4})});
    EXPECT_EQ(Entries({{4, S::failed}}), entries());
}

using Device_engine_test = Engine_fixture;

TEST_F(Device_engine_test, TheStopUnplugsEverythingAndOpenDialogsStillTakeTheMutex)
{
    sim.add_drivers();
    g_instance = GetModuleHandleW(nullptr); // the share dialog's module
    ASSERT_TRUE(g_threads_started = g_start_threads());
    ASSERT_TRUE(g_open_port_driver());
    const Bytes plugged = record({.id = 52, .id1 = 1}), asked = record({.id = 53, .id1 = 2});
    make_opened(plugged);
    g_is_server_os = true;
    reconcile({plugged, asked});
    open_reply(53, 0);
    g_is_server_os = false;
    ASSERT_NE(nullptr, g_wait_for_share_dialog());
    const HANDLE mutex = g_device_list_mutex;
    g_stop_threads();
    g_threads_started = false;
    EXPECT_EQ(1u, sim.count_calls(IOCTL_PORT_UNPLUG));
    EXPECT_TRUE(entries().empty());
    // The mutex outlives the engine: the dialog's next tick takes it and ends the dialog.
    EXPECT_EQ(mutex, g_device_list_mutex);
    ASSERT_TRUE(sim.wait_for_line(L"dialog ended device:53 result:2", 6000));
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(mutex, 5000));
    ReleaseMutex(mutex);
    EXPECT_EQ(1u, sim.count_calls(IOCTL_PORT_PLUG_IN));
    ASSERT_TRUE(g_threads_started = g_start_threads());
    EXPECT_EQ(mutex, g_device_list_mutex);
}

} // namespace
