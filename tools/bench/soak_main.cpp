// The soak: the engine on the simulator under mixed load for minutes. Every cycle (30 s) starts a
// session, relays transfers of every kind and size while devices vanish and come back under the
// same ids, a new one comes and goes and hostile frames arrive, then breaks the terminal and
// stops the session, as a disconnect does; the next cycle reconnects. After each cycle, with the
// engine stopped, the requests, handles and memory are measured; every minute they are printed.
// Fails when a request was lost or answered wrongly, when memory grew after minute 1, or when
// handles kept growing after it: one made on a first use and kept (Wine's, the runtime's) raises
// their count in one step, a leak again and again.
//   kv_soak.exe [minutes [cycle seconds]]   (10, 30)
#include "sim_hostile.h"
#include "sim_session.h"
#include "soak_handles.h"
#include "platform/seams.h"

#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <malloc.h>
#include <new>
#include <random>
#include <thread>
#include <vector>

namespace
{

std::atomic<int64_t> g_live_heap_bytes{0};
DWORD g_cycle_ms = 30000;
constexpr DWORD k_tick_ms = 100;
// What may come and go between two quiet points without being a leak: the Wine heap's and the
// working set's own ups and downs.
constexpr int64_t k_heap_slack = 256 << 10;
constexpr double k_working_set_slack_mib = 8;

struct Quiet_point
{
    int64_t heap_bytes = 0;
    double working_set_mib = 0;
    std::map<uintptr_t, std::string> handles;
};

Quiet_point measure()
{
    Quiet_point q;
    q.heap_bytes = g_live_heap_bytes.load();
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    q.working_set_mib = counters.WorkingSetSize / 1048576.0;
    q.handles = g_open_handles();
    return q;
}

// Whether the handle counts after the baseline reached a new high in the first half of the
// cycles after it, and again in the second: a slope, not a step.
std::pair<bool, bool> rises(const std::vector<size_t>& counts, size_t baseline)
{
    std::pair<bool, bool> rose;
    const size_t middle = baseline + (counts.size() - baseline) / 2;
    for (size_t i = baseline + 1, high = counts[baseline]; i < counts.size(); ++i)
    {
        (i <= middle ? rose.first : rose.second) |= counts[i] > high;
        high = std::max(high, counts[i]);
    }
    return rose;
}

const Sim_device k_devices[] = {
    {0x201, 0x0951, 0x1666, 0x0110, "Soak disk", "SK-1"},
    {0x202, 0x046D, 0xC52B, 0x1201, "Soak receiver", "SK-2"},
    {0x203, 0x0BDA, 0x8153, 0x3000, "Soak reader", "SK-3"},
};
const Sim_device k_visitor = {0x204, 0x1234, 0x5678, 0x0100, "Soak visitor", "SK-4"};

// What happens at a tick of a cycle, besides the hostile frame every half second: in tenths of
// the cycle, a device leaves at 2 and comes back under its id at 4; another leaves while a new
// one comes at 5, and they swap back at 7.
void churn(Sim_terminal& terminal, DWORD at_ms)
{
    const DWORD tenth = g_cycle_ms / 10;
    if (at_ms == 2 * tenth)
        terminal.remove_device(0x203);
    if (at_ms == 4 * tenth)
        terminal.add_device(k_devices[2]);
    if (at_ms == 5 * tenth)
    {
        terminal.remove_device(0x202);
        terminal.add_device(k_visitor);
    }
    if (at_ms == 7 * tenth)
    {
        terminal.add_device(k_devices[1]);
        terminal.remove_device(0x204);
    }
}

// Keeps 8 transfers in flight, of every kind and of every size class the engine treats apart
// (empty, within one channel buffer, at and past its 1600 bytes, several, large), on whichever
// devices are plugged in, until running goes false.
void traffic(Sim_platform& p, const std::atomic<bool>& running)
{
    constexpr uint32_t k_sizes[] = {0,    1,    64,    512,   1599,   1600,
                                    1601, 4096, 20000, 65536, 300000, 1u << 20};
    static std::mt19937 random{20261207};
    while (running)
    {
        if (!p.wait_outstanding_below(8, 100))
            continue;
        const auto kind = static_cast<Sim_transfer>(random() % 4);
        uint32_t size = k_sizes[random() % std::size(k_sizes)];
        // A plain OUT request carries its data in the port driver's 5152-byte query buffer.
        size = kind == Sim_transfer::plain_out ? std::min(size, 4096u) : size;
        if (!p.submit_transfer_if_plugged(kind, 0x201 + random() % 4, size))
            Sleep(5); // that device is away
    }
}

// One connection: traffic, churn and hostile frames, then the terminal breaks and the session
// stops. False when the session did not start.
bool run_cycle(Sim_session& session, Sim_hostile_sender& hostile, std::vector<double>* stop_ms)
{
    if (!session.start(30000))
        return false;
    std::atomic<bool> running{true};
    std::thread load(traffic, std::ref(session.platform), std::cref(running));
    for (DWORD at = 0; at + 2000 < g_cycle_ms; at += k_tick_ms)
    {
        churn(session.terminal, at);
        if (at % 500 == 0)
            hostile.send_one();
        Sleep(k_tick_ms);
    }
    session.platform.break_channel();
    Sleep(1000); // requests meet the broken channel
    running = false;
    load.join();
    LARGE_INTEGER frequency, begin, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&begin);
    session.stop();
    QueryPerformanceCounter(&end);
    stop_ms->push_back(1000.0 * (end.QuadPart - begin.QuadPart) / frequency.QuadPart);
    return true;
}

// The end-of-session stop while the port driver holds every plug-in (the stop cancels the one
// in progress at once) and while it holds every unplug (the stop abandons them once its budget
// is spent), in milliseconds.
void print_held_stops(Sim_session& session)
{
    Sim_platform& p = session.platform;
    for (const Sim_call call : {Sim_call::port_plug_in, Sim_call::port_unplug})
    {
        const Sim_ending held{call, Sim_end::pend_until_cancel, ERROR_GEN_FAILURE,
                              Sim_driver::port};
        // Production timings: the first list goes out 3 s after the start. A held plug-in never
        // ends, so the start's wait for every device to be plugged in runs out.
        if (call == Sim_call::port_plug_in)
            p.end_calls(held);
        session.start(call == Sim_call::port_plug_in ? 5000 : 30000);
        if (call == Sim_call::port_unplug)
            p.end_calls(held);
        LARGE_INTEGER frequency, begin, end;
        QueryPerformanceFrequency(&frequency);
        QueryPerformanceCounter(&begin);
        session.stop();
        QueryPerformanceCounter(&end);
        std::printf("stop with every %s held by the port driver: %.1f ms\n",
                    call == Sim_call::port_plug_in ? "plug-in" : "unplug",
                    1000.0 * (end.QuadPart - begin.QuadPart) / frequency.QuadPart);
        p.end_calls_as_usual();
    }
}

} // namespace

// Every allocation of the program and the simulator comes through here; the live bytes are
// counted so that a leak shows between two quiet points.
void* operator new(size_t size)
{
    void* block = std::malloc(size ? size : 1);
    if (!block)
        throw std::bad_alloc();
    g_live_heap_bytes += static_cast<int64_t>(_msize(block));
    return block;
}

void operator delete(void* block) noexcept
{
    if (!block)
        return;
    g_live_heap_bytes -= static_cast<int64_t>(_msize(block));
    std::free(block);
}

void operator delete(void* block, size_t) noexcept
{
    operator delete(block);
}

int main(int argc, char** argv)
{
    const double minutes = argc >= 2 ? std::atof(argv[1]) : 10;
    g_cycle_ms = argc >= 3 ? std::atoi(argv[2]) * 1000 : g_cycle_ms;
    const int cycles = std::max(1, static_cast<int>(minutes * 60000 / g_cycle_ms + 0.5));
    const int per_minute = std::max(1, static_cast<int>(60000 / g_cycle_ms));
    // The first minute's last cycle: what is made on a first use is made by then.
    const int baseline = std::min(cycles, per_minute) - 1;
    Sim_session session;
    g_seams.timing = Engine_timing{}; // production: a stop that waited out a period would show
    session.print = [](const std::string&) {};
    session.platform.record_limit = 200;
    for (const Sim_device& d : k_devices)
        session.terminal.add_device(d);
    Sim_platform& p = session.platform;
    Sim_hostile_sender hostile(session.terminal, 0, false);

    std::printf("kvUsbRedirector soak: %d cycles of %lu s (%.1f minutes)\n", cycles,
                g_cycle_ms / 1000, cycles * g_cycle_ms / 60000.0);
    std::fflush(stdout);
    Quiet_point first, base, last, highest;
    std::vector<size_t> handle_counts;
    std::vector<double> stop_ms;
    bool started = true;
    for (int cycle = 0; cycle < cycles && started; ++cycle)
    {
        started = run_cycle(session, hostile, &stop_ms);
        p.drop_history();
        last = measure();
        handle_counts.push_back(last.handles.size());
        if (cycle == 0)
            first = last;
        if (cycle == baseline)
            base = last;
        highest.heap_bytes = std::max(highest.heap_bytes, last.heap_bytes);
        highest.working_set_mib = std::max(highest.working_set_mib, last.working_set_mib);
        if ((cycle + 1) % per_minute != 0 && cycle != cycles - 1 && started)
            continue;
        std::printf("minute %4.1f: requests issued %llu, completed %llu (failure status %llu), "
                    "cancelled at unplug %llu, wrong %llu, lost %llu; late replies completed "
                    "after an unplug %llu; hostile frames %llu; errors and warnings logged %llu; "
                    "handles %zu; working set %.1f MiB; heap %.2f MiB\n",
                    (cycle + 1) * g_cycle_ms / 60000.0, p.issued, p.completed, p.failed_completions,
                    p.cancelled_at_unplug, p.wrong_completions,
                    p.issued - p.completed - p.cancelled_at_unplug, p.unexpected_completions,
                    static_cast<unsigned long long>(hostile.counts().frames), p.events_reported,
                    last.handles.size(), last.working_set_mib, last.heap_bytes / 1048576.0);
        std::fflush(stdout);
    }

    const bool requests_ok = started && p.outstanding() == 0 &&
                             p.issued == p.completed + p.cancelled_at_unplug &&
                             p.wrong_completions == 0 &&
                             session.terminal.out_data_errors.load() == 0 && p.plugged().empty();
    const size_t b = std::min<size_t>(baseline, handle_counts.size() - 1);
    const auto [first_half, second_half] = rises(handle_counts, b);
    const bool handles_ok = !(first_half && second_half);
    const bool heap_ok = last.heap_bytes <= base.heap_bytes + k_heap_slack;
    const bool working_set_ok =
        last.working_set_mib <= base.working_set_mib + k_working_set_slack_mib;
    const size_t highest_handles =
        *std::max_element(handle_counts.begin() + b, handle_counts.end());
    std::printf("after cycle 1 -> after minute 1 -> at the end: handles %zu -> %zu -> %zu (highest "
                "%zu after minute 1); heap %.2f -> %.2f MiB (highest %.2f), working set %.1f -> "
                "%.1f MiB (highest %.1f) after minute 1 -> at the end\n",
                handle_counts.front(), handle_counts[b], handle_counts.back(), highest_handles,
                base.heap_bytes / 1048576.0, last.heap_bytes / 1048576.0,
                highest.heap_bytes / 1048576.0, base.working_set_mib, last.working_set_mib,
                highest.working_set_mib);
    const std::string kept = g_new_handles(first.handles, base.handles);
    const std::string since = g_new_handles(base.handles, last.handles);
    std::printf("handles made after cycle 1 and kept at minute 1: %s\nhandles new since minute "
                "1: %s\n",
                kept.empty() ? "none" : kept.c_str(), since.empty() ? "none" : since.c_str());
    const char* handles = !handles_ok ? "GREW (rising in both halves after minute 1)"
                          : handle_counts.size() < b + 3 ? "too short to tell"
                          : first_half  ? "one step, then no growth (made on a first use and kept)"
                          : second_half ? "one late step (a first use, or growth too slow for this "
                                          "run: run longer)"
                                        : "no growth";
    std::printf("requests: %s; handles: %s; heap: %s; working set: %s\n",
                requests_ok ? "none lost, none wrong" : "LOST OR WRONG", handles,
                heap_ok ? "no growth" : "GREW", working_set_ok ? "no growth" : "GREW");
    std::sort(stop_ms.begin(), stop_ms.end());
    stop_ms.push_back(stop_ms.empty() ? 0 : stop_ms.back());
    std::printf(
        "stop times over %zu cycles (production timings): median %.1f ms, largest %.1f ms\n",
        stop_ms.size() - 1, stop_ms[(stop_ms.size() - 1) / 2], stop_ms.back());
    print_held_stops(session);
    const bool ok = requests_ok && handles_ok && heap_ok && working_set_ok;
    std::printf("RESULT: %s\n", ok ? "OK" : "FAILED");
    return ok ? 0 : 1;
}
