#include "bench_report.h"

#include "portable/frame.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

namespace
{

double per_mib(double ms, double bytes)
{
    return bytes > 0 ? ms / (bytes / 1048576.0) : 0;
}

// Milliseconds of the Wine server per MiB, or "?" when its time is not known.
std::string server_per_mib(double server_ms, double bytes)
{
    char text[32] = "?";
    if (server_ms >= 0)
        std::snprintf(text, sizeof text, "%.1f", per_mib(server_ms, bytes));
    return text;
}

double bytes_of(uint32_t size, uint32_t count)
{
    return static_cast<double>(size) * count;
}

void print_limit(bool out, const Run& run)
{
    const double bytes = bytes_of(run.size, run.count);
    std::printf("  %-3s  %-8s  %6u  %8.2f  %11.2f  %10.1f  %13s%s\n", out ? "OUT" : "IN",
                g_sim_size_name(run.size).c_str(), run.count, run.mib_per_s(),
                static_cast<double>(run.counts.system_calls()) / run.count,
                per_mib(run.cpu_ms, bytes), server_per_mib(run.server_ms, bytes).c_str(),
                run.right ? "" : "  BROKEN");
}

void print_calls(const std::vector<Throughput>& all, uint32_t size)
{
    std::printf("\nWin32 calls per request at %s, by function (engine threads)\n  %-22s",
                g_sim_size_name(size).c_str(), "");
    std::vector<const Run*> columns;
    for (const Throughput& t : all)
        for (int i = 0; i < 2; ++i)
            if (t.size == size && t.engine[i].count)
            {
                std::printf("  %9s", g_sim_kind_name(t.kind(i)));
                columns.push_back(&t.engine[i]);
            }
    for (int call = 0; call < k_counted_calls; ++call)
    {
        std::printf("\n  %-22s", g_call_name(call));
        for (const Run* run : columns)
            std::printf("  %9.2f", static_cast<double>(run->counts.n[call]) / run->count);
    }
    std::printf("\n");
}

} // namespace

void g_print_load(const char* when)
{
    const std::string load = g_proc_file("loadavg");
    std::printf("load average %s: %s\n", when, load.substr(0, load.find('\n')).c_str());
    std::fflush(stdout);
}

void g_print_heading()
{
    using Version = const char*(CDECL*)();
    auto version = reinterpret_cast<Version>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version")));
    SYSTEM_INFO system{};
    GetSystemInfo(&system);
    std::printf("kvUsbRedirector benchmark: the engine on the simulator against the program's "
                "channel alone\nWine %s, %lu processors\n",
                version ? version() : "(none)", system.dwNumberOfProcessors);
    g_print_load("at the start");
}

void g_print_throughput(const std::vector<Throughput>& all)
{
    std::printf("\nLimits: the program's channel alone, its I/O event reused as on the engine's "
                "threads\n(a) IN: reap replies read as the reply pump reads them; OUT: URB "
                "requests written\n  dir  size      frames     MiB/s  calls/frame  CPU ms/MiB  "
                "server ms/MiB\n");
    for (const Throughput& t : all)
        print_limit(t.out, t.limit);
    std::printf("(a') OUT, each request copied into a fresh block first, as MDL OUT's rewrite\n");
    for (const Throughput& t : all)
        if (t.out)
            print_limit(true, t.limit_copying);

    std::printf("\nEngine: 8 in flight, median of 5 rounds; ratio: over its limit measured "
                "back to back\n(median of the rounds'), (a') for MDL OUT, (a) for the rest\n"
                "  transfer   size      count     MiB/s     req/s      limit  ratio\n");
    for (const Throughput& t : all)
        for (int i = 0; i < 2; ++i)
        {
            const Run& run = t.engine[i];
            if (!run.count)
                std::printf("  OUT plain  %-8s  n/a: a plain OUT request carries its data in the "
                            "port driver's 5152-byte query buffer\n",
                            g_sim_size_name(t.size).c_str());
            else
                std::printf("  %-9s  %-8s  %5u  %8.2f  %8.0f  %9.2f  %5.2f%s\n",
                            g_sim_kind_name(t.kind(i)), g_sim_size_name(t.size).c_str(), run.count,
                            run.mib_per_s(), run.count / run.seconds, t.limit_of(i).mib_per_s(),
                            t.ratio[i], run.right ? "" : "  WRONG COMPLETIONS");
        }

    std::printf("\nPer request on the engine's threads: heap = operator new calls; bytes "
                "memcpy and memmove\nmoved through the channel's buffers, and others (x: over the "
                "reply, plain, or the data,\nMDL); calls: Win32 calls and the drivers' I/O "
                "controls, VQ VirtualQuery; its limit's per frame\n"
                "  transfer   size      CPU ms/MiB  server ms/MiB  heap  channel B    other B     "
                "x  calls  (VQ)  limit calls\n");
    for (const Throughput& t : all)
        for (int i = 0; i < 2; ++i)
        {
            const Run& run = t.engine[i];
            const Run& limit = t.limit_of(i);
            const double n = run.count, bytes = bytes_of(run.size, run.count);
            const double whole = i ? run.size : kv::k_reap_header_size + (t.out ? 0.0 : run.size);
            if (n)
                std::printf("  %-9s  %-8s  %10.1f  %13s  %4.1f  %9.0f  %9.0f  %4.2f  %5.1f  "
                            "(%4.1f)  %11.1f\n",
                            g_sim_kind_name(t.kind(i)), g_sim_size_name(run.size).c_str(),
                            per_mib(run.cpu_ms, bytes),
                            server_per_mib(run.server_ms, bytes).c_str(),
                            run.counts.n[call_heap] / n, run.counts.channel_bytes / n,
                            run.counts.other_bytes / n, run.counts.other_bytes / n / whole,
                            run.counts.system_calls() / n, run.counts.n[call_virtual_query] / n,
                            static_cast<double>(limit.counts.system_calls()) / limit.count);
        }
    print_calls(all, 512);
}

void g_print_idle(const Idle_figures& f)
{
    const double minutes = f.seconds / 60.0;
    std::printf("\nIdle: %d session%s side by side, one process each, production timings (device "
                "list every 3 s),\n%.0f s, Linux's accounting of each process (every thread of "
                "the engine, the simulated\nterminal and drivers, and Wine's own)\n",
                f.processes, f.processes == 1 ? "" : "s", f.seconds);
    if (f.reported != f.processes)
        std::printf("  only %d of %d processes found\n", f.reported, f.processes);
    if (f.reported == 0)
        return;
    std::printf("  per session: %.1f ms CPU a minute, resident %.1f MiB, proportional %.1f MiB\n"
                "  all together: %.1f ms CPU a minute, proportional %.1f MiB; the Wine server ",
                f.cpu_ms / f.reported / minutes, f.resident_mib / f.reported,
                f.proportional_mib / f.reported, f.cpu_ms / minutes, f.proportional_mib);
    f.server_cpu_ms < 0 ? std::printf("?\n")
                        : std::printf("%.0f ms CPU a minute\n", f.server_cpu_ms / minutes);
    std::fflush(stdout);
}

bool g_write_plot_data(const char* path, const std::vector<Throughput>& all)
{
    std::unique_ptr<FILE, int (*)(FILE*)> owned(std::fopen(path, "w"), std::fclose);
    FILE* file = owned.get();
    if (!file)
        return false;
    std::fprintf(file, "# size in_plain in_mdl out_plain out_mdl limit_in limit_out "
                       "limit_out_copy (MiB/s)\n");
    for (const Throughput& in : all)
        for (const Throughput& out : all)
            if (!in.out && out.out && in.size == out.size)
            {
                std::fprintf(file, "%u %.3f %.3f ", in.size, in.engine[0].mib_per_s(),
                             in.engine[1].mib_per_s());
                out.engine[0].count ? std::fprintf(file, "%.3f", out.engine[0].mib_per_s())
                                    : std::fprintf(file, "-");
                std::fprintf(file, " %.3f %.3f %.3f %.3f\n", out.engine[1].mib_per_s(),
                             in.limit.mib_per_s(), out.limit.mib_per_s(),
                             out.limit_copying.mib_per_s());
            }
    return std::fclose(owned.release()) == 0; // its error is the write's
}
