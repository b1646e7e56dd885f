// The benchmark: the engine on the simulator against the program's own channel alone, in one
// run on one machine. Prints the tables and writes the plot's data file.
//   kv_bench.exe [idle seconds [data file [idle sessions...]]]   (60, bench.dat, 1 100)
//   kv_bench.exe --idle <name> <child>   (an idle session, started by the benchmark)
#include "bench_limit.h"
#include "bench_report.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace
{

// Transfers per measurement, about a second each at the rates seen here.
struct Size_plan
{
    uint32_t size, count;
};
constexpr Size_plan k_sizes[] = {
    {64, 2000}, {512, 2000}, {4096, 1500}, {64u << 10, 160}, {1u << 20, 12}};
constexpr int k_repeats = 5;
// The port driver's query buffer holds 5152 bytes: a plain OUT request carries at most that.
constexpr uint32_t k_plain_out_largest = 4096;

Run median_of(std::vector<Run> runs)
{
    std::sort(runs.begin(), runs.end(),
              [](const Run& a, const Run& b) { return a.mib_per_s() < b.mib_per_s(); });
    return runs[runs.size() / 2];
}

double median_of(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Each size: the limits, with the engine stopped, then the engine's transfers, back to back and
// repeated, so that load from elsewhere falls on all of them alike. The median run of each is
// kept, and the median of the rounds' ratios.
Throughput measure(Bench_session& bench, bool out, const Size_plan& plan)
{
    Throughput t;
    t.out = out;
    t.size = plan.size;
    std::vector<Run> limits, copying, engine[2];
    std::vector<double> ratios[2];
    for (int r = 0; r < k_repeats; ++r)
    {
        bench.stop();
        limits.push_back(g_limit(bench.platform, out, false, plan.size, plan.count));
        if (out)
            copying.push_back(g_limit(bench.platform, true, true, plan.size, plan.count));
        if (!bench.start_quickly())
            std::printf("FAILED: the engine did not start again\n");
        for (int i = 0; i < 2; ++i)
        {
            if (i == 0 && out && plan.size > k_plain_out_largest)
                continue;
            engine[i].push_back(bench.run(t.kind(i), plan.size, plan.count, 8));
            ratios[i].push_back(engine[i].back().mib_per_s() /
                                (out && i ? copying : limits).back().mib_per_s());
        }
    }
    t.limit = median_of(limits);
    if (out)
        t.limit_copying = median_of(copying);
    for (int i = 0; i < 2; ++i)
        if (!engine[i].empty())
        {
            t.engine[i] = median_of(engine[i]);
            t.ratio[i] = median_of(ratios[i]);
        }
    return t;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 3 && std::strcmp(argv[1], "--idle") == 0)
        return g_idle_child(argv[2]);
    const int idle_seconds = argc >= 2 ? std::atoi(argv[1]) : 60;
    const char* data_file = argc >= 3 ? argv[2] : "bench.dat";

    if (!g_install_call_counting())
        std::printf("warning: some Win32 calls are not counted\n");
    g_print_heading();
    std::vector<Throughput> all;
    bool right = true;
    {
        Bench_session bench;
        if (!bench.start_quickly())
        {
            std::printf("FAILED: the engine did not start\n");
            return 1;
        }
        Sleep(5000); // Wine's own services are still starting in the first seconds
        for (bool out : {false, true})
            for (const Size_plan& plan : k_sizes)
            {
                all.push_back(measure(bench, out, plan));
                const Throughput& t = all.back();
                right = right && t.limit.right && t.engine[0].right && t.engine[1].right;
            }
    }
    g_print_throughput(all);
    const int last = argc > 3 ? argc : 5;
    for (int i = 3; idle_seconds > 0 && i < last; ++i)
        g_print_idle(
            g_idle_sessions(argc > 3 ? std::atoi(argv[i]) : (i == 3 ? 1 : 100), idle_seconds));
    g_print_load("at the end");
    return g_write_plot_data(data_file, all) && right ? 0 : 1;
}
