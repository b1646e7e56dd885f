// The port driver call, engine start and stop, the reply pump and the negotiation handler,
// against the simulated channel and drivers.
#include "channel/server_channel.h"
#include "support/engine_fixture.h"
#include "manager/usb_driver.h"
#include "manager/usb_manager.h"
#include "packets/usb_packet_negotiate.h"
#include "portable/reply_frame.h"
#include "shell/app_globals.h"

#include <algorithm>
#include <mutex>
#include <set>

namespace
{

const std::vector<BYTE> k_negotiate = {0x05, 0, 0, 0, 0x0C, 0x02, 0, 0, 0};
Test_platform* g_sim = nullptr;
std::vector<DWORD> g_sleeps;     // recorded instead of slept
size_t g_port_appears_after = 0; // sleeps before the port device shows up; 0 never

void record_sleep(DWORD ms)
{
    g_sleeps.push_back(ms);
    if (g_sleeps.size() == g_port_appears_after)
        g_sim->port_devices.push_back({L"late-port", 7, false});
}
HANDLE disconnect_then_create(LPTHREAD_START_ROUTINE routine)
{
    g_sim->disconnect_terminal();
    return CreateThread(nullptr, 0, routine, nullptr, 0, nullptr);
}
class Engine_test : public Engine_fixture
{
  protected:
    void SetUp() override
    {
        Engine_fixture::SetUp();
        add_drivers();
        g_sim = &sim;
    }
    void TearDown() override
    {
        Engine_fixture::TearDown();
        g_set_sleep_function(nullptr);
        g_max_reply_length = kv::k_default_max_reply_length;
    }
    void start() // and take the negotiation request off the wire
    {
        ASSERT_TRUE(g_start_threads());
        g_threads_started = true;
        EXPECT_EQ(k_negotiate, g_terminal_receive(sim.terminal(), 9));
    }
    void stop()
    {
        g_stop_threads();
        g_threads_started = false;
    }
};

TEST_F(Engine_test, PortDriverCallIsCancelledOnlyWhenAbortedWhilePending)
{
    const struct
    {
        const char* name;
        Port_outcome outcome;
        bool open, aborted, result; // aborted: the abort event is set before the call
        int cancels;
    } rows[] = {
        {"port driver not open", Port_outcome::complete, false, false, false, 0},
        {"completes at once", Port_outcome::complete, true, true, true, 0},
        {"pending when aborted", Port_outcome::pend, true, true, false, 1},
        {"done and aborted: done wins", Port_outcome::pend_done, true, true, true, 0},
        {"fails at once", Port_outcome::fail, true, false, false, 0},
    };
    g_session_id = own_session();
    ASSERT_TRUE(g_open_port_driver());
    const HANDLE port = g_port_driver_handle;
    HANDLE abort = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.name);
        sim.cancel_calls = 0;
        const size_t calls = sim.calls().size();
        g_port_driver_handle = row.open ? port : INVALID_HANDLE_VALUE;
        sim.port_behaviour = [outcome = row.outcome](const Ioctl_call&) { return outcome; };
        row.aborted ? SetEvent(abort) : ResetEvent(abort);
        BYTE buffer[16];
        DWORD returned;
        EXPECT_EQ(row.result, g_call_port_driver(IOCTL_PORT_QUERY, buffer, 16, &returned, abort));
        EXPECT_EQ(row.cancels, sim.cancel_calls);
        EXPECT_EQ(0u, sim.pending_count());
        EXPECT_EQ(row.open ? 1u : 0u, sim.calls().size() - calls);
    }
    CloseHandle(abort);
}

TEST_F(Engine_test, StartNegotiatesStopReleasesEverythingAndRestartBeginsAnew)
{
    sim.bus_unregister_fails = true;
    start();
    stop();
    EXPECT_EQ(1u, sim.count_lines(L"Usb_manager::g_stop_threads() - All threads have ended"));
    // Never opened, the port driver's close fails; a failed unregister does not end the stop.
    EXPECT_TRUE(sim.has_line(L"Usb_manager::g_close_port_driver() - success return_value:0"));
    for (HANDLE handle : {g_mdl_urb_list_mutex, g_virtual_channel_mutex, g_exit_now_read_event,
                          g_exit_now_virtual_channel_event, g_bus_driver_handle})
        EXPECT_EQ(INVALID_HANDLE_VALUE, handle);
    EXPECT_FALSE(g_virtual_channel.is_open());
    EXPECT_EQ(1, sim.channel_buffers_given);
    EXPECT_EQ(1, sim.channel_buffers_freed);
    EXPECT_EQ(IOCTL_BUS_UNREGISTER_SESSION, sim.calls().back().code);
    EXPECT_EQ(own_session(), kv::load_u32(sim.calls().back().input.data()));
    start();
    EXPECT_EQ(2u, sim.count_lines(L"Usb_manager::initialize() - success."));
}

// While no port driver is open the request pump idles in its own steps; the poller keeps its
// own period.
std::mutex g_periods_mutex;
std::set<DWORD> g_periods;
void note_period(DWORD ms)
{
    {
        std::lock_guard<std::mutex> lock(g_periods_mutex);
        g_periods.insert(ms);
    }
    Sleep(ms);
}

TEST_F(Engine_test, IdleRequestPumpAndPollerEachSleepTheirOwnPeriod)
{
    g_engine_timing.port_driver_idle_ms = 7;
    g_engine_timing.device_list_period_ms = 11;
    g_set_sleep_function(note_period);
    start();
    for (int i = 0; i < 500 && g_periods.size() < 2; ++i)
        Sleep(2);
    stop();
    std::lock_guard<std::mutex> lock(g_periods_mutex);
    EXPECT_EQ(std::set<DWORD>({7, 11}), g_periods);
}

TEST_F(Engine_test, AFailedStartLeavesNothingOpen)
{
    const struct
    {
        const char* name;
        bool channel_fails, bus_driver, starts;
        Thread_creator creator;
        const wchar_t* line;
    } rows[] = {
        {"no channel", true, true, false, nullptr, L"g_virtual_channel.open() failed."},
        {"no bus driver", false, false, false, nullptr, L"g_open_bus_driver failed."},
        {"negotiation not sent", false, true, false, disconnect_then_create,
         L"process_return - packet_negotiate failed"},
    };
    const auto bus = sim.bus_devices;
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.name);
        sim.clear_lines();
        sim.channel_fails = row.channel_fails;
        sim.bus_devices = row.bus_driver ? bus : decltype(bus){};
        g_set_thread_creator(row.creator);
        EXPECT_EQ(row.starts, g_start_threads());
        EXPECT_TRUE(sim.has_line(row.line));
        if (row.starts)
            g_stop_threads();
        EXPECT_EQ(sim.has_line(L"created"),
                  sim.has_line(L"Usb_manager::g_stop_threads() - All threads have ended"));
        EXPECT_FALSE(g_virtual_channel.is_open());
        EXPECT_EQ(INVALID_HANDLE_VALUE, g_virtual_channel_mutex);
        EXPECT_EQ(INVALID_HANDLE_VALUE, g_bus_driver_handle);
        // A bus driver that was never opened is not reported as failing to close.
        EXPECT_FALSE(sim.has_line(L"g_bus_driver_handle CloseHandle() failed"));
    }
}

TEST_F(Engine_test, ReplyPumpDispatchesByCodeAndLengthAndDropsTheRest)
{
    auto send = [this](const std::vector<BYTE>& b)
    { ASSERT_TRUE(g_terminal_send(sim.terminal(), b)); };
    start();
    g_max_reply_length = 64;
    for (int code : {1, 7, 10, 13, 200})
        send(g_bytes({5, 0, 0, 0, code, 0, 0, 0, 0}));
    send(g_bytes({0, 0, 0, 0}));
    std::vector<BYTE> oversized(4 + 65, 12); // a body of code bytes that must not be dispatched
    kv::store_u32(oversized.data(), 65);
    send(oversized);
    std::vector<BYTE> longest(4 + 64, 0xEE); // exactly at the bound: read and dispatched
    kv::store_u32(longest.data(), 64);
    send(longest);
    send(g_bytes({1, 0, 0, 0, 12})); // a negotiate reply without body: version 2
    ASSERT_TRUE(sim.wait_for_calls(IOCTL_BUS_REGISTER_SESSION, 1));
    for (const wchar_t* line :
         {L"Unknown packet 1", L"Unknown packet 7", L"Unknown packet a", L"Unknown packet d",
          L"Unknown packet c8", L"Unknown packet ee", L"empty frame dropped",
          L"frame too long, dropped - length:65", L"Response IOCTL - code:12, devid:-1, handle:-1"})
        EXPECT_TRUE(sim.has_line(line)) << line;
    send(g_bytes({2, 0, 0, 0, 12, 2})); // one body byte: version 1
    EXPECT_TRUE(sim.wait_for_line(L"The KRT is not using version 2.0"));
    // A length no terminal will ever fill: drained until the stop ends the read.
    send(g_bytes({0xFF, 0xFF, 0xFF, 0xFF}));
    ASSERT_TRUE(sim.wait_for_line(L"length:-1"));
    stop();
    EXPECT_EQ(0u, sim.pending_count()); // the request pump's query was cancelled
    EXPECT_EQ(1u, sim.count_calls(IOCTL_BUS_REGISTER_SESSION));
}

TEST_F(Engine_test, NegotiationGatesOnVersionThenRegistersAndOpensThePortDriver)
{
    const struct
    {
        const char* name;
        uint32_t version;
        bool unregister_fails, register_fails;
        size_t port_after, attempts; // sleeps before the port device appears (0 never); opens
        const wchar_t* error;        // logged at level 2, and the application asked to end
    } rows[] = {
        {"version 1", 1, false, false, 1, 0, L"The KRT is not using version 2.0"},
        {"failed unregister", 2, true, false, 1, 1, nullptr},
        {"failed register", 2, false, true, 1, 0, L"session failed:0x1f"},
        {"port driver at the fifth attempt", 2, false, false, 5, 5, nullptr},
        {"port driver never there", 2, false, false, 0, 21, nullptr},
    };
    g_session_id = 7;
    g_notify_icon_data.hWnd = nullptr; // no window: the request to end reaches this thread
    g_engine_timing.port_open_first_wait_ms = 17;
    g_engine_timing.port_open_retry_wait_ms = 23;
    g_set_sleep_function(record_sleep);
    ASSERT_TRUE(g_open_bus_driver());
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.name);
        g_close_port_driver();
        sim.port_devices = {{L"other-session", 3, false}};
        sim.clear_lines();
        g_sleeps.clear();
        g_port_appears_after = row.port_after;
        sim.bus_unregister_fails = row.unregister_fails;
        sim.bus_register_fails = row.register_fails;
        const size_t calls = sim.calls().size();
        BYTE reply[9] = {5, 0, 0, 0, 12, 2, 0, 0, 0};
        Usb_packet_negotiate(reply, false, row.version).process_return();

        std::vector<DWORD> waits(row.attempts, 23);
        std::fill_n(waits.begin(), std::min<size_t>(1, row.attempts), 17);
        EXPECT_EQ(waits, g_sleeps);
        EXPECT_EQ(row.attempts, sim.count_lines(L"Usb_manager::g_open_port_driver() - "));
        EXPECT_EQ(row.port_after && row.port_after <= row.attempts,
                  g_port_driver_handle != INVALID_HANDLE_VALUE);
        auto all = sim.calls(); // unregister, then register, with the session id
        ASSERT_EQ(calls + (row.version == 2 ? 2 : 0), all.size());
        for (size_t i = calls; i < all.size(); ++i)
            EXPECT_EQ(g_bytes({7, 0, 0, 0}), all[i].input);
        EXPECT_TRUE(row.version != 2 || all[calls].code == IOCTL_BUS_UNREGISTER_SESSION);
        MSG msg; // with no window the request to end is a message of this thread
        EXPECT_EQ(row.error != nullptr,
                  PeekMessageW(&msg, nullptr, WM_CLOSE, WM_CLOSE, PM_REMOVE) != FALSE);
        auto events = sim.events();
        ASSERT_EQ(row.error ? 1u : 0u, events.size());
        EXPECT_TRUE(!row.error || events[0].text.find(row.error) != std::wstring::npos);
    }
    // A repeated reply keeps the port driver that is open: no wait, no second open.
    g_sleeps.clear();
    g_port_appears_after = 1;
    BYTE reply[9] = {5, 0, 0, 0, 12, 2, 0, 0, 0};
    Usb_packet_negotiate(reply, false, 2).process_return();
    const HANDLE open = g_port_driver_handle;
    ASSERT_NE(INVALID_HANDLE_VALUE, open);
    g_sleeps.clear();
    Usb_packet_negotiate(reply, false, 2).process_return();
    EXPECT_EQ(open, g_port_driver_handle);
    EXPECT_TRUE(g_sleeps.empty());
}

} // namespace
