// The limits' tables, the idle sessions, the heading and the plot's data.
#include "bench_format.h"
#include "bench_report.h"

#include <cstdio>
#include <string>

namespace
{

// The first line of a file reached through drive Z: (Linux's /proc), or "?".
std::string first_line(const char* path)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "?";
    char text[256] = {};
    DWORD got = 0;
    ReadFile(file, text, sizeof text - 1, &got, nullptr);
    CloseHandle(file);
    std::string line(text);
    return line.substr(0, line.find('\n'));
}

void print_load(const char* when)
{
    std::printf("load average %s: %s\n", when, first_line("Z:\\proc\\loadavg").c_str());
}

} // namespace

void Report::heading()
{
    using Version = const char*(CDECL*)();
    auto version = reinterpret_cast<Version>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version")));
    SYSTEM_INFO system{};
    GetSystemInfo(&system);
    std::printf("kvUsbRedirector benchmark: the engine on the simulator against the bare "
                "simulated channel\n");
    std::printf("Wine %s, %lu processors\n", version ? version() : "(none)",
                system.dwNumberOfProcessors);
    print_load("at the start");
    std::fflush(stdout);
}

void Report::heading_end()
{
    print_load("at the end");
}

namespace
{

// One row of the limit tables: direction, size, frames, rates, calls, CPU and server time.
void print_limit_row(const char* direction, uint32_t size, const Limit_run& run)
{
    std::printf("  %-3s  %-8s  %6u  %8.2f  %9.0f  %11.2f  %10.1f  %13s\n", direction,
                g_sim_size_name(size).c_str(), run.count, run.mib_per_s(), run.count / run.seconds,
                static_cast<double>(run.calls.system_calls()) / run.count,
                per_mib(run.cpu_ms, run.data_bytes),
                server_per_mib(run.server_ms, run.data_bytes).c_str());
}

} // namespace

void Report::print_limits()
{
    std::printf("\nOne call, microseconds: a Wine server call (CreateEvent and CloseHandle, "
                "each), a VirtualQuery\n");
    for (const auto& [server, query] : m_call_costs)
        std::printf("  server call %.1f, VirtualQuery %.2f\n", server, query);
    std::printf("\nLimits: the simulated channel's named pipes with no engine\n");
    std::printf("(a) the channel's pattern, one transfer's frame after the other\n"
                "    IN: the terminal writes reap replies; the program's end reads them 1600 "
                "bytes at a time,\n"
                "        one overlapped read with a new event each, waited on with an exit "
                "event\n"
                "    OUT: the program's end writes each URB request in one overlapped write "
                "with a new event;\n"
                "         the terminal reads it as the simulated terminal does\n");
    std::printf("  dir  size      frames     MiB/s   frames/s  calls/frame  CPU ms/MiB  "
                "server ms/MiB\n");
    for (const auto& [key, run] : m_limit_a)
        print_limit_row(key.first ? "OUT" : "IN", key.second, run);
    std::printf("(a') OUT as in (a), each frame first copied into a freshly allocated block "
                "that is freed\n     after the write, as the rewrite of an MDL OUT request "
                "does\n");
    for (const auto& [size, run] : m_limit_a_copy)
        print_limit_row("OUT", size, run);
    std::printf("(a*) IN as in (a), but a read that completed at once (its event already "
                "signalled) is not\n     waited for: what the wait after every read costs\n");
    for (const auto& [size, run] : m_limit_a_unwaited)
        print_limit_row("IN", size, run);
    std::printf("(b) large reads: 1 MiB reap replies read with one overlapped read of the size "
                "below at a time\n");
    std::printf("  read size     MiB/s  calls/MiB  CPU ms/MiB  server ms/MiB\n");
    for (const auto& [read_size, run] : m_limit_b)
        std::printf("  %-9s  %8.2f  %9.1f  %10.1f  %13s\n", g_sim_size_name(read_size).c_str(),
                    run.mib_per_s(), run.calls.system_calls() / (run.data_bytes / 1048576.0),
                    per_mib(run.cpu_ms, run.data_bytes),
                    server_per_mib(run.server_ms, run.data_bytes).c_str());
    std::printf("(c) ping-pong: one transfer's request written (channel write), the terminal's "
                "reply read\n    (channel reads); round trip in microseconds\n");
    std::printf("  dir  size      median     p99  calls/round\n");
    for (const auto& [key, t] : m_ping)
        std::printf("  %-3s  %-8s  %6.0f  %6.0f  %11.1f\n", key.first ? "OUT" : "IN",
                    g_sim_size_name(key.second).c_str(), t.median, t.p99,
                    static_cast<double>(t.run.calls.system_calls()) / t.run.count);
    std::printf("(c') relay ping-pong: the same, with the request handed to a writer thread and "
                "the reply\n     handed back by a reader thread, the engine's shape without "
                "the engine\n");
    for (const auto& [key, t] : m_relay)
        std::printf("  %-3s  %-8s  %6.0f  %6.0f\n", key.first ? "OUT" : "IN",
                    g_sim_size_name(key.second).c_str(), t.median, t.p99);
}

void Report::print_idle(const Idle_figures& f)
{
    const double minutes = f.seconds / 60.0;
    std::printf("\nIdle: %d session%s side by side, one process each, production timings (device "
                "list every 3 s), %.0f s\n",
                f.processes, f.processes == 1 ? "" : "s", f.seconds);
    if (f.reported != f.processes)
        std::printf("  only %d of %d processes reported\n", f.reported, f.processes);
    if (f.reported == 0)
        return;
    if (f.exact != f.reported)
        std::printf("  %d of %d processes measured in the system's 10 ms steps only\n",
                    f.reported - f.exact, f.reported);
    std::printf("  per session: %.1f ms CPU a minute (the whole process: the engine, the simulated "
                "terminal\n  and drivers, Wine's own threads), working set %.1f MiB\n",
                f.process_cpu_ms / f.reported / minutes, f.working_set_mib / f.reported);
    std::printf("  all together: %.1f ms CPU a minute, working set %.1f MiB; the Wine server %s\n",
                f.process_cpu_ms / minutes, f.working_set_mib,
                f.server_cpu_ms < 0
                    ? "?"
                    : (std::to_string(static_cast<int>(f.server_cpu_ms / minutes + 0.5)) +
                       " ms CPU a minute")
                          .c_str());
    std::fflush(stdout);
}

bool Report::write_plot_data(const char* path)
{
    FILE* file = std::fopen(path, "w");
    if (!file)
        return false;
    std::fprintf(file, "# size in_plain in_mdl out_plain out_mdl limit_in limit_out "
                       "limit_out_copy (MiB/s)\n");
    for (uint32_t size : {64u, 512u, 4096u, 64u << 10, 1u << 20})
    {
        std::fprintf(file, "%u", size);
        for (Sim_transfer kind : {Sim_transfer::plain_in, Sim_transfer::mdl_in,
                                  Sim_transfer::plain_out, Sim_transfer::mdl_out})
        {
            double rate = -1;
            for (const Engine_row& row : m_engine)
                if (row.run.kind == kind && row.run.size == size && row.run.count != 0)
                    rate = row.run.mib_per_s();
            rate < 0 ? std::fprintf(file, " -") : std::fprintf(file, " %.3f", rate);
        }
        for (bool out : {false, true})
        {
            auto it = m_limit_a.find({out, size});
            it == m_limit_a.end() ? std::fprintf(file, " -")
                                  : std::fprintf(file, " %.3f", it->second.mib_per_s());
        }
        auto copy = m_limit_a_copy.find(size);
        copy == m_limit_a_copy.end() ? std::fprintf(file, " -\n")
                                     : std::fprintf(file, " %.3f\n", copy->second.mib_per_s());
    }
    return std::fclose(file) == 0;
}
