// Device list reconciliation: new devices, twins, devices that leave, and the unplug.
#include "support/device_fixture.h"
#include "manager/usb_driver.h"
#include "manager/usb_manager.h"
#include "packets/usb_packet_device_list.h"

namespace
{

using namespace sim_records;
using S = Usb_device_state;
using Entries = std::vector<std::pair<uint32_t, Usb_device_state>>;

class Device_list_test : public Device_fixture
{
};

TEST_F(Device_list_test, EveryEmptyListFormUnplugsTheOpenedDevicesAndEmptiesTheList)
{
    Bytes zero_payload = reply({});
    BYTE poller_request[5] = {1, 0, 0, 0, kv::code_device_list};
    for (int form = 0; form < 3; ++form)
    {
        SCOPED_TRACE(form);
        fake.clear_lines();
        reconcile(reply({record({.id = 10, .id1 = 1}), record({.id = 11, .id1 = 2}),
                         record({.id = 12, .id1 = 3})}));
        open_reply(10, 0);
        open_reply(11, 0);
        open_requests();
        size_t unplugs_before = port_calls(IOCTL_PORT_UNPLUG).size();
        ASSERT_EQ(Entries({{10, S::opened}, {11, S::opened}, {12, S::pending_return}}), entries());
        if (form == 0)
            reconcile(zero_payload);
        else if (form == 1)
        {
            Usb_packet_device_list request(poller_request, false);
            request.process_return();
        }
        else
            reconcile_empty();
        EXPECT_TRUE(entries().empty());
        std::vector<uint32_t> unplugs = port_calls(IOCTL_PORT_UNPLUG);
        EXPECT_EQ(std::vector<uint32_t>({10, 11}),
                  std::vector<uint32_t>(unplugs.begin() + unplugs_before, unplugs.end()));
        for (int id : {10, 11})
        {
            std::wstring n = std::to_wstring(id);
            EXPECT_EQ(1u, fake.count_lines(L"Usb_packet_device_list::process_return() - Device "
                                           L"opened id:" +
                                           n + L" found:0."));
            EXPECT_EQ(1u, fake.count_lines(L"Usb_packet_device_list::process_return() - Device "
                                           L"opened erasing id:" +
                                           n + L"."));
            EXPECT_TRUE(fake.has_line(L"Usb_packet_close::process_param() - Unplugged device: " +
                                      n + L"\n"));
        }
        EXPECT_TRUE(open_requests().empty());
    }
}

TEST_F(Device_list_test, NewDevicesAreOpenedOnceAndADuplicateIdOnlyLogsFound)
{
    Bytes seven = record({.id = 7, .id1 = 1}), eight = record({.id = 8, .id1 = 2});
    reconcile(reply({seven, seven, eight}));
    EXPECT_EQ(Entries({{7, S::pending_return}, {8, S::pending_return}}), entries());
    EXPECT_EQ(std::vector<uint32_t>({7, 8}), open_requests());
    EXPECT_EQ(1u, fake.count_lines(L"process_return() - Device found id:7."));
    EXPECT_TRUE(fake.has_line(L"process_return() - Device pending sent success id:8."));
    reconcile(reply({seven, eight}));
    EXPECT_TRUE(open_requests().empty());
    EXPECT_EQ(1u, fake.count_lines(L"process_return() - Device pending return id:8."));
    EXPECT_TRUE(fake.calls().empty()); // nothing reaches the port driver before an open reply
}

TEST_F(Device_list_test, TwinsInOneReplyAreDroppedAtEveryReply)
{
    for (const char* identity : {"SN-1", static_cast<const char*>(nullptr)})
    {
        Bytes a = record({.id = 1, .identity = identity}),
              b = record({.id = 2, .name = "Other", .identity = identity});
        for (int round = 0; round < 2; ++round)
        {
            reconcile(reply({a, b}));
            EXPECT_TRUE(entries().empty());
            EXPECT_TRUE(open_requests().empty());
        }
    }
    // One of the pair without identity string: not twins.
    reconcile(reply({record({.id = 1}), record({.id = 2, .identity = nullptr})}));
    EXPECT_EQ(std::vector<uint32_t>({1, 2}), open_requests());
}

TEST_F(Device_list_test, AnOpenedDeviceUnderANewIdIsUnpluggedAndReturnsOneReplyLater)
{
    make_opened(record({.id = 5}));
    open_requests();
    reconcile(reply({record({.id = 6})}));
    EXPECT_TRUE(entries().empty());
    EXPECT_EQ(std::vector<uint32_t>({5}), port_calls(IOCTL_PORT_UNPLUG));
    EXPECT_TRUE(open_requests().empty());
    reconcile(reply({record({.id = 6})}));
    EXPECT_EQ(Entries({{6, S::pending_return}}), entries());
    EXPECT_EQ(std::vector<uint32_t>({6}), open_requests());
    EXPECT_EQ(1u, port_calls(IOCTL_PORT_UNPLUG).size());
}

TEST_F(Device_list_test, ATrailingRecordWithoutClosingZeroIsNotTaken)
{
    reconcile(reply({record({.id = 1, .id1 = 1}), record({.id = 2, .id1 = 2})}, false));
    EXPECT_EQ(Entries({{1, S::pending_return}}), entries());
}

TEST_F(Device_list_test, MalformedRecordsAreLoggedAndNeverTaken)
{
    Bytes bad_name = record({.id = 3, .id1 = 3});
    bad_name[19] = static_cast<BYTE>(bad_name.size());
    Bytes too_short = {8, 0, 4, 0, 0, 0, 0, 0};
    reconcile(reply({record({.id = 1, .id1 = 1}), bad_name, record({.id = 2, .id1 = 2}), too_short,
                     record({.id = 5, .id1 = 5})}));
    EXPECT_EQ(Entries({{1, S::pending_return}, {2, S::pending_return}}), entries());
    EXPECT_EQ(1u, fake.count_lines(L"Usb_packet_device_list::process_return() - Malformed "
                                   L"record skipped - offset:"));
    EXPECT_EQ(1u, fake.count_lines(L"Usb_packet_device_list::process_return() - Malformed "
                                   L"record ends the list - offset:"));
}

TEST_F(Device_list_test, AFailedDeviceIsNotRetriedUntilItLeaves)
{
    Bytes nine = record({.id = 9});
    reconcile(reply({nine}));
    open_reply(9, 5);
    EXPECT_EQ(Entries({{9, S::failed}}), entries());
    for (int round = 0; round < 2; ++round)
        reconcile(reply({nine}));
    EXPECT_EQ(2u, fake.count_lines(L"process_return() - Device failed id:9 found:1."));
    EXPECT_EQ(std::vector<uint32_t>({9}), open_requests());
    reconcile(reply({}));
    EXPECT_TRUE(fake.has_line(L"process_return() - Device failed erasing id:9."));
    EXPECT_TRUE(entries().empty());
    reconcile(reply({nine}));
    EXPECT_EQ(std::vector<uint32_t>({9}), open_requests());
    EXPECT_TRUE(fake.calls().empty());
}

TEST_F(Device_list_test, AnOpenRequestThatCannotBeWrittenFailsTheDevice)
{
    fake.disconnect_terminal();
    reconcile(reply({record({.id = 4})}));
    EXPECT_EQ(Entries({{4, S::failed}}), entries());
    EXPECT_TRUE(fake.has_line(L"process_return() - Device pending sent failed id:4."));
}

TEST_F(Device_list_test, APendingReturnDeviceLeavesWithoutAPortDriverCall)
{
    reconcile(reply({record({.id = 3})}));
    reconcile(reply({}));
    EXPECT_TRUE(entries().empty());
    EXPECT_TRUE(fake.calls().empty());
}

TEST_F(Device_list_test, AFailedUnplugStillErasesTheEntry)
{
    make_opened(record({.id = 6}));
    fake.port_behaviour = [](const Ioctl_call&) { return Port_outcome::fail; };
    reconcile(reply({}));
    EXPECT_TRUE(entries().empty());
    EXPECT_EQ(std::vector<uint32_t>({6}), port_calls(IOCTL_PORT_UNPLUG));
    // The driver's own error (31), not one the logging left behind.
    EXPECT_TRUE(fake.has_line(L"Usb_packet_close::process_param() - Unplug failed: 0x1f\n"));
}

TEST_F(Device_list_test, WithoutMutexTheReconciliationLogsAndLeaves)
{
    HANDLE kept = g_device_list_mutex;
    g_device_list_mutex = INVALID_HANDLE_VALUE;
    reconcile(reply({record({.id = 1})}));
    g_device_list_mutex = kept;
    EXPECT_TRUE(fake.has_line(L"Usb_device_list::g_lock_device_list() - no g_device_list_mutex"));
    EXPECT_TRUE(entries().empty());
}

} // namespace
