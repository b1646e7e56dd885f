// The benchmark: the engine on the simulator against the bare simulated channel, in one run on
// one machine. Prints the tables and writes the plot's data file.
//   kv_bench.exe [idle seconds [data file]]
//   kv_bench.exe --idle <seconds> <event> <name>   (an idle session, started by the benchmark)
#include "bench_engine.h"
#include "bench_idle.h"
#include "bench_limit.h"
#include "bench_report.h"

#include <algorithm>
#include <cstdio>
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
constexpr uint32_t k_window = 8;
constexpr uint32_t k_rounds = 600;
constexpr uint32_t k_block = 50;
// The port driver's query buffer holds 5152 bytes: a plain OUT request carries at most that.
constexpr uint32_t k_plain_out_largest = 4096;

template <class Run> Run median_of(std::vector<Run> runs)
{
    std::sort(runs.begin(), runs.end(),
              [](const Run& a, const Run& b) { return a.mib_per_s() < b.mib_per_s(); });
    return runs[runs.size() / 2];
}

double median_of(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// Each size: the limit and the engine's transfers of both kinds, measured back to back and
// repeated, so that load from elsewhere falls on all of them alike. The median run of each is
// kept, and the median of the rounds' ratios.
void measure_throughput(Bench_session& bench, Report& report)
{
    for (bool out : {false, true})
        for (const Size_plan& plan : k_sizes)
        {
            std::vector<Limit_run> limits, copying, unwaited;
            std::vector<Engine_run> plain, mdl;
            std::vector<double> plain_ratio, mdl_ratio, mdl_copy_ratio;
            const bool has_plain = !out || plan.size <= k_plain_out_largest;
            for (int r = 0; r < k_repeats; ++r)
            {
                limits.push_back(out ? g_limit_out(plan.size, plan.count, false)
                                     : g_limit_in(plan.size, plan.count, 1600, false));
                const double limit = limits.back().mib_per_s();
                if (out)
                    copying.push_back(g_limit_out(plan.size, plan.count, true));
                else
                    unwaited.push_back(g_limit_in(plan.size, plan.count, 1600, true));
                if (has_plain)
                {
                    plain.push_back(
                        bench.run(out ? Sim_transfer::plain_out : Sim_transfer::plain_in, plan.size,
                                  plan.count, k_window));
                    plain_ratio.push_back(plain.back().mib_per_s() / limit);
                }
                mdl.push_back(bench.run(out ? Sim_transfer::mdl_out : Sim_transfer::mdl_in,
                                        plan.size, plan.count, k_window));
                mdl_ratio.push_back(mdl.back().mib_per_s() / limit);
                if (out)
                    mdl_copy_ratio.push_back(mdl.back().mib_per_s() / copying.back().mib_per_s());
            }
            report.limit_a(out, median_of(limits));
            if (out)
                report.limit_a_copy(median_of(copying));
            else
                report.limit_a_unwaited(median_of(unwaited));
            if (has_plain)
                report.engine(median_of(plain), median_of(plain_ratio), 0);
            else
                report.no_engine(Sim_transfer::plain_out, plan.size);
            report.engine(median_of(mdl), median_of(mdl_ratio), median_of(mdl_copy_ratio));
        }
}

template <class T> void append(std::vector<T>& all, const std::vector<T>& more)
{
    all.insert(all.end(), more.begin(), more.end());
}

// One request in flight. The ping-pong, the relay and the engine's two kinds take turns in
// blocks, so that load from elsewhere falls on all of them alike.
void measure_round_trips(Bench_session& bench, Report& report)
{
    for (bool out : {false, true})
        for (uint32_t size : {64u, 512u, 4096u})
        {
            const Sim_transfer kinds[2] = {out ? Sim_transfer::plain_out : Sim_transfer::plain_in,
                                           out ? Sim_transfer::mdl_out : Sim_transfer::mdl_in};
            std::vector<double> ping, relay, engine[2];
            Limit_run ping_run;
            Engine_run engine_run[2];
            for (int i = 0; i < 2; ++i)
                bench.round_trips(kinds[i], size, 20, &engine_run[i]); // warm-up
            for (uint32_t block = 0; block < k_rounds / k_block; ++block)
            {
                Limit_run run;
                append(ping, g_ping_pong(out, size, k_block, &run));
                ping_run.count += run.count;
                ping_run.calls = ping_run.calls + run.calls;
                if (size == 64)
                    append(relay, g_relay_ping_pong(out, size, k_block));
                for (int i = 0; i < 2; ++i)
                {
                    Engine_run one;
                    append(engine[i], bench.round_trips(kinds[i], size, k_block, &one));
                    engine_run[i].right = engine_run[i].right && one.right;
                }
            }
            report.ping_pong(out, size, ping, ping_run);
            if (size == 64)
                report.relay_ping_pong(out, size, relay);
            for (int i = 0; i < 2; ++i)
                report.round_trips(engine_run[i], engine[i]);
        }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 5 && std::strcmp(argv[1], "--idle") == 0)
        return g_idle_child(std::atoi(argv[2]), argv[3], argv[4]);
    const int idle_seconds = argc >= 2 ? std::atoi(argv[1]) : 60;
    const char* data_file = argc >= 3 ? argv[2] : "bench.dat";

    Report report;
    if (!g_install_call_counting())
        std::printf("warning: some Win32 calls are not counted\n");
    report.heading();

    Bench_session bench;
    if (!bench.start())
    {
        std::printf("FAILED: the engine did not start\n");
        return 1;
    }
    Sleep(5000); // Wine's own services are still starting in the first seconds
    report.call_costs(g_server_call_us(), g_virtual_query_us());
    measure_throughput(bench, report);
    for (uint32_t read_size : {64u << 10, 1u << 20})
        report.limit_b(read_size, g_limit_in(1u << 20, 48, read_size, false));
    measure_round_trips(bench, report);
    report.call_costs(g_server_call_us(), g_virtual_query_us());
    const Memory_use memory = g_memory_use();
    bench.stop();

    report.print_limits();
    report.print_engine();
    report.print_costs();
    report.print_calls(512);
    report.print_round_trips();
    std::printf("\nworking set of this process after the runs: %.1f MiB, peak %.1f MiB, "
                "private %.1f MiB\n",
                memory.working_set_mib, memory.peak_working_set_mib, memory.private_mib);
    std::fflush(stdout);

    if (idle_seconds > 0)
    {
        report.print_idle(g_idle_sessions(1, idle_seconds));
        report.print_idle(g_idle_sessions(20, idle_seconds));
    }
    report.heading_end();
    return report.write_plot_data(data_file) && report.all_right() ? 0 : 1;
}
