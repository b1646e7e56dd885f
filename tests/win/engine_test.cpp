// The port driver call, engine start and stop, the reply pump and the negotiation handler,
// against the simulated channel and drivers.
#include "channel/server_channel.h"
#include "support/fixtures.h"
#include "manager/usb_driver.h"
#include "manager/usb_manager.h"
#include "packets/usb_packet_negotiate.h"
#include "portable/reply_frame.h"
#include "shell/app_globals.h"

#include <algorithm>

namespace
{

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
        sim.add_drivers();
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
        EXPECT_EQ(Bytes({5, 0, 0, 0, 12, 2, 0, 0, 0}), g_terminal_receive(sim.terminal(), 9));
    }
    void stop()
    {
        g_stop_threads();
        g_threads_started = false;
    }
    void send(const Bytes& frame)
    {
        ASSERT_TRUE(g_terminal_send(sim.terminal(), frame));
    }
};

TEST_F(Engine_test, PortDriverCallIsCancelledOnlyWhenAbortedWhilePending)
{
    // The abort is set before each call. With a request waiting the query completes at once,
    // or through its event when it pends.
    using Row = std::tuple<const char*, bool, bool, bool, DWORD, bool, int>;
    g_session_id = own_session();
    ASSERT_TRUE(g_open_port_driver());
    const HANDLE port = g_port_driver_handle;
    HANDLE abort = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    for (auto [name, open, waiting, pends, failing, result, cancels] :
         {Row{"port driver not open", false, true, false, 0, false, 0},
          Row{"completes at once", true, true, false, 0, true, 0},
          Row{"pending when aborted", true, false, false, 0, false, 1},
          Row{"done and aborted: done wins", true, true, true, 0, true, 0},
          Row{"fails at once", true, true, false, IOCTL_PORT_QUERY, false, 0}})
    {
        SCOPED_TRACE(name);
        sim.cancel_calls = 0;
        const uint64_t queries = sim.queries;
        sim.forget_outstanding();
        if (waiting)
            sim.queue_request({5, 0, 0, 0, 2, 7, 0, 0, 0});
        g_port_driver_handle = open ? port : INVALID_HANDLE_VALUE;
        sim.queries_pend = pends;
        sim.failing_code = failing;
        BYTE buffer[16];
        DWORD returned;
        EXPECT_EQ(result, g_call_port_driver(IOCTL_PORT_QUERY, buffer, 16, &returned, abort));
        EXPECT_EQ(cancels, sim.cancel_calls);
        EXPECT_EQ(0u, sim.pending_queries());
        EXPECT_EQ(open ? 1u : 0u, sim.queries - queries);
    }
    sim.failing_code = 0;
    CloseHandle(abort);
}

TEST_F(Engine_test, StartNegotiatesStopReleasesEverythingAndRestartBeginsAnew)
{
    sim.failing_code = IOCTL_BUS_UNREGISTER_SESSION;
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

TEST_F(Engine_test, AFailedStartLeavesNothingOpen)
{
    using Row = std::tuple<const char*, bool, bool, Thread_creator, const wchar_t*>;
    const auto bus = sim.bus_devices;
    for (auto [name, channel_fails, bus_driver, creator, line] :
         {Row{"no channel", true, true, nullptr, L"g_virtual_channel.open() failed."},
          Row{"no bus driver", false, false, nullptr, L"g_open_bus_driver failed."},
          Row{"negotiation not sent", false, true, disconnect_then_create,
              L"process_return - packet_negotiate failed"}})
    {
        SCOPED_TRACE(name);
        sim.clear_lines();
        sim.channel_fails = channel_fails;
        sim.bus_devices = bus_driver ? bus : decltype(bus){};
        g_set_thread_creator(creator);
        EXPECT_FALSE(g_start_threads());
        EXPECT_TRUE(sim.has_line(line));
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
    start();
    g_max_reply_length = 64;
    for (BYTE code : {1, 7, 10, 13, 200})
        send({5, 0, 0, 0, code, 0, 0, 0, 0});
    send({0, 0, 0, 0});
    Bytes oversized(4 + 65, 12), longest(4 + 64, 0xEE); // one over the bound; exactly at it
    kv::store_u32(oversized.data(), 65);
    kv::store_u32(longest.data(), 64);
    send(oversized);
    send(longest);
    send({1, 0, 0, 0, 12}); // a negotiate reply without body: version 2
    ASSERT_TRUE(sim.wait_for_calls(IOCTL_BUS_REGISTER_SESSION, 1));
    for (const wchar_t* line :
         {L"Unknown packet 1", L"Unknown packet 7", L"Unknown packet a", L"Unknown packet d",
          L"Unknown packet c8", L"Unknown packet ee", L"empty frame dropped",
          L"frame too long, dropped - length:65", L"Response IOCTL - code:12, devid:-1, handle:-1"})
        EXPECT_TRUE(sim.has_line(line)) << line;
    send({2, 0, 0, 0, 12, 2}); // one body byte: version 1
    EXPECT_TRUE(sim.wait_for_line(L"The KRT is not using version 2.0"));
    // A length no terminal will ever fill: drained until the stop ends the read.
    send({0xFF, 0xFF, 0xFF, 0xFF});
    ASSERT_TRUE(sim.wait_for_line(L"length:-1"));
    stop();
    EXPECT_EQ(0u, sim.pending_queries()); // the request pump's query was cancelled
    EXPECT_EQ(1u, sim.count_calls(IOCTL_BUS_REGISTER_SESSION));
}

TEST_F(Engine_test, NegotiationGatesOnVersionThenRegistersAndOpensThePortDriver)
{
    // Sleeps before the port device appears (0 never), opens; an error logged at level 2 and
    // the application asked to end.
    using Row = std::tuple<const char*, uint32_t, DWORD, size_t, size_t, const wchar_t*>;
    g_session_id = 7;
    g_notify_icon_data.hWnd = nullptr; // no window: the request to end reaches this thread
    g_engine_timing.port_open_first_wait_ms = 17;
    g_engine_timing.port_open_retry_wait_ms = 23;
    g_set_sleep_function(record_sleep);
    ASSERT_TRUE(g_open_bus_driver());
    BYTE reply[9] = {5, 0, 0, 0, 12, 2, 0, 0, 0};
    for (auto [name, version, failing, port_after, attempts, error] :
         {Row{"version 1", 1, 0, 1, 0, L"The KRT is not using version 2.0"},
          Row{"failed unregister", 2, IOCTL_BUS_UNREGISTER_SESSION, 1, 1, nullptr},
          Row{"failed register", 2, IOCTL_BUS_REGISTER_SESSION, 1, 0, L"session failed:0x1f"},
          Row{"port driver at the fifth attempt", 2, 0, 5, 5, nullptr},
          Row{"port driver never there", 2, 0, 0, 21, nullptr}})
    {
        SCOPED_TRACE(name);
        g_close_port_driver();
        sim.port_devices = {{L"other-session", 3, false}};
        sim.clear_lines();
        g_sleeps.clear();
        g_port_appears_after = port_after;
        sim.failing_code = failing;
        const size_t calls = sim.calls().size();
        Usb_packet_negotiate(reply, false, version).process_return();

        std::vector<DWORD> waits(attempts, 23);
        std::fill_n(waits.begin(), std::min<size_t>(1, attempts), 17);
        EXPECT_EQ(waits, g_sleeps);
        EXPECT_EQ(attempts, sim.count_lines(L"Usb_manager::g_open_port_driver() - "));
        EXPECT_EQ(port_after && port_after <= attempts,
                  g_port_driver_handle != INVALID_HANDLE_VALUE);
        auto all = sim.calls(); // unregister, then register, with the session id
        ASSERT_EQ(calls + (version == 2 ? 2 : 0), all.size());
        for (size_t i = calls; i < all.size(); ++i)
            EXPECT_EQ(Bytes({7, 0, 0, 0}), all[i].input);
        EXPECT_TRUE(version != 2 || all[calls].code == IOCTL_BUS_UNREGISTER_SESSION);
        MSG msg; // with no window the request to end is a message of this thread
        EXPECT_EQ(error != nullptr,
                  PeekMessageW(&msg, nullptr, WM_CLOSE, WM_CLOSE, PM_REMOVE) != FALSE);
        auto events = sim.events();
        ASSERT_EQ(error ? 1u : 0u, events.size());
        EXPECT_TRUE(!error || events[0].text.find(error) != std::wstring::npos);
    }
    // A repeated reply keeps the port driver that is open: no wait, no second open.
    sim.failing_code = 0;
    g_sleeps.clear();
    g_port_appears_after = 1;
    Usb_packet_negotiate(reply, false, 2).process_return();
    const HANDLE open = g_port_driver_handle;
    ASSERT_NE(INVALID_HANDLE_VALUE, open);
    g_sleeps.clear();
    Usb_packet_negotiate(reply, false, 2).process_return();
    EXPECT_EQ(open, g_port_driver_handle);
    EXPECT_TRUE(g_sleeps.empty());
}

} // namespace
