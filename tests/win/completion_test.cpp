// Completions for the port driver: status replies, reap replies, MDL transfers; and the
// request pump that forwards the port driver's requests or answers them with a failure.
#include "support/allocation_faults.h"
#include "support/device_fixture.h"
#include "manager/usb_driver.h"
#include "manager/usb_manager.h"
#include "packets/mdl_urb_list.h"
#include "packets/usb_packet_types.h"

#include <cstring>
#include <tuple>
#include <utility>

namespace
{

using sim_records::Bytes;
using Sent = std::vector<Bytes>;

// A 27-byte reap completion (code 16) or reap reply (code 8) with its data length field.
Bytes reap(BYTE code, BYTE flags, BYTE status, uint32_t handle, uint32_t length, const void* at)
{
    Bytes c(27, 0);
    kv::store_u32(c.data(), 23);
    c[4] = code;
    c[5] = 7; // device id
    c[9] = flags;
    c[10] = status;
    kv::store_u32(c.data() + 11, handle);
    kv::store_u32(c.data() + 15, length);
    kv::store_u64(c.data() + 19, reinterpret_cast<uintptr_t>(at));
    return c;
}

// The terminal's reap reply: the announced length, then what data there is.
Bytes reap_reply(uint32_t handle, uint32_t length, const Bytes& data, uint32_t devid = 7)
{
    Bytes r = reap(kv::code_reap_urb, 0x21, 0, handle, length, nullptr);
    r.resize(19);
    kv::store_u32(r.data() + 5, devid);
    r.insert(r.end(), data.begin(), data.end());
    kv::store_u32(r.data(), static_cast<uint32_t>(r.size() - 4));
    return r;
}

// An MDL URB request from the device (sent in place as a code 7 request of 24 bytes).
Bytes mdl_request(uint32_t handle, uint32_t length, void* data)
{
    Bytes r(32, 0);
    kv::store_u32(r.data(), 28);
    r[4] = kv::code_queue_mdl_urb;
    r[5] = 7; // device id
    kv::store_u32(r.data() + 9, handle);
    r[15] = 1;
    kv::store_u32(r.data() + 20, length);
    kv::store_u64(r.data() + 24, reinterpret_cast<uintptr_t>(data));
    return r;
}

// Device 7 is listed and the request pump runs, its queries pending until hand_request.
class Completion_test : public Device_fixture
{
  protected:
    void SetUp() override
    {
        Device_fixture::SetUp();
        sim.port_behaviour = [](const Ioctl_call& call)
        { return call.code == IOCTL_PORT_QUERY ? Port_outcome::pend : Port_outcome::complete; };
        for (HANDLE* h :
             {&g_exit_now_write_event, &g_exit_now_read_event, &g_thread_ended_events[0]})
            *h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        g_mdl_urb_list_mutex = CreateMutexW(nullptr, FALSE, nullptr);
        g_discard_mdl_urb_records();
        make_opened(seven);
        g_read_from_driver_running = true;
        CloseHandle(
            CreateThread(nullptr, 0, g_start_process_read_from_driver, nullptr, 0, nullptr));
        ASSERT_TRUE(sim.wait_for_calls(IOCTL_PORT_QUERY, 1));
        pump_thread = sim.calls().back().thread_id;
        g_terminal_receive(sim.terminal(), g_terminal_available(sim.terminal()));
    }
    void TearDown() override
    {
        g_read_from_driver_running = false;
        SetEvent(g_exit_now_read_event);
        WaitForSingleObject(g_thread_ended_events[0], 10000);
        g_discard_mdl_urb_records();
        Device_fixture::TearDown();
        for (HANDLE* h : {&g_mdl_urb_list_mutex, &g_exit_now_write_event, &g_exit_now_read_event,
                          &g_thread_ended_events[0]})
        {
            CloseHandle(*h);
            *h = INVALID_HANDLE_VALUE;
        }
    }
    Sent completions()
    {
        Sent out;
        for (const Ioctl_call& call : sim.calls())
            if (call.code == IOCTL_PORT_COMPLETE)
                out.push_back(call.input);
        return out;
    }
    template <class Packet = Usb_packet_reap_urb> void reply(Bytes frame)
    {
        Packet(frame.data(), false).process_return();
    }
    // Hands the pump one request and waits until it has been dealt with (the next query).
    void hand_request(const Bytes& request)
    {
        ASSERT_TRUE(sim.complete_pending(IOCTL_PORT_QUERY, request));
        ASSERT_TRUE(sim.wait_for_calls(IOCTL_PORT_QUERY, ++handed + 1));
    }
    size_t handed = 0;
    DWORD pump_thread = 0;
    const Bytes seven = sim_records::record({.id = 7});
};

TEST_F(Completion_test, StatusRepliesBecomeTwentySevenByteCompletions)
{
    Bytes reset = {6, 0, 0, 0, 2, 0, 7, 0, 0, 0}, setting = {6, 0, 0, 0, 6, 3, 9, 1, 0, 0};
    reply<Usb_packet_reset>(reset);
    reply<Usb_packet_interface_setting>(setting);
    reply<Usb_packet_set_config>({5, 0, 0, 0, 3, 0, 7, 0, 0});         // a byte short: dropped
    reply<Usb_packet_clear_halted_ep>({6, 0, 0, 0, 9, 0, 7, 0, 0, 0}); // logged only
    reset.resize(27);
    setting.resize(27);
    EXPECT_EQ(Sent({reset, setting}), completions());
    EXPECT_TRUE(sim.has_line(L"Usb_packet_clear_halted_ep::process_return() entered."));
}

TEST_F(Completion_test, ReapRepliesFillTheOldestMatchingMappedBufferOnlyWithWhatIsThere)
{
    for (auto [mapped, data, copied, after] : std::vector<std::tuple<uint32_t, Bytes, BYTE, Bytes>>{
             {8, {1, 2, 3, 4}, 4, {1, 2, 3, 4, 9, 9, 9, 9}},  // all there
             {4, {}, 0, {9, 9, 9, 9, 9, 9, 9, 9}},            // announced, not there
             {2, {5, 6, 7, 8}, 2, {5, 6, 9, 9, 9, 9, 9, 9}}}) // more than mapped
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
    EXPECT_EQ(3u, completions().size());
    EXPECT_TRUE(sim.has_line(L"(memcpy_s threw an exception"));
    VirtualFree(read_only, 0, MEM_RELEASE);
    // A device the list does not hold: no completion, but its record is gone all the same.
    BYTE other[4] = {};
    g_append_mdl_urb_record({99, 8, 0x61, 4, reinterpret_cast<uintptr_t>(other)});
    reply(reap_reply(0x61, 4, {2, 2, 2, 2}, 99));
    EXPECT_EQ(0, other[0]);
    EXPECT_EQ(0u, g_mdl_urb_record_count());
    // No record: the reply goes to the port driver unchanged. One byte short: dropped.
    const Bytes plain = reap_reply(0x62, 3, {4, 5, 6});
    reply(plain);
    Bytes short_reply(plain.begin(), plain.begin() + 18);
    kv::store_u32(short_reply.data(), 14);
    reply(short_reply);
    const Sent sent = completions();
    ASSERT_EQ(4u, sent.size());
    EXPECT_EQ(plain, sent[3]);
    // Without the MDL list's mutex (no engine) the handler takes the same guarded lock as
    // every other user, never a wait on an invalid handle.
    const HANDLE mutex = std::exchange(g_mdl_urb_list_mutex, INVALID_HANDLE_VALUE);
    reply(plain);
    g_mdl_urb_list_mutex = mutex;
    EXPECT_EQ(5u, completions().size());
}

TEST_F(Completion_test, ThePumpForwardsWhatItCanAndAnswersTheRestWithMadeUpFailures)
{
    BYTE buffer[16] = {};
    hand_request(mdl_request(0x80, 16, buffer));
    EXPECT_EQ(1u, g_mdl_urb_record_count());
    const Bytes sent = g_terminal_receive(sim.terminal(), 24);
    ASSERT_EQ(24u, sent.size());
    EXPECT_EQ(Bytes({20, 0, 0, 0, kv::code_queue_urb}), Bytes(sent.begin(), sent.begin() + 5));
    for (int code : {0, 8, 11, 12, 13, 14, 16}) // not requests: ignored
        hand_request({5, 0, 0, 0, static_cast<BYTE>(code), 7, 0, 0, 0});
    EXPECT_EQ(0u, g_terminal_available(sim.terminal()));
    EXPECT_TRUE(completions().empty());
    const Bytes cancel = {9, 0, 0, 0, 10, 7, 0, 0, 0, 0x80, 0, 0, 0};
    hand_request(cancel); // forwarded as it is
    EXPECT_EQ(cancel, g_terminal_receive(sim.terminal(), 13));
    // No memory for the record's list node (two links and the record), on the pump's thread.
    g_fail_next_allocation(2 * sizeof(void*) + sizeof(Mdl_urb_record), pump_thread);
    hand_request(mdl_request(0x83, 16, buffer));
    EXPECT_TRUE(g_allocation_failed());
    EXPECT_TRUE(sim.has_line(L"no memory to record the transfer - devid:7, handle:83"));
    sim.disconnect_terminal();
    // The reap handler takes the device list before the MDL list: while this thread holds the
    // device list, the failure reply of an unsent request waits without holding the MDL list.
    ASSERT_TRUE(g_lock_device_list());
    ASSERT_TRUE(sim.complete_pending(IOCTL_PORT_QUERY, mdl_request(0x81, 16, buffer)));
    ASSERT_TRUE(sim.wait_for_line(L"Query IOCTL failed - code:f"));
    Sleep(50);
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(g_mdl_urb_list_mutex, 1000));
    ReleaseMutex(g_mdl_urb_list_mutex);
    g_unlock_device_list();
    ASSERT_TRUE(sim.wait_for_calls(IOCTL_PORT_QUERY, ++handed + 1));
    EXPECT_EQ(1u, g_mdl_urb_record_count()); // 0x81's taken out again, unsent
    // Every status request gets a status completion with 12 (clear halted, a log line only);
    // a cancel gets nothing.
    Sent expected = {reap(8, 1, 12, 0x83, 0, nullptr), reap(8, 1, 12, 0x81, 0, nullptr)};
    for (BYTE code : {2, 3, 4, 5, 6, 9, 10})
    {
        hand_request({9, 0, 0, 0, code, 7, 0, 0, 0, 0, 0, 0, 0});
        Bytes status = {6, 0, 0, 0, code, 12, 7};
        status.resize(27);
        if (code <= 6)
            expected.push_back(status);
    }
    // Claims more than the query buffer: never sent.
    hand_request({0xFF, 0x20, 0, 0, 7, 7, 0, 0, 0, 0x82, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    // A code-15 failure reaches the port driver as a plain code-8 reap reply.
    expected.push_back(reap(8, 1, 12, 0x82, 0, nullptr));
    EXPECT_EQ(expected, completions());
    EXPECT_EQ(0u, g_terminal_available(sim.terminal()));
}

TEST_F(Completion_test, TransfersOfADeviceThatLeftAreNeverWrittenNorMatched)
{
    const Bytes twin = sim_records::record({.id = 8}); // the same device under another id
    // Gone from the list, twin, stop; and requests yielded only after the unplug (they
    // completed in the driver as it ran): never recorded, never sent.
    for (int how = 0; how < 4; ++how)
    {
        BYTE old_a[4] = {}, old_b[4] = {}, fresh[4] = {};
        if (how != 3)
        {
            hand_request(mdl_request(0x81, 4, old_a));
            hand_request(mdl_request(0x82, 4, old_b));
        }
        if (how == 2)
            reconcile_empty();
        else
            reconcile(sim_records::reply(how == 0 || how == 3 ? Sent() : Sent({seven, twin})));
        if (how == 3)
        {
            const size_t sent_before = g_terminal_available(sim.terminal());
            hand_request(mdl_request(0x81, 4, old_a));
            hand_request(mdl_request(0x82, 4, old_b));
            EXPECT_EQ(sent_before, g_terminal_available(sim.terminal()));
        }
        EXPECT_EQ(0u, g_mdl_urb_record_count()) << how;
        make_opened(seven); // listed again: opened and plugged in anew
        hand_request(mdl_request(0x81, 4, fresh));
        reply(reap_reply(0x81, 4, {1, 2, 3, 4}));
        EXPECT_EQ(reap(16, 0x21, 0, 0x81, 4, fresh), completions().back()) << how;
        // A late reply for an old transfer finds no record: a plain completion, no write.
        const Bytes late = reap_reply(0x82, 4, {5, 5, 5, 5});
        reply(late);
        EXPECT_EQ(late, completions().back()) << how;
        for (BYTE* old : {old_a, old_b})
            EXPECT_EQ(Bytes(4, 0), Bytes(old, old + 4)) << how;
        EXPECT_EQ(0u, g_mdl_urb_record_count()) << how;
        reconcile(sim_records::reply({seven}));
    }
}

TEST_F(Completion_test, MdlRequestGoesOutAsCodeSevenWithItsOutDataOrNotAtAll)
{
    const BYTE data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    void* unreadable = VirtualAlloc(nullptr, 4096, MEM_RESERVE, PAGE_NOACCESS);
    const struct
    {
        const char* name;
        int direction;
        uint32_t data_length;
        const void* address;
        size_t sent; // bytes on the wire, 0 when refused
        const wchar_t* line;
        BYTE devid = 7;
    } rows[] = {
        {"no out data: rewritten in place", 1, 512, data, 24, nullptr},
        {"out data travels behind the header", 2, 8, data, 32, nullptr},
        {"empty out data", 2, 0, nullptr, 24, nullptr},
        {"null out data", 2, 8, nullptr, 0, L"(memcpy_s failed - error:22)"},
        {"unreadable out data", 2, 16, unreadable, 0, L"(memcpy_s threw an exception - error:"},
        {"out data too long to frame", 2, 0xFFFFFFF0u, data, 0, nullptr},
        {"out data of a device not listed: never read", 2, 8, data, 0, nullptr, 9},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.name);
        sim.clear_lines();
        auto request =
            g_bytes({28, 0, 0, 0, 15, row.devid, 0, 0, 0, 5, 6, 7, 8, 9, 10, row.direction});
        request.resize(32, 0x16);
        kv::store_u32(request.data() + 20, row.data_length);
        kv::store_u64(request.data() + 24, reinterpret_cast<uintptr_t>(row.address));
        const auto original = request;
        EXPECT_EQ(row.sent != 0, Usb_packet_queue_mdl_urb(request.data(), false).process_param());
        EXPECT_EQ(original, request); // code 15 and length 28 again
        EXPECT_EQ(row.sent, g_terminal_available(sim.terminal()));
        EXPECT_TRUE(!row.line || sim.has_line(row.line));
        auto sent = g_terminal_receive(sim.terminal(), row.sent);
        if (row.sent)
        {
            EXPECT_EQ(row.sent - 4, kv::load_u32(sent.data()));
            EXPECT_EQ(kv::code_queue_urb, sent[4]);
            EXPECT_EQ(0, memcmp(sent.data() + 5, original.data() + 5, 19));
            EXPECT_TRUE(row.sent == 24 || memcmp(sent.data() + 24, data, 8) == 0);
        }
    }
    VirtualFree(unreadable, 0, MEM_RELEASE);
}

} // namespace
