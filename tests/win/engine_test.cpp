// The engine on the simulated channel and drivers: start, stop, pump, negotiation, writes, logs.
#include "channel/server_channel.h"
#include "debug/usb_debug.h"
#include "support/fixtures.h"
#include "driver/usb_driver.h"
#include "manager/usb_manager.h"
#include "packets/usb_packet_negotiate.h"
#include "portable/reply_frame.h"
#include "shell/app_globals.h"

#include <numeric>

namespace
{

Test_platform* g_sim = nullptr;
std::vector<DWORD> g_sleeps;     // recorded instead of slept
size_t g_port_appears_after = 0; // sleeps before the port device shows up; 0 never

using Engine_test = Engine_fixture;

TEST_F(Engine_test, ReplyPumpDispatchesByCodeAndLengthThenStopReleasesAllAndRestartBeginsAnew)
{
    auto start = [this] // and take the negotiation request off the wire
    {
        ASSERT_TRUE(g_start_threads());
        EXPECT_EQ(Bytes({5, 0, 0, 0, 12, 2, 0, 0, 0}), g_terminal_receive(sim.terminal(), 9));
    };
    auto send = [this](const Bytes& frame) { ASSERT_TRUE(g_terminal_send(sim.terminal(), frame)); };
    start();
    g_seams.max_reply_length = 64;
    Bytes oversized(4 + 65, 12), longest(4 + 64, 0xEE); // one over the bound; exactly at it
    kv::store_u32(oversized.data(), 65);
    kv::store_u32(longest.data(), 64);
    send(oversized);
    send(longest);
    send({1, 0, 0, 0, 12}); // a negotiate reply without body: version 2
    ASSERT_TRUE(sim.wait_for_calls(IOCTL_BUS_REGISTER_SESSION, 1));
    for (const wchar_t* line : {L"Unknown packet ee", L"frame too long, dropped - length:65"})
        EXPECT_TRUE(sim.has_line(line)) << line;
    send({0xFF, 0xFF, 0xFF, 0xFF}); // a length no terminal fills: drained until the stop
    ASSERT_TRUE(sim.wait_for_line(L"length:-1"));
    g_stop_threads();
    EXPECT_EQ(1u, sim.count_lines(L"Usb_manager::g_stop_threads() - All threads have ended"));
    EXPECT_EQ(0u, sim.pending_queries()); // the request pump's query was cancelled
    EXPECT_EQ(1u, sim.inputs(IOCTL_BUS_REGISTER_SESSION).size());
    for (HANDLE handle : {g_exit_now_read_event, g_exit_now_virtual_channel_event,
                          g_bus_driver_handle, g_port_driver_handle})
        EXPECT_EQ(INVALID_HANDLE_VALUE, handle);
    EXPECT_FALSE(g_virtual_channel.is_open());
    EXPECT_TRUE(sim.channel_buffers_given == 1 && sim.channel_buffers_freed == 1);
    EXPECT_EQ(IOCTL_BUS_UNREGISTER_SESSION, sim.calls().back().code);
}

TEST_F(Engine_test, NegotiationGatesOnVersionThenRegistersAndOpensThePortDriver)
{
    g_sim = &sim;
    g_session_id = 7;
    g_seams.timing.port_open_first_wait_ms = 17;
    g_seams.timing.port_open_retry_wait_ms = 23;
    g_seams.wait = [](HANDLE stop, DWORD ms)
    {
        g_sleeps.push_back(ms);
        if (g_sleeps.size() == g_port_appears_after)
            g_sim->port_devices.push_back({L"late-port", 7, false});
        return WaitForSingleObject(stop, 0) == WAIT_OBJECT_0;
    };
    ASSERT_TRUE(g_open_bus_driver());
    BYTE reply[9] = {5, 0, 0, 0, 12, 2, 0, 0, 0};
    // The bus call failing, sleeps before the port device appears (0 never), opens.
    using Row = std::tuple<DWORD, size_t, size_t>;
    for (auto [failing, port_after, attempts] :
         {Row{IOCTL_BUS_UNREGISTER_SESSION, 1, 1}, Row{IOCTL_BUS_REGISTER_SESSION, 1, 0},
          Row{0, 5, 5}, Row{0, 1, 0}, Row{0, 0, 21}})
    {
        SCOPED_TRACE(testing::PrintToString(std::make_tuple(failing, port_after)));
        if (attempts || failing) // else a repeated reply: it keeps the port driver that is open
            g_close_port_driver();
        sim.port_devices = {{L"other-session", 3, false}};
        sim.clear_lines();
        g_sleeps.clear();
        g_port_appears_after = port_after;
        sim.fail_calls(failing);
        const size_t calls = sim.calls().size();
        const HANDLE port = g_port_driver_handle;
        Usb_packet_negotiate(reply, false, 2).process_return();
        std::vector<DWORD> waits(attempts, 23);
        std::fill_n(waits.begin(), std::min<size_t>(1, attempts), 17);
        EXPECT_EQ(waits, g_sleeps);
        EXPECT_EQ(port_after && port_after <= attempts,
                  g_port_driver_handle != INVALID_HANDLE_VALUE && g_port_driver_handle != port);
        ASSERT_EQ(calls + 2, sim.calls().size()); // unregister, register
    }
    // A stop during the waits ends the opening at once.
    g_close_port_driver();
    g_exit_now_virtual_channel_event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    g_sleeps.clear();
    Usb_packet_negotiate(reply, false, 2).process_return();
    EXPECT_EQ(std::vector<DWORD>({17}), g_sleeps);
    CloseHandle(std::exchange(g_exit_now_virtual_channel_event, INVALID_HANDLE_VALUE));
    g_set_platform(nullptr); // the production binding again
    EXPECT_NE(static_cast<Platform*>(&sim), &g_platform());
}

using Channel_test = Engine_fixture;

TEST_F(Channel_test, WritesGatherUpToOneChunkAndOlderBytesLeaveFirst)
{
    ASSERT_TRUE(g_virtual_channel.open());
    Lock_hold hold(g_virtual_channel_mutex);           // as g_write_to_virtual_channel holds it
    using Row = std::tuple<std::vector<DWORD>, DWORD>; // sizes written; bytes left buffered
    for (auto [writes, buffered] :
         {Row{{0}, 0}, Row{{10, 20}, 30}, Row{{1600}, 0}, Row{{1550, 100}, 50},
          Row{{10, 1601}, 0}}) // more than a chunk goes direct after the older bytes
    {
        std::vector<BYTE> all;
        for (DWORD n : writes)
        {
            std::vector<BYTE> bytes(n);
            std::iota(bytes.begin(), bytes.end(), static_cast<BYTE>(all.size()));
            EXPECT_EQ(0, g_virtual_channel.write(bytes.data(), n));
            all.insert(all.end(), bytes.begin(), bytes.end());
        }
        EXPECT_EQ(all.size() - buffered, g_terminal_available(sim.terminal())) << all.size();
        EXPECT_TRUE(g_virtual_channel.flush());
        EXPECT_EQ(all, g_terminal_receive(sim.terminal(), all.size()));
    }
    g_virtual_channel.close();
}

// A flush that fails: in WriteFile the buffered bytes are dropped; after the write was taken on
// (pending), kept for the next flush, also when part of them had left: then only the rest follows.
TEST_F(Channel_test, AFailedFlushDropsOrKeepsTheBufferedBytesAsItFailed)
{
    ASSERT_TRUE(g_virtual_channel.open());
    Lock_hold hold(g_virtual_channel_mutex);
    using Row = std::tuple<std::vector<Sim_end>, size_t>; // the writes' endings; bytes kept
    for (auto [endings, kept] :
         {Row{{Sim_end::fail_at_once}, 0}, Row{{Sim_end::pend_then_fail}, 100},
          Row{{Sim_end::done_partly, Sim_end::pend_then_fail}, 93}})
    {
        std::vector<BYTE> bytes(100);
        std::iota(bytes.begin(), bytes.end(), BYTE{1});
        ASSERT_EQ(0, g_virtual_channel.write(bytes.data(), 100));
        for (Sim_end end : endings)
        {
            Sim_ending once{Sim_call::channel_write, end};
            once.times = 1;
            sim.end_calls(once);
        }
        EXPECT_FALSE(g_virtual_channel.flush());
        const BYTE next[3] = {0xA, 0xB, 0xC};
        ASSERT_EQ(0, g_virtual_channel.write(next, 3));
        EXPECT_TRUE(g_virtual_channel.flush());
        if (!kept) // else all of them leave, in order, the first 7 of them already gone partly
            bytes.clear();
        bytes.insert(bytes.end(), next, next + 3);
        EXPECT_EQ(bytes, g_terminal_receive(sim.terminal(), bytes.size()));
        EXPECT_EQ(0u, g_terminal_available(sim.terminal()));
    }
    g_virtual_channel.close();
}

using Logging_test = Engine_fixture;

TEST_F(Logging_test, ErrorsAndWarningsReachTheEventLogWithinItsBudgetAndTheLevelSelectsTraces)
{
    // One message takes at most 4 entries in any second, all together at most 20, of which
    // warnings leave 4 to errors: an error of another message still reaches the event log. The
    // next entry after them, and the exit, tell how many the trace alone has.
    g_settle_event_budget(sim);
    std::vector<std::wstring> warnings(30, L"warning ");
    for (int i = 0; i < 25; ++i)
        g_log(3, L"flood %d", i);
    for (size_t i = 0; i < warnings.size(); ++i)
        g_log(3, (warnings[i] += std::to_wstring(i)).c_str());
    g_log(2, L"Register terminal server session failed");
    g_log(3, L"flood %d", 25);
    const auto events = sim.events();
    ASSERT_EQ(18u, events.size());
    for (auto [at, text] : {std::pair{3, L"flood 3"},
                            {4, L" 21 errors and warnings"},
                            {15, L"warning 10"},
                            {16, L" 19 errors and warnings"},
                            {17, L"Register terminal server session failed"}})
        EXPECT_NE(std::wstring::npos, events[at].text.find(text)) << at;
    g_deregister_event_source();
    EXPECT_NE(std::wstring::npos, sim.events().back().text.find(L" 1 errors and warnings"));
    g_register_event_source();
    Sleep(1100);
    sim.clear_lines();
    g_log(4, L"%s", std::wstring(40000, L'x').c_str()); // too long for the record: cut
    EXPECT_LT(sim.lines().back().text.size(), 0x8000u);
    // Only an invalid handle ends tracing; an unknown request is refused.
    sim.trace_status = ERROR_NOT_ENOUGH_MEMORY;
    EXPECT_FALSE(g_log(4, L"lost"));
    EXPECT_EQ(1, g_trace_enabled);
    sim.trace_status = ERROR_INVALID_HANDLE;
    EXPECT_FALSE(g_log(4, L"lost"));
    EXPECT_EQ(0, g_trace_enabled);
    EXPECT_EQ(87u, g_control_callback(static_cast<WMIDPREQUESTCODE>(9), nullptr, nullptr, nullptr));
    EXPECT_EQ(L"Usb_debug::g_control_callback (default reached)", sim.events().back().text);
    sim.trace_status = ERROR_SUCCESS;
    // The level the trace session asks for (0 means 3); whether it disables the provider again.
    using Row = std::tuple<UCHAR, bool, std::vector<int>>;
    for (auto [session_level, disabled, traced] :
         {Row{0, false, {2, 3}}, Row{2, false, {2}}, Row{4, false, {2, 3, 4}}, Row{4, true, {}}})
    {
        sim.clear_lines();
        g_control_callback(WMI_ENABLE_EVENTS, nullptr, nullptr,
                           reinterpret_cast<PVOID>(0x1000 | session_level));
        if (disabled)
            g_control_callback(WMI_DISABLE_EVENTS, nullptr, nullptr, nullptr);
        for (int level = 1; level <= 5; ++level)
        {
            SetLastError(1234); // the sinks may change it: the caller's error survives the log
            EXPECT_TRUE(g_log(level, L"level %d", level));
            EXPECT_EQ(1234u, GetLastError());
        }
        std::vector<int> levels;
        for (const Log_line& line : sim.lines())
            levels.push_back(line.level);
        EXPECT_EQ(traced, levels) << int{session_level};
    }
}

} // namespace
