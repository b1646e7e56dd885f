// The soak: the engine on the simulator under mixed load for minutes. Every 30 s cycle starts a
// session, relays transfers of every kind and size while devices vanish and come back under the
// same ids, a new one comes and goes and hostile frames arrive, then breaks the terminal and
// stops the session, as a disconnect does; the next cycle reconnects. After each cycle, with the
// engine stopped, the requests, handles and memory are measured; every minute they are printed.
// Fails when a request was lost or answered wrongly, or handles or memory grew after minute 1.
//   kv_soak.exe [minutes]   (default 10)
#include "sim_hostile.h"
#include "sim_session.h"
#include "soak_load.h"
#include "platform/seams.h"

#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <malloc.h>
#include <new>
#include <vector>

namespace
{

std::atomic<int64_t> g_live_heap_bytes{0};

constexpr DWORD k_cycle_ms = 30000;
constexpr DWORD k_tick_ms = 100;
constexpr uint32_t k_window = 8;
// What may come and go between two quiet points without being a leak: the Wine heap's and the
// working set's own ups and downs.
constexpr int64_t k_heap_slack = 256 << 10;
constexpr double k_working_set_slack_mib = 8;

struct Quiet_point
{
    DWORD handles = 0;
    double working_set_mib = 0;
    int64_t heap_bytes = 0;
};

Quiet_point measure()
{
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return {g_sim_open_handles(), counters.WorkingSetSize / 1048576.0, g_live_heap_bytes.load()};
}

const Sim_device k_devices[] = {
    {0x201, 0x0951, 0x1666, 0x0110, "Soak disk", "SK-1"},
    {0x202, 0x046D, 0xC52B, 0x1201, "Soak receiver", "SK-2"},
    {0x203, 0x0BDA, 0x8153, 0x3000, "Soak reader", "SK-3"},
};
const Sim_device k_visitor = {0x204, 0x1234, 0x5678, 0x0100, "Soak visitor", "SK-4"};

// What happens at a tick of a cycle, besides the hostile frame every half second.
void churn(Sim_terminal& terminal, DWORD at_ms)
{
    switch (at_ms)
    {
    case 6000:
        terminal.remove_device(0x203);
        break;
    case 12000:
        terminal.add_device(k_devices[2]); // back under the same id
        break;
    case 15000:
        terminal.remove_device(0x202);
        terminal.add_device(k_visitor);
        break;
    case 21000:
        terminal.add_device(k_devices[1]);
        terminal.remove_device(0x204);
        break;
    }
}

// One connection: traffic, churn and hostile frames, then the terminal breaks and the session
// stops. False when the session did not start.
bool run_cycle(Sim_session& session, Soak_traffic& traffic, Sim_hostile_sender& hostile,
               std::vector<double>* stop_ms)
{
    if (!session.start(30000))
        return false;
    traffic.start(k_window);
    for (DWORD at = 0; at < k_cycle_ms - 2000; at += k_tick_ms)
    {
        churn(session.terminal, at);
        if (at % 500 == 0)
            hostile.send_one();
        Sleep(k_tick_ms);
    }
    session.platform.break_channel();
    Sleep(1000); // requests meet the broken channel
    traffic.stop();
    LARGE_INTEGER frequency, begin, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&begin);
    session.stop();
    QueryPerformanceCounter(&end);
    stop_ms->push_back(1000.0 * (end.QuadPart - begin.QuadPart) / frequency.QuadPart);
    return true;
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
    const int cycles = static_cast<int>(minutes * 60000 / k_cycle_ms + 0.5);
    Sim_session session;
    g_seams.timing = Engine_timing{}; // production: a stop that waited out a period would show
    session.print = [](const std::string&) {};
    session.platform.record_limit = 200;
    for (const Sim_device& d : k_devices)
        session.terminal.add_device(d);
    Sim_platform& p = session.platform;
    Soak_traffic traffic(p, {0x201, 0x202, 0x203, 0x204});
    Sim_hostile_sender hostile(session.terminal, 0, false);

    std::printf("kvUsbRedirector soak: %d cycles of %lu s (%.1f minutes)\n", cycles,
                k_cycle_ms / 1000, minutes);
    std::fflush(stdout);
    Quiet_point first{}, last{}, highest{};
    bool started = true;
    std::vector<double> stop_ms;
    for (int cycle = 0; cycle < cycles && started; ++cycle)
    {
        started = run_cycle(session, traffic, hostile, &stop_ms);
        p.drop_history();
        last = measure();
        if (cycle == 1 || cycles == 1)
            first = last;
        if (cycle >= 1)
        {
            highest.handles = std::max(highest.handles, last.handles);
            highest.working_set_mib = std::max(highest.working_set_mib, last.working_set_mib);
            highest.heap_bytes = std::max(highest.heap_bytes, last.heap_bytes);
        }
        if (cycle % 2 == 1 || cycle == cycles - 1 || !started)
        {
            const uint64_t lost = p.issued - p.completed - p.cancelled_at_unplug;
            std::printf("minute %4.1f: requests issued %llu, completed %llu (failure status %llu), "
                        "cancelled at unplug %llu, wrong %llu, lost %llu; late replies completed "
                        "after an unplug %llu; "
                        "hostile frames %llu; errors and warnings logged %llu; handles %lu; "
                        "working set %.1f MiB; heap %.2f MiB\n",
                        (cycle + 1) * k_cycle_ms / 60000.0,
                        static_cast<unsigned long long>(p.issued),
                        static_cast<unsigned long long>(p.completed),
                        static_cast<unsigned long long>(p.failed_completions),
                        static_cast<unsigned long long>(p.cancelled_at_unplug),
                        static_cast<unsigned long long>(p.wrong_completions),
                        static_cast<unsigned long long>(lost),
                        static_cast<unsigned long long>(p.unexpected_completions),
                        static_cast<unsigned long long>(hostile.counts().frames),
                        static_cast<unsigned long long>(p.events_reported), last.handles,
                        last.working_set_mib, last.heap_bytes / 1048576.0);
            std::fflush(stdout);
        }
    }

    const uint64_t lost = p.issued - p.completed - p.cancelled_at_unplug;
    const bool requests_ok = started && p.outstanding() == 0 && lost == 0 &&
                             p.wrong_completions == 0 &&
                             session.terminal.out_data_errors.load() == 0 && p.plugged().empty();
    const bool handles_ok = last.handles <= first.handles;
    const bool heap_ok = last.heap_bytes <= first.heap_bytes + k_heap_slack;
    const bool working_set_ok =
        last.working_set_mib <= first.working_set_mib + k_working_set_slack_mib;
    std::printf("after minute 1 -> at the end: handles %lu -> %lu (highest %lu), heap %.2f -> "
                "%.2f MiB (highest %.2f), working set %.1f -> %.1f MiB (highest %.1f)\n",
                first.handles, last.handles, highest.handles, first.heap_bytes / 1048576.0,
                last.heap_bytes / 1048576.0, highest.heap_bytes / 1048576.0, first.working_set_mib,
                last.working_set_mib, highest.working_set_mib);
    std::printf("requests: %s; handles: %s; heap: %s; working set: %s\n",
                requests_ok ? "none lost, none wrong" : "LOST OR WRONG",
                handles_ok ? "no growth" : "GREW", heap_ok ? "no growth" : "GREW",
                working_set_ok ? "no growth" : "GREW");
    std::sort(stop_ms.begin(), stop_ms.end());
    if (!stop_ms.empty())
        std::printf("stop times over %zu cycles (production timings): median %.1f ms, largest "
                    "%.1f ms\n",
                    stop_ms.size(), stop_ms[stop_ms.size() / 2], stop_ms.back());
    const bool ok = requests_ok && handles_ok && heap_ok && working_set_ok;
    std::printf("RESULT: %s\n", ok ? "OK" : "FAILED");
    return ok ? 0 : 1;
}
