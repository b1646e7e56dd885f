// Faults of the peers and the platform in a session: every call on a peer ended every way
// Windows allows, a terminal gone mid-frame, a start failing at each step, many reconnects under
// traffic. The traffic meanwhile, every request code of it, gets every completion right.
#include "support/fixtures.h"
#include "debug/usb_debug.h"
#include "driver/usb_driver.h"
#include "channel/server_channel.h"
#include "manager/usb_manager.h"
#include "packets/mdl_urb_list.h"
#include "packets/usb_device_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>

namespace
{

double process_cpu_seconds()
{
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto seconds = [](FILETIME t)
    { return (static_cast<uint64_t>(t.dwHighDateTime) << 32 | t.dwLowDateTime) / 1e7; };
    return seconds(kernel) + seconds(user);
}

class Fault_test : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        session.print = [](const std::string&) {};
        session.terminal.add_device({0x31, 0x1111, 0x2222, 0x0100, "Stick", "S-1"});
        session.terminal.add_device({0x32, 0x3333, 0x4444, 0x0200, "Reader", "R-1"});
        g_shorten_engine_waits();
    }
    void mixed_traffic(uint32_t count, uint32_t window)
    {
        session.run_transfers(Sim_transfer::plain_in, 0x31, 3000, count, window);
        session.run_transfers(Sim_transfer::plain_out, 0x32, 2000, count, window);
        session.run_transfers(Sim_transfer::mdl_in, 0x31, 70000, count, window);
        session.run_transfers(Sim_transfer::mdl_out, 0x32, 9000, count, window);
        for (uint8_t code : {2, 3, 4, 5, 6, 9}) // 9 gets no completion
            p.submit_status_request(code, 0x31);
    }
    // A peer that fails every call: the engine retries with growing pauses, so that from now on
    // it spends next to no processor time, and still stops at once.
    void expect_quiet_failure_and_stop()
    {
        g_seams.timing.device_list_period_ms = 500; // the poller's own failures, at its pace
        Sleep(1000);
        const double cpu_before = process_cpu_seconds();
        Sleep(2000);
        EXPECT_LT((process_cpu_seconds() - cpu_before) / 2.0, 0.10);
        const DWORD stop_begin = GetTickCount();
        session.stop();
        EXPECT_LT(GetTickCount() - stop_begin, 1000u);
    }
    bool logged(const wchar_t* error_start)
    {
        return std::ranges::any_of(
            p.events(), [&](const auto& e)
            { return e.type == EVENTLOG_ERROR_TYPE && e.text.starts_with(error_start); });
    }
    // A stop still running after its limit is a hang: the simulator ends what it holds, to go on.
    DWORD timed_stop(DWORD limit_ms = 1000)
    {
        const ULONGLONG begin = GetTickCount64();
        auto stopped = std::async(std::launch::async, [this] { session.stop(); });
        if (stopped.wait_for(std::chrono::milliseconds(limit_ms)) == std::future_status::timeout)
        {
            p.end_calls_as_usual();
            while (stopped.wait_for(std::chrono::milliseconds(50)) == std::future_status::timeout)
                p.end_pending_calls();
        }
        return static_cast<DWORD>(GetTickCount64() - begin);
    }
    void run_ending(const Sim_ending& ending);
    Test_session session;
    Test_platform& p = session.platform;
};

bool one_of(Sim_call call, std::initializer_list<Sim_call> calls)
{
    return std::ranges::find(calls, call) != calls.end();
}

using enum Sim_call;

// Every ending Windows allows for the call: a synchronous one is done or fails at once.
std::vector<Sim_ending> endings_of(Sim_call call, Sim_driver driver)
{
    std::vector<Sim_ending> endings = {{call, Sim_end::done_at_once}};
    for (DWORD error : {ERROR_INSUFFICIENT_BUFFER, ERROR_GEN_FAILURE, ERROR_INVALID_HANDLE})
        endings.push_back({call, Sim_end::fail_at_once, error});
    if (call == create_file)
        endings.push_back({call, Sim_end::fail_at_once, ERROR_ACCESS_DENIED});
    if (one_of(call,
               {port_query, port_complete, port_plug_in, port_unplug, channel_read, channel_write}))
    {
        endings.push_back({call, Sim_end::pend_then_done});
        endings.push_back({call, Sim_end::pend_then_fail, ERROR_GEN_FAILURE});
    }
    if (one_of(call, {port_query, port_complete, port_plug_in, port_unplug, channel_read}))
        endings.push_back({call, Sim_end::pend_until_cancel});
    if (call == channel_read)
        endings.push_back({call, Sim_end::more_data});
    for (Sim_ending& ending : endings)
    {
        ending.driver = driver;
        // A channel transfer done here waits for real bytes: a few, while they flow.
        if (one_of(call, {channel_read, channel_write}) && ending.end != Sim_end::fail_at_once &&
            ending.end != Sim_end::pend_then_fail && ending.end != Sim_end::pend_until_cancel)
            ending.times = 3;
    }
    return endings;
}

void Fault_test::run_ending(const Sim_ending& ending)
{
    const Sim_call call = ending.call;
    const bool after_start =
        one_of(call, {port_query, port_complete, port_unplug, channel_read, channel_write});
    // A plug-in the driver holds is abandoned at once by the stop, an unplug once the stop's
    // budget is spent: the device then stays in the driver, as after a failed unplug.
    const bool held_unplug = call == port_unplug && ending.end == Sim_end::pend_until_cancel;
    const bool failing =
        ending.end == Sim_end::fail_at_once || ending.end == Sim_end::pend_then_fail || held_unplug;
    p.clear_lines(); // and the events
    const uint64_t ended_before = p.calls_ended_otherwise(), queries_before = p.queries;
    const ULONGLONG begin = GetTickCount64();
    if (!after_start)
        p.end_calls(ending);
    session.start(300);
    if (after_start)
        p.end_calls(ending);
    for (int round = 0; round < 2; ++round, Sleep(120))
    {
        for (int i = 0; i < 8; ++i)
        {
            p.submit_transfer_if_plugged(Sim_transfer::mdl_in, 0x31, 3000);
            p.submit_transfer_if_plugged(Sim_transfer::plain_out, 0x32, 1000);
        }
        if (call == port_unplug)
            session.terminal.remove_device(0x32);
    }
    if (call == port_plug_in && failing)
    {
        EXPECT_FALSE(p.has_line(L"Plugged in device"));
        EXPECT_TRUE(std::ranges::none_of(p.events(), [](const auto& e)
                                         { return e.id == k_event_id_device_shared; }));
        Lock_hold hold(g_device_list_mutex);
        const Usb_device_entry* entry = g_find_device_entry(0x31);
        EXPECT_TRUE(entry && entry->state == Usb_device_state::failed);
    }
    EXPECT_TRUE(call != port_query || ending.end != Sim_end::fail_at_once || // pauses that grow
                p.queries - queries_before <= 20);
    EXPECT_LT(timed_stop(held_unplug ? 4000 : 1000), held_unplug ? 4000u : 1000u);
    EXPECT_TRUE(!one_of(call, {port_plug_in, port_unplug}) ||
                !p.inputs(IOCTL_BUS_UNREGISTER_SESSION).empty()); // the session still unregistered
    const bool no_error_due = !failing || (call != channel_open && call != bus_unregister);
    EXPECT_TRUE(no_error_due || // else the error an administrator must see
                logged(call == channel_open
                           ? L"Usb_manager::initialize() - g_virtual_channel.open() failed."
                           : L"Usb_manager::g_stop_threads() - Handle"));
    const ULONGLONG seconds = (GetTickCount64() - begin + 999) / 1000;
    EXPECT_LE(std::ranges::count_if(p.events(), [](const auto& e)
                                    { return e.type != EVENTLOG_INFORMATION_TYPE; }),
              static_cast<std::ptrdiff_t>(20 * seconds));
    EXPECT_GT(p.calls_ended_otherwise(), ended_before); // the call was made
    EXPECT_EQ(0u, g_mdl_urb_record_count());
    EXPECT_FALSE(p.has_line(L"g_bus_driver_handle CloseHandle() failed")); // never opened
    EXPECT_EQ(0u, p.pending_operations());
    // A device whose unplug failed stays in the port driver, its requests with it.
    EXPECT_TRUE(p.outstanding() == 0 || (call == port_unplug && failing));
    p.end_calls_as_usual();
    p.forget_outstanding();
    p.drop_history();
    if (call == port_unplug)
        session.terminal.add_device({0x32, 0x3333, 0x4444, 0x0200, "Reader", "R-1"});
}

TEST_F(Fault_test, EveryPeerCallEndedEveryWayLeavesAQuickStopAndNothingBehind)
{
    g_trace_logger_handle = 1; // the lines kept
    g_trace_enable_level = 4;
    g_trace_enabled = 1;
    const Sim_driver bus = Sim_driver::bus, port = Sim_driver::port, any = Sim_driver::any;
    std::vector<std::pair<Sim_call, Sim_driver>> calls = {
        {port_query, port},   {port_complete, port}, {port_plug_in, port}, {port_unplug, port},
        {bus_register, bus},  {bus_unregister, bus}, {channel_open, any},  {channel_read, any},
        {channel_write, any}, {ui_number, port},     {create_file, bus},   {create_file, port}};
    for (Sim_call enumeration : {class_devs, enum_interfaces, interface_detail})
        calls.insert(calls.end(), {{enumeration, bus}, {enumeration, port}});
    ASSERT_TRUE(session.start()); // warm-up: what the first start makes once
    session.stop();
    const DWORD handles_before = g_sim_open_handles();
    size_t cells = 0;
    for (auto [call, driver] : calls)
        for (const Sim_ending& ending : endings_of(call, driver))
        {
            SCOPED_TRACE(testing::PrintToString(
                std::make_tuple(int(call), int(driver), int(ending.end), ending.error)));
            run_ending(ending);
            ++cells;
        }
    EXPECT_EQ(92u, cells);
    EXPECT_LE(g_sim_open_handles(), handles_before + 8); // Wine's own bookkeeping aside
    EXPECT_EQ(0u, p.wrong_completions);
}

TEST_F(Fault_test, ATerminalVanishingMidFrameEndsEveryRequestUnplugsAllAndIsRetriedQuietly)
{
    ASSERT_TRUE(session.start());
    mixed_traffic(4, 2);
    ASSERT_TRUE(p.wait_idle(10000));
    const uint64_t completed_before = p.completed;
    // Requests the driver hands out while the channel is gone, as long as their device is still
    // plugged in (the poller may unplug it first): each must end either with a failure
    // completion or, once the poller unplugs its device, cancelled by the driver.
    uint64_t issued = 1; // the transfer cut in the middle
    session.terminal.on_cut = [this, &issued]
    {
        p.break_channel();
        for (uint8_t code : {2, 3, 4, 5, 6})
            issued += p.submit_status_request_if_plugged(code, 0x32);
        issued += p.submit_transfer_if_plugged(Sim_transfer::plain_in, 0x31, 3000);
        issued += p.submit_transfer_if_plugged(Sim_transfer::mdl_in, 0x32, 8000);
        issued += p.submit_transfer_if_plugged(Sim_transfer::plain_out, 0x31, 1000);
    };
    session.terminal.cut_next_large_frame = true;
    // Larger than the pipe holds, so the engine is inside its write when the terminal leaves.
    p.submit_transfer(Sim_transfer::mdl_out, 0x31, 3u << 20);
    EXPECT_TRUE(p.wait_unplugged(0x31, 10000) && p.wait_unplugged(0x32, 10000));
    ASSERT_TRUE(p.wait_idle(10000));
    EXPECT_EQ(issued, p.failed_completions + p.cancelled_at_unplug);
    EXPECT_EQ(completed_before + p.failed_completions, p.completed);
    EXPECT_EQ(0u, p.outstanding());
    expect_quiet_failure_and_stop();
    EXPECT_TRUE(logged(L"ServerChannel::read (ReadFile failed - error:"));
    // The next connection works again.
    const uint64_t completed_after_cut = p.completed;
    ASSERT_TRUE(session.start());
    mixed_traffic(3, 4);
    ASSERT_TRUE(p.wait_idle(10000));
    session.stop();
    EXPECT_EQ(completed_after_cut + 17, p.completed);
    EXPECT_EQ(0u, p.wrong_completions);
}

// Both directions full at once: replies the terminal cannot write while requests wait for it
// to read. No lock held across a channel write may be one that the reply handlers need.
TEST_F(Fault_test, LargeTransfersBothWaysNeverDeadlock)
{
    ASSERT_TRUE(session.start());
    for (int i = 0; i < 6; ++i) // each larger than what the channel holds either way
    {
        ASSERT_TRUE(p.wait_outstanding_below(9, 20000)) << i;
        p.submit_transfer(Sim_transfer::plain_in, 0x31, 3 << 19);
        p.submit_transfer(Sim_transfer::plain_in, 0x31, 3 << 19);
        p.submit_transfer(Sim_transfer::mdl_out, 0x32, 3 << 20);
    }
    ASSERT_TRUE(p.wait_idle(30000));
    EXPECT_EQ(18u, p.completed);
    mixed_traffic(5, 3);
    ASSERT_TRUE(p.wait_idle(10000));
    session.stop();
    EXPECT_EQ(43u, p.completed);
    EXPECT_EQ(0u, p.wrong_completions);
}

TEST_F(Fault_test, ReconnectCyclesUnderTrafficLeakNoHandleAndNeverDeadlock)
{
    constexpr int k_cycles = 200, k_warm_up = 10;
    DWORD handles_after_warm_up = 0;
    for (int cycle = 0; cycle < k_cycles; ++cycle)
    {
        ASSERT_TRUE(session.start(10000)) << cycle;
        p.submit_transfer(Sim_transfer::mdl_in, 0x31, 20000);
        p.submit_transfer(Sim_transfer::plain_out, 0x32, 1500);
        p.submit_transfer(Sim_transfer::mdl_out, 0x32, 4000);
        p.submit_status_request(2, 0x31);
        // Every other cycle disconnects with requests in flight: the unplugs at stop cancel them.
        ASSERT_TRUE(cycle % 2 || p.wait_idle(10000)) << cycle;
        session.stop();
        ASSERT_TRUE(p.plugged().empty() && p.outstanding() == 0) << cycle;
        if (cycle == k_warm_up)
            handles_after_warm_up = g_sim_open_handles();
    }
    // A handle lost per cycle would add 189; allow for Wine's own bookkeeping.
    EXPECT_LE(g_sim_open_handles(), handles_after_warm_up + 8);
    EXPECT_EQ(0u, p.wrong_completions);
}

// Event and thread creations counted: the one numbered g_event_failing (g_thread_failing) fails.
int g_events = 0, g_event_failing = -1, g_threads = 0, g_thread_failing = -1;
HANDLE counted_event()
{
    if (g_events++ == g_event_failing)
        return SetLastError(ERROR_NOT_ENOUGH_MEMORY), nullptr;
    return CreateEventW(nullptr, TRUE, FALSE, nullptr);
}
HANDLE counted_thread(LPTHREAD_START_ROUTINE routine, LPVOID parameter)
{
    if (g_threads++ == g_thread_failing)
        return SetLastError(ERROR_NOT_ENOUGH_MEMORY), nullptr;
    return CreateThread(nullptr, 0, routine, parameter, 0, nullptr);
}

// One start that fails at each of its steps, or runs with a worker gone: every stop finishes,
// and the engine starts and relays again afterwards.
TEST_F(Fault_test, EveryFailurePathOfAStartLeavesAStopThatFinishesAndAWorkingEngine)
{
    struct Row
    {
        int event, thread; // the event creation or the worker that fails, -1 none
        bool starts;       // the engine runs and relays
    };
    std::vector<Row> rows = {{-1, -1, true}};
    for (int i = 0; i < 3; ++i) // the exit events
        rows.push_back({i, -1, false});
    for (int i = 0; i < 3; ++i) // reply pump, request pump, poller
        rows.push_back({-1, i, false});
    for (const Row& row : rows)
    {
        const std::string trace = testing::PrintToString(std::make_tuple(row.event, row.thread));
        g_events = g_threads = 0;
        g_event_failing = row.event;
        g_thread_failing = row.thread;
        g_seams.create_event = counted_event;
        g_seams.create_thread = counted_thread;
        const bool relays = session.start(2000);
        EXPECT_EQ(row.starts, g_threads_started.load()) << trace;
        EXPECT_EQ(row.starts, relays) << trace;
        // A failed start leaves nothing open.
        EXPECT_TRUE(row.starts ||
                    (!g_virtual_channel.is_open() && g_bus_driver_handle == INVALID_HANDLE_VALUE))
            << trace;
        session.stop(); // a start that failed already stopped what it had started
        g_seams.create_event = g_create_manual_event;
        g_seams.create_thread = g_create_detached_thread;
        ASSERT_TRUE(session.start()) << "after " << trace;
        mixed_traffic(2, 2);
        EXPECT_TRUE(p.wait_idle(10000)) << "after " << trace;
        session.stop();
    }
    EXPECT_EQ(0u, p.wrong_completions);
}

} // namespace
