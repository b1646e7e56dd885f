// Completions for the port driver: status replies, reap replies, MDL transfers; and the
// request pump that forwards the port driver's requests or answers them with a failure.
#include "channel/server_channel.h"
#include "support/allocation_faults.h"
#include "support/device_fixture.h"
#include "manager/usb_driver.h"
#include "manager/usb_manager.h"
#include "packets/mdl_urb_list.h"
#include "packets/usb_packet_types.h"
#include "portable/completion.h"

#include <functional>

namespace
{

using sim_records::Bytes;

Bytes reap_reply(uint32_t devid, uint32_t handle, uint32_t data_length, const Bytes& data)
{
    Bytes r(19 + data.size(), 0);
    std::copy(data.begin(), data.end(), r.begin() + 19);
    kv::store_u32(r.data(), static_cast<uint32_t>(r.size() - 4));
    r[4] = kv::code_reap_urb;
    kv::store_u32(r.data() + 5, devid);
    r[9] = 0x21;
    r[10] = 0;
    kv::store_u32(r.data() + 11, handle);
    kv::store_u32(r.data() + 15, data_length);
    return r;
}

class Completion_test : public Device_fixture
{
  protected:
    void SetUp() override
    {
        Device_fixture::SetUp();
        fake.port_behaviour = [](const Ioctl_call&) { return Port_outcome::complete; };
        g_mdl_urb_list_mutex = CreateMutexW(nullptr, FALSE, nullptr);
        g_exit_now_write_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        g_exit_now_read_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        g_discard_mdl_urb_records();
        sim_records::Record_fields device;
        device.id = 7;
        make_opened(sim_records::record(device));
        g_terminal_receive(fake.terminal(), g_terminal_available(fake.terminal()));
    }
    void TearDown() override
    {
        stop_pump();
        g_discard_mdl_urb_records();
        Device_fixture::TearDown();
        for (HANDLE* h : {&g_mdl_urb_list_mutex, &g_exit_now_write_event, &g_exit_now_read_event})
        {
            CloseHandle(*h);
            *h = INVALID_HANDLE_VALUE;
        }
    }
    std::vector<Bytes> completions()
    {
        std::vector<Bytes> out;
        for (const Ioctl_call& call : fake.calls())
            if (call.code == IOCTL_PORT_COMPLETE)
                out.push_back(call.input);
        return out;
    }
    template <class Packet> void reply(Bytes frame)
    {
        Packet packet(frame.data(), false);
        packet.process_return();
    }
    void start_pump()
    {
        g_thread_ended_events[0] = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        g_read_from_driver_running = true;
        CloseHandle(
            CreateThread(nullptr, 0, g_start_process_read_from_driver, nullptr, 0, nullptr));
        pump_running = true;
    }
    void stop_pump()
    {
        if (!pump_running)
            return;
        g_read_from_driver_running = false;
        SetEvent(g_exit_now_read_event);
        WaitForSingleObject(g_thread_ended_events[0], 10000);
        CloseHandle(g_thread_ended_events[0]);
        g_thread_ended_events[0] = INVALID_HANDLE_VALUE;
        pump_running = false;
    }
    // Hands the pump one request through its pending query and waits until it has been dealt
    // with (the pump's next query).
    void hand_request(const Bytes& request)
    {
        ASSERT_TRUE(fake.wait_for_calls(IOCTL_PORT_QUERY, handed + 1));
        ASSERT_TRUE(fake.complete_pending(IOCTL_PORT_QUERY, request));
        ++handed;
        ASSERT_TRUE(fake.wait_for_calls(IOCTL_PORT_QUERY, handed + 1));
    }
    bool pump_running = false;
    size_t handed = 0;
};

TEST_F(Completion_test, StatusRepliesBecomeTwentySevenByteCompletions)
{
    reply<Usb_packet_reset>({6, 0, 0, 0, 2, 0, 7, 0, 0, 0});
    reply<Usb_packet_interface_setting>({6, 0, 0, 0, 6, 3, 9, 0, 0, 0});
    auto sent = completions();
    ASSERT_EQ(2u, sent.size());
    Bytes expected(27, 0);
    std::copy_n(Bytes{6, 0, 0, 0, 2, 0, 7, 0, 0, 0}.begin(), 10, expected.begin());
    EXPECT_EQ(expected, sent[0]);
    EXPECT_EQ(6, sent[1][4]);
    EXPECT_EQ(3, sent[1][5]);
    EXPECT_TRUE(fake.has_line(L"Usb_packet_reset::process_return() entered."));

    reply<Usb_packet_set_config>({5, 0, 0, 0, 3, 0, 7, 0, 0}); // a byte short: dropped
    EXPECT_EQ(2u, completions().size());
    reply<Usb_packet_clear_halted_ep>({6, 0, 0, 0, 9, 0, 7, 0, 0, 0}); // logged only
    EXPECT_EQ(2u, completions().size());
    EXPECT_TRUE(fake.has_line(L"Usb_packet_clear_halted_ep::process_return() entered."));
}

TEST_F(Completion_test, MdlReapCopiesIntoTheMappedBufferOnlyWhatIsThere)
{
    BYTE mapped[8] = {};
    g_append_mdl_urb_record({7, 8, 0x55, 8, reinterpret_cast<uintptr_t>(mapped)});
    reply<Usb_packet_reap_urb>(reap_reply(7, 0x55, 4, {1, 2, 3, 4}));
    auto sent = completions();
    ASSERT_EQ(1u, sent.size());
    const Bytes& c = sent[0];
    ASSERT_EQ(27u, c.size());
    EXPECT_EQ(23u, kv::load_u32(c.data()));
    EXPECT_EQ(16, c[4]);
    EXPECT_EQ(7u, kv::load_u32(c.data() + 5));
    EXPECT_EQ(0x21, c[9]);
    EXPECT_EQ(0x55u, kv::load_u32(c.data() + 11));
    EXPECT_EQ(4u, kv::load_u32(c.data() + 15));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(mapped), kv::load_u64(c.data() + 19));
    EXPECT_EQ(Bytes({1, 2, 3, 4, 0, 0, 0, 0}), Bytes(mapped, mapped + 8));
    EXPECT_EQ(0u, g_mdl_urb_record_count());

    // Length 15: the data is announced but not there; nothing is copied.
    BYTE untouched[4] = {9, 9, 9, 9};
    g_append_mdl_urb_record({7, 8, 0x56, 4, reinterpret_cast<uintptr_t>(untouched)});
    reply<Usb_packet_reap_urb>(reap_reply(7, 0x56, 4, {}));
    EXPECT_EQ(0u, kv::load_u32(completions().back().data() + 15));
    EXPECT_EQ(Bytes({9, 9, 9, 9}), Bytes(untouched, untouched + 4));

    // More data than the mapped buffer holds: the buffer is filled and no further.
    BYTE small[4] = {};
    BYTE guard[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    g_append_mdl_urb_record({7, 8, 0x57, 2, reinterpret_cast<uintptr_t>(small)});
    reply<Usb_packet_reap_urb>(reap_reply(7, 0x57, 4, {5, 6, 7, 8}));
    EXPECT_EQ(2u, kv::load_u32(completions().back().data() + 15));
    EXPECT_EQ(Bytes({5, 6, 0, 0}), Bytes(small, small + 4));
    EXPECT_EQ(0xAA, guard[0]);
}

TEST_F(Completion_test, ReapMatchingTakesTheOldestRecordAndNeedsAListedDevice)
{
    BYTE older[4] = {}, newer[4] = {};
    g_append_mdl_urb_record({7, 8, 0x60, 4, reinterpret_cast<uintptr_t>(older)});
    g_append_mdl_urb_record({7, 8, 0x60, 4, reinterpret_cast<uintptr_t>(newer)});
    reply<Usb_packet_reap_urb>(reap_reply(7, 0x60, 4, {1, 1, 1, 1}));
    EXPECT_EQ(1, older[0]);
    EXPECT_EQ(0, newer[0]);
    EXPECT_EQ(1u, g_mdl_urb_record_count());

    // A device the list does not hold: no completion, but its record is gone all the same.
    BYTE other[4] = {};
    g_append_mdl_urb_record({99, 8, 0x61, 4, reinterpret_cast<uintptr_t>(other)});
    size_t before = completions().size();
    reply<Usb_packet_reap_urb>(reap_reply(99, 0x61, 4, {2, 2, 2, 2}));
    EXPECT_EQ(before, completions().size());
    EXPECT_EQ(0, other[0]);
    EXPECT_EQ(1u, g_mdl_urb_record_count());

    // No record: the reply goes to the port driver unchanged.
    Bytes plain = reap_reply(7, 0x62, 3, {4, 5, 6});
    reply<Usb_packet_reap_urb>(plain);
    EXPECT_EQ(plain, completions().back());
    Bytes short_reply(plain.begin(), plain.begin() + 18);
    kv::store_u32(short_reply.data(), 14); // one byte short of the header: dropped
    reply<Usb_packet_reap_urb>(short_reply);
    EXPECT_EQ(before + 1, completions().size());
}

Bytes mdl_request(uint32_t devid, uint32_t handle, BYTE direction, uint32_t length, void* data)
{
    Bytes r(32, 0);
    kv::store_u32(r.data(), 28);
    r[4] = kv::code_queue_mdl_urb;
    kv::store_u32(r.data() + 5, devid);
    kv::store_u32(r.data() + 9, handle);
    r[15] = direction;
    kv::store_u32(r.data() + 20, length);
    kv::store_u64(r.data() + 24, reinterpret_cast<uintptr_t>(data));
    return r;
}

TEST_F(Completion_test, PumpForwardsRequestsAndRecordsMdlTransfers)
{
    fake.port_behaviour = [](const Ioctl_call& call)
    { return call.code == IOCTL_PORT_QUERY ? Port_outcome::pend : Port_outcome::complete; };
    start_pump();
    BYTE buffer[16] = {};
    hand_request(mdl_request(7, 0x80, 1, 16, buffer));
    EXPECT_EQ(1u, g_mdl_urb_record_count());
    auto sent = g_terminal_receive(fake.terminal(), 24);
    ASSERT_EQ(24u, sent.size());
    EXPECT_EQ(kv::code_queue_urb, sent[4]);
    EXPECT_TRUE(fake.has_line(
        L"Usb_manager::g_start_process_read_from_driver() - Sent Query to ZAMO - code:f, "
        L"devid:7, handle:ffffffff"));

    for (int code : {0, 8, 11, 12, 13, 14, 16})
        hand_request({5, 0, 0, 0, static_cast<BYTE>(code), 7, 0, 0, 0});
    EXPECT_EQ(0u, g_terminal_available(fake.terminal()));
    EXPECT_TRUE(completions().empty());
}

TEST_F(Completion_test, UnsentRequestsAreAnsweredWithMadeUpFailures)
{
    fake.port_behaviour = [](const Ioctl_call& call)
    { return call.code == IOCTL_PORT_QUERY ? Port_outcome::pend : Port_outcome::complete; };
    start_pump();
    fake.disconnect_terminal();
    BYTE buffer[16] = {};
    hand_request(mdl_request(7, 0x81, 1, 16, buffer));
    EXPECT_EQ(0u, g_mdl_urb_record_count());                // taken out again after the failed send
    hand_request({9, 0, 0, 0, 3, 7, 0, 0, 0, 0, 0, 0, 0});  // set config
    hand_request({9, 0, 0, 0, 10, 7, 0, 0, 0, 0, 0, 0, 0}); // cancel: no answer
    Bytes oversized = {0xFF, 0x20, 0, 0, 7, 7, 0, 0, 0, 0x82, 0, 0, 0};
    oversized.resize(24, 0);
    hand_request(oversized); // claims more than the query buffer: never sent
    auto sent = completions();
    ASSERT_EQ(3u, sent.size());
    // The code-15 failure reaches the port driver as a plain code-8 reap reply.
    EXPECT_EQ(27u, sent[0].size());
    EXPECT_EQ(23u, kv::load_u32(sent[0].data()));
    EXPECT_EQ(kv::code_reap_urb, sent[0][4]);
    EXPECT_EQ(1, sent[0][9]);
    EXPECT_EQ(12, sent[0][10]);
    EXPECT_EQ(0x81u, kv::load_u32(sent[0].data() + 11));
    EXPECT_EQ(0u, kv::load_u32(sent[0].data() + 15));
    EXPECT_EQ(Bytes({6, 0, 0, 0, 3, 12, 7, 0, 0, 0}), Bytes(sent[1].begin(), sent[1].begin() + 10));
    EXPECT_EQ(0x82u, kv::load_u32(sent[2].data() + 11));
    EXPECT_TRUE(fake.has_line(L"request longer than the query buffer - code:7"));
}

TEST_F(Completion_test, TransfersOfADeviceThatLeftAreNeverWrittenNorMatched)
{
    fake.port_behaviour = [](const Ioctl_call& call)
    { return call.code == IOCTL_PORT_QUERY ? Port_outcome::pend : Port_outcome::complete; };
    start_pump();
    sim_records::Record_fields fields;
    fields.id = 7;
    const Bytes seven = sim_records::record(fields);
    fields.id = 8; // the same device under another id: a twin
    const Bytes twin = sim_records::record(fields);
    struct Row
    {
        const char* how;
        std::function<void()> leave;
    };
    const Row rows[] = {{"gone from the list", [&] { reconcile(sim_records::reply({})); }},
                        {"twin",
                         [&] {
                             reconcile(sim_records::reply({seven, twin}));
                         }},
                        {"stop", [&] { reconcile_empty(); }}};
    for (const Row& row : rows)
    {
        BYTE old_a[4] = {}, old_b[4] = {}, fresh[4] = {};
        hand_request(mdl_request(7, 0x81, 1, 4, old_a));
        hand_request(mdl_request(7, 0x82, 1, 4, old_b));
        row.leave();
        EXPECT_EQ(0u, g_mdl_urb_record_count()) << row.how;
        make_opened(seven); // listed again: opened and plugged in anew
        hand_request(mdl_request(7, 0x81, 1, 4, fresh));
        reply<Usb_packet_reap_urb>(reap_reply(7, 0x81, 4, {1, 2, 3, 4}));
        EXPECT_EQ(Bytes({1, 2, 3, 4}), Bytes(fresh, fresh + 4)) << row.how;
        EXPECT_EQ(reinterpret_cast<uintptr_t>(fresh),
                  kv::load_u64(completions().back().data() + 19));
        // A late reply for the old transfer finds no record: a plain completion, no write.
        const Bytes late = reap_reply(7, 0x82, 4, {5, 5, 5, 5});
        reply<Usb_packet_reap_urb>(late);
        EXPECT_EQ(late, completions().back()) << row.how;
        EXPECT_EQ(Bytes(4, 0), Bytes(old_a, old_a + 4)) << row.how;
        EXPECT_EQ(Bytes(4, 0), Bytes(old_b, old_b + 4)) << row.how;
        EXPECT_EQ(0u, g_mdl_urb_record_count()) << row.how;
        reconcile(sim_records::reply({seven}));
    }
}

TEST_F(Completion_test, NoMemoryToRecordAnMdlTransferAnswersItAsUnsent)
{
    fake.port_behaviour = [](const Ioctl_call& call)
    { return call.code == IOCTL_PORT_QUERY ? Port_outcome::pend : Port_outcome::complete; };
    start_pump();
    ASSERT_TRUE(fake.wait_for_calls(IOCTL_PORT_QUERY, 1));
    DWORD pump_thread = 0;
    for (const Ioctl_call& call : fake.calls())
        if (call.code == IOCTL_PORT_QUERY)
            pump_thread = call.thread_id;
    // A list node: two links and the record.
    g_fail_next_allocation(2 * sizeof(void*) + sizeof(Mdl_urb_record), pump_thread);
    BYTE buffer[16] = {};
    hand_request(mdl_request(7, 0x83, 1, 16, buffer));
    EXPECT_TRUE(g_allocation_failed());
    EXPECT_EQ(0u, g_mdl_urb_record_count());
    EXPECT_EQ(0u, g_terminal_available(fake.terminal()));
    ASSERT_EQ(1u, completions().size());
    const Bytes failure = completions()[0];
    EXPECT_EQ(kv::code_reap_urb, failure[4]);
    EXPECT_EQ(12, failure[10]);
    EXPECT_EQ(0x83u, kv::load_u32(failure.data() + 11));
    EXPECT_TRUE(fake.has_line(L"no memory to record the transfer - devid:7, handle:83"));
}

} // namespace
