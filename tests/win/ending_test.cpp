// Every call the engine makes on a peer, ended every way Windows allows for it: a stop asked
// then returns within a second, no failure passes for a success, the event log stays within its
// budget, and nothing is left behind: no handle, no MDL record, no operation still pending, no
// request neither completed nor cancelled.
#include "support/fixtures.h"
#include "debug/usb_debug.h"
#include "manager/usb_manager.h"
#include "packets/mdl_urb_list.h"
#include "packets/usb_device_list.h"

#include <gtest/gtest.h>

#include <future>

namespace
{

struct Row
{
    Sim_call call;
    Sim_driver driver;
    bool overlapped; // else synchronous: done or failed at once only
    bool abortable;  // the stop cancels it
    bool after_start;
};

std::vector<Sim_ending> endings_of(const Row& row)
{
    std::vector<Sim_ending> endings = {{row.call, Sim_end::done_at_once}};
    for (DWORD error : {ERROR_INSUFFICIENT_BUFFER, ERROR_GEN_FAILURE, ERROR_INVALID_HANDLE})
        endings.push_back({row.call, Sim_end::fail_at_once, error});
    if (row.call == Sim_call::create_file)
        endings.push_back({row.call, Sim_end::fail_at_once, ERROR_ACCESS_DENIED});
    if (row.overlapped)
    {
        endings.push_back({row.call, Sim_end::pend_then_done});
        endings.push_back({row.call, Sim_end::pend_then_fail, ERROR_DEVICE_NOT_CONNECTED});
    }
    if (row.abortable)
        endings.push_back({row.call, Sim_end::pend_until_cancel});
    if (row.call == Sim_call::channel_read)
        endings.push_back({row.call, Sim_end::more_data});
    for (Sim_ending& ending : endings)
    {
        ending.driver = row.driver;
        // A channel transfer done here waits for real bytes: a few, while they flow.
        const bool carries_data = ending.end == Sim_end::done_at_once ||
                                  ending.end == Sim_end::pend_then_done ||
                                  ending.end == Sim_end::more_data;
        if (carries_data && (row.call == Sim_call::channel_read || row.call == Sim_call::channel_write))
            ending.times = 3;
    }
    return endings;
}

class Ending_test : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        session.print = [](const std::string&) {};
        session.terminal.add_device({0x31, 0x1111, 0x2222, 0x0100, "Stick", "S-1"});
        session.terminal.add_device({0x32, 0x3333, 0x4444, 0x0200, "Reader", "R-1"});
        g_shorten_engine_waits();
        g_trace_logger_handle = 1;
        g_trace_enable_level = 4;
        g_trace_enabled = 1;
    }
    void TearDown() override
    {
        g_trace_enabled = 0;
    }
    // Stops on another thread; a stop still running after a second is a hang: the simulator
    // then ends what it holds, so that the test goes on and reports it.
    DWORD timed_stop()
    {
        const ULONGLONG begin = GetTickCount64();
        auto stopped = std::async(std::launch::async, [this] { session.stop(); });
        if (stopped.wait_for(std::chrono::milliseconds(1000)) == std::future_status::timeout)
        {
            p.end_calls_as_usual();
            while (stopped.wait_for(std::chrono::milliseconds(50)) == std::future_status::timeout)
                p.end_pending_calls();
        }
        return static_cast<DWORD>(GetTickCount64() - begin);
    }
    void traffic()
    {
        for (int i = 0; i < 8; ++i)
        {
            p.submit_transfer_if_plugged(Sim_transfer::mdl_in, 0x31, 3000);
            p.submit_transfer_if_plugged(Sim_transfer::plain_out, 0x32, 1000);
        }
        if (p.plugged().count(0x31))
            p.submit_status_request(2, 0x31);
    }
    Usb_device_state state_of(uint32_t devid)
    {
        Lock_hold hold(g_device_list_mutex);
        const Usb_device_entry* entry = g_find_device_entry(devid);
        return entry ? entry->state : Usb_device_state::marked;
    }
    void run_cell(const Row& row, const Sim_ending& ending);

    Test_session session;
    Test_platform& p = session.platform;
};

void Ending_test::run_cell(const Row& row, const Sim_ending& ending)
{
    p.clear_lines(); // and the events
    const uint64_t ended_before = p.calls_ended_otherwise();
    const ULONGLONG begin = GetTickCount64();
    if (!row.after_start)
        p.end_calls(ending);
    session.start(300);
    if (row.after_start)
        p.end_calls(ending);
    traffic();
    if (row.call == Sim_call::port_unplug)
        session.terminal.remove_device(0x32);
    Sleep(150);
    traffic();
    Sleep(100);
    const bool failing =
        ending.end == Sim_end::fail_at_once || ending.end == Sim_end::pend_then_fail;
    if (row.call == Sim_call::port_plug_in && failing)
    {
        EXPECT_FALSE(p.has_line(L"Plugged in device"));
        EXPECT_TRUE(std::ranges::none_of(
            p.events(), [](const auto& e) { return e.id == k_event_id_device_shared; }));
        EXPECT_EQ(Usb_device_state::failed, state_of(0x31));
    }
    EXPECT_LT(timed_stop(), 1000u);
    const ULONGLONG seconds = (GetTickCount64() - begin + 999) / 1000;
    EXPECT_LE(std::ranges::count_if(p.events(), [](const auto& e)
                                    { return e.type != EVENTLOG_INFORMATION_TYPE; }),
              static_cast<std::ptrdiff_t>(20 * seconds));
    EXPECT_GT(p.calls_ended_otherwise(), ended_before); // the call was made
    EXPECT_EQ(0u, g_mdl_urb_record_count());
    EXPECT_EQ(0u, p.pending_operations());
    // A device whose unplug failed stays in the port driver, its requests with it.
    EXPECT_TRUE(p.outstanding() == 0 || (row.call == Sim_call::port_unplug && failing));
    p.end_calls_as_usual();
    p.forget_outstanding();
    p.drop_history();
    if (row.call == Sim_call::port_unplug)
        session.terminal.add_device({0x32, 0x3333, 0x4444, 0x0200, "Reader", "R-1"});
}

TEST_F(Ending_test, EveryPeerCallEndedEveryWayLeavesAQuickStopAndNothingBehind)
{
    using enum Sim_call;
    const Sim_driver bus = Sim_driver::bus, port = Sim_driver::port, any = Sim_driver::any;
    std::vector<Row> rows = {
        {port_query, port, true, true, true},      {port_complete, port, true, true, true},
        {port_plug_in, port, true, false, false},  {port_unplug, port, true, false, true},
        {bus_register, bus, false, false, false},  {bus_unregister, bus, false, false, false},
        {channel_open, any, false, false, false},  {channel_read, any, true, true, true},
        {channel_write, any, true, false, true},   {ui_number, port, false, false, false},
        {create_file, bus, false, false, false},   {create_file, port, false, false, false}};
    for (Sim_call enumeration : {class_devs, enum_interfaces, interface_detail})
        for (Sim_driver driver : {bus, port})
            rows.push_back({enumeration, driver, false, false, false});
    ASSERT_TRUE(session.start()); // warm-up: what the first start makes once
    session.stop();
    const DWORD handles_before = g_sim_open_handles();
    size_t cells = 0;
    for (const Row& row : rows)
        for (const Sim_ending& ending : endings_of(row))
        {
            SCOPED_TRACE(testing::Message() << "call " << static_cast<int>(row.call) << " driver "
                                            << static_cast<int>(row.driver) << " ending "
                                            << static_cast<int>(ending.end) << " error "
                                            << ending.error);
            run_cell(row, ending);
            ++cells;
        }
    EXPECT_EQ(90u, cells);
    EXPECT_LE(g_sim_open_handles(), handles_before + 8); // Wine's own bookkeeping aside
    EXPECT_EQ(0u, p.wrong_completions);
}

// A streaming device caught by an unplug: the first of its requests warns, the rest are traced.
TEST_F(Ending_test, RequestsOfAnUnlistedDeviceWarnOncePerDeviceAndRun)
{
    const auto stream = [this](size_t total)
    {
        p.submit_transfer(Sim_transfer::mdl_in, 0x77, 512);
        for (int i = 0; i < 500 && p.count_lines(L"not listed") < total; ++i)
            Sleep(10);
        p.forget_outstanding();
    };
    const auto warned = [this]
    {
        return std::ranges::count_if(p.lines(), [](const Log_line& line)
                                     { return line.level == 3 && line.text.find(L"not listed") !=
                                                                     std::wstring::npos; });
    };
    ASSERT_TRUE(session.start());
    for (size_t i = 1; i <= 30; ++i)
        stream(i);
    EXPECT_EQ(30u, p.count_lines(L"not listed"));
    EXPECT_EQ(1, warned());
    session.stop();
    ASSERT_TRUE(session.start());
    stream(31);
    EXPECT_EQ(2, warned());
}

} // namespace
