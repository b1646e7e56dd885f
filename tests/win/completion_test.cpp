// Completions for the port driver: status replies, reap replies, MDL transfers; and the
// request pump that forwards the port driver's requests or answers them with a failure.
#include "support/fixtures.h"
#include "driver/usb_driver.h"
#include "manager/usb_manager.h"
#include "packets/mdl_urb_list.h"
#include "packets/usb_packet_types.h"

#include <tuple>
#include <utility>

namespace
{

using Sent = std::vector<Bytes>;

// A 27-byte reap completion (code 16) or reap reply (code 8) of device 7.
Bytes reap(BYTE code, BYTE flags, BYTE status, uint32_t handle, uint32_t length, const void* at)
{
    return le(uint32_t{23}, code, uint32_t{7}, flags, status, handle, length,
              reinterpret_cast<uint64_t>(at));
}

class Completion_test : public Device_fixture
{
  protected:
    void SetUp() override
    {
        Device_fixture::SetUp();
        make_opened(seven);
        g_terminal_drain(sim.terminal());
    }
    Sent completions()
    {
        return sim.inputs(IOCTL_PORT_COMPLETE);
    }
    void reply(Bytes frame)
    {
        Usb_packet_reap_urb(frame.data(), false).process_return();
    }
    const Bytes seven = record({.id = 7});
};

TEST_F(Completion_test, RepliesBecomeCompletionsMdlDataLandingInTheOldestMatchingBufferOnly)
{
    for (auto [mapped, data, copied, after] : std::vector<std::tuple<uint32_t, Bytes, BYTE, Bytes>>{
             {8, {1, 2, 3, 4}, 4, {1, 2, 3, 4, 9, 9, 9, 9}},    // all there
             {4, {}, 0, {9, 9, 9, 9, 9, 9, 9, 9}},              // announced, not there
             {8, {1, 2, 3, 4, 5}, 0, {9, 9, 9, 9, 9, 9, 9, 9}}, // other than announced
             {2, {5, 6, 7, 8}, 2, {5, 6, 9, 9, 9, 9, 9, 9}}})   // more than mapped
    {
        BYTE buffer[8] = {9, 9, 9, 9, 9, 9, 9, 9}, newer[4] = {}, other_device[4] = {};
        // An older transfer of another device under the same handle is not this one.
        g_append_mdl_urb_record({8, 8, 0x55, 4, reinterpret_cast<uintptr_t>(other_device)});
        g_append_mdl_urb_record({7, 8, 0x55, mapped, reinterpret_cast<uintptr_t>(buffer)});
        g_append_mdl_urb_record({7, 8, 0x55, 4, reinterpret_cast<uintptr_t>(newer)});
        reply(reap_reply(0x55, 4, data));
        EXPECT_EQ(reap(16, 0x21, 0, 0x55, copied, buffer), completions().back()) << mapped;
        EXPECT_EQ(after, Bytes(buffer, buffer + 8)) << mapped;
        EXPECT_EQ(Bytes(4, 0), Bytes(other_device, other_device + 4)) << mapped;
        EXPECT_EQ(2u, g_mdl_urb_record_count()) << mapped;
        g_discard_mdl_urb_records();
    }
    // A mapped buffer that cannot be written: no completion, the failure logged.
    void* read_only = VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READONLY);
    g_append_mdl_urb_record({7, 8, 0x56, 4, reinterpret_cast<uintptr_t>(read_only)});
    reply(reap_reply(0x56, 4, {1, 2, 3, 4}));
    EXPECT_EQ(4u, completions().size());
    EXPECT_TRUE(sim.has_line(L"(memcpy_s threw an exception"));
    VirtualFree(read_only, 0, MEM_RELEASE);
    // A device the list does not hold: no completion, but its record is gone all the same.
    BYTE other[4] = {};
    g_append_mdl_urb_record({99, 8, 0x61, 4, reinterpret_cast<uintptr_t>(other)});
    reply(reap_reply(0x61, 4, {2, 2, 2, 2}, 99));
    EXPECT_EQ(0, other[0]);
    EXPECT_EQ(0u, g_mdl_urb_record_count());
}

TEST_F(Completion_test, ThePumpForwardsWhatItCanAndAnswersTheRestWithMadeUpFailures)
{
    BYTE buffer[16] = {};
    ASSERT_TRUE(sim.hand_request(mdl_request(0x80, 16, buffer)));
    EXPECT_EQ(1u, g_mdl_urb_record_count());
    const Bytes sent = g_terminal_receive(sim.terminal(), 24);
    ASSERT_EQ(24u, sent.size());
    EXPECT_EQ(Bytes({20, 0, 0, 0, kv::code_queue_urb}), Bytes(sent.begin(), sent.begin() + 5));
    // Exactly the query buffer: forwarded whole.
    Bytes full = le(uint32_t{k_port_query_buffer_size - 4}, BYTE{7}, uint32_t{7}, uint32_t{0x7F});
    full.resize(k_port_query_buffer_size, 0x7E);
    ASSERT_TRUE(sim.hand_request(full));
    EXPECT_EQ(full, g_terminal_receive(sim.terminal(), full.size()));
    EXPECT_TRUE(completions().empty());
    sim.disconnect_terminal();
    // Waiting for the device list, the pump holds no MDL list: reaps take them in that order.
    g_device_list_mutex.hold();
    const uint64_t next = sim.queries + 1;
    sim.queue_request(mdl_request(0x81, 16, buffer));
    Sleep(50);
    if (g_mdl_urb_list_mutex.try_hold())
        g_mdl_urb_list_mutex.release();
    else
        ADD_FAILURE() << "the pump holds the MDL list while it waits for the device list";
    g_device_list_mutex.release();
    for (int i = 0; i < 1000 && sim.queries < next; ++i)
        Sleep(5);
    EXPECT_EQ(1u, g_mdl_urb_record_count()); // 0x80's; 0x81's taken out again, unsent
    // Every status request gets a status completion with 12 (clear halted, a log line only);
    // a cancel gets nothing.
    Sent expected = {reap(8, 1, 12, 0x81, 0, nullptr)};
    for (BYTE code : {2, 3, 4, 5, 6, 9, 10})
    {
        ASSERT_TRUE(sim.hand_request({9, 0, 0, 0, code, 7, 0, 0, 0, 0, 0, 0, 0}));
        if (code <= 6)
            expected.push_back(
                le(uint32_t{6}, code, BYTE{12}, uint32_t{7}, uint64_t{0}, uint64_t{0}, BYTE{0}));
    }
    EXPECT_EQ(expected, completions());
}

TEST_F(Completion_test, MdlRequestGoesOutAsCodeSevenWithItsOutDataOrNotAtAll)
{
    const BYTE data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    void* unreadable = VirtualAlloc(nullptr, 4096, MEM_RESERVE, PAGE_NOACCESS);
    using Row = std::tuple<const char*, BYTE, uint32_t, const void*, size_t, const wchar_t*, BYTE>;
    for (auto [name, direction, length, address, sent, line, devid] :
         {Row{"no out data: rewritten in place", 1, 512, data, 24, nullptr, 7},
          Row{"empty out data", 2, 0, nullptr, 24, nullptr, 7},
          Row{"null out data", 2, 8, nullptr, 0, L"(memcpy_s failed - error:22)", 7},
          Row{"unreadable out data", 2, 16, unreadable, 0, L"(memcpy_s threw an exception", 7},
          Row{"out data too long to frame", 2, 0xFFFFFFF0u, data, 0, nullptr, 7},
          Row{"out data of a device not listed: never read", 2, 8, data, 0, nullptr, 9}})
    {
        SCOPED_TRACE(name);
        sim.clear_lines();
        Bytes request = mdl_request(0x05060708, length, address, direction, devid);
        const Bytes original = request;
        EXPECT_EQ(sent != 0, Usb_packet_queue_mdl_urb(request.data(), false).process_param());
        EXPECT_EQ(original, request); // code 15 and length 28 again
        EXPECT_TRUE(!line || sim.has_line(line));
        Bytes expected(original.begin(), original.begin() + 24);
        expected[0] = static_cast<BYTE>(sent - 4);
        expected[4] = kv::code_queue_urb;
        expected.resize(std::max<size_t>(sent, 24));
        EXPECT_EQ(sent ? expected : Bytes(), g_terminal_drain(sim.terminal()));
    }
    VirtualFree(unreadable, 0, MEM_RELEASE);
}

} // namespace
