#include "bench_report.h"

#include "bench_format.h"
#include "portable/frame.h"

#include <algorithm>
#include <cstdio>
#include <string>

void Report::limit_a(bool out, const Limit_run& run)
{
    m_limit_a[{out, static_cast<uint32_t>(run.data_bytes / run.count)}] = run;
}

void Report::limit_a_copy(const Limit_run& run)
{
    m_limit_a_copy[static_cast<uint32_t>(run.data_bytes / run.count)] = run;
}

void Report::limit_a_unwaited(const Limit_run& run)
{
    m_limit_a_unwaited[static_cast<uint32_t>(run.data_bytes / run.count)] = run;
}

void Report::call_costs(double server_call_us, double virtual_query_us)
{
    m_call_costs.push_back({server_call_us, virtual_query_us});
}

void Report::limit_b(uint32_t read_size, const Limit_run& run)
{
    m_limit_b.push_back({read_size, run});
}

Report::Trips Report::summarise(std::vector<double> trips)
{
    Trips t;
    if (trips.empty())
        return t;
    std::sort(trips.begin(), trips.end());
    t.median = trips[trips.size() / 2];
    t.p99 = trips[std::min(trips.size() - 1, trips.size() * 99 / 100)];
    return t;
}

void Report::ping_pong(bool out, uint32_t size, std::vector<double> trips, const Limit_run& run)
{
    Trips t = summarise(std::move(trips));
    t.run = run;
    m_ping[{out, size}] = t;
}

void Report::relay_ping_pong(bool out, uint32_t size, std::vector<double> trips)
{
    m_relay[{out, size}] = summarise(std::move(trips));
}

void Report::engine(const Engine_run& run, double ratio, double copy_ratio)
{
    m_engine.push_back({run, ratio, copy_ratio});
}

void Report::no_engine(Sim_transfer kind, uint32_t size)
{
    Engine_row none;
    none.run.kind = kind;
    none.run.size = size;
    m_engine.push_back(none);
}

void Report::round_trips(const Engine_run& run, std::vector<double> trips)
{
    m_round_trips.push_back({run, summarise(std::move(trips))});
}

const Limit_run* Report::limit_for(Sim_transfer kind, uint32_t size) const
{
    auto it = m_limit_a.find({is_out(kind), size});
    return it == m_limit_a.end() ? nullptr : &it->second;
}

const Report::Trips* Report::ping_for(Sim_transfer kind, uint32_t size) const
{
    auto it = m_ping.find({is_out(kind), size});
    return it == m_ping.end() ? nullptr : &it->second;
}

void Report::print_engine()
{
    std::printf("\nEngine: transfers from the simulated port driver through the engine to the "
                "simulated\nterminal and back, 8 in flight, the median of 5 rounds; ratio: "
                "engine MiB/s over limit (a)\nMiB/s, same direction and size, measured back to "
                "back (median of the rounds' ratios);\n(a'): the same against (a'), for MDL "
                "OUT\n");
    std::printf("  transfer   size      count     MiB/s     req/s  limit (a)  ratio   (a')\n");
    for (const Engine_row& row : m_engine)
    {
        const Engine_run& run = row.run;
        if (run.count == 0)
        {
            std::printf("  %-9s  %-8s  n/a: a plain OUT request carries its data in the port "
                        "driver's 5152-byte query buffer\n",
                        g_sim_kind_name(run.kind), g_sim_size_name(run.size).c_str());
            continue;
        }
        const Limit_run* limit = limit_for(run.kind, run.size);
        std::string copy_ratio = "";
        if (row.copy_ratio > 0)
            copy_ratio = std::to_string(row.copy_ratio).substr(0, 4);
        std::printf("  %-9s  %-8s  %5u  %8.2f  %8.0f  %9.2f  %5.2f  %5s%s\n",
                    g_sim_kind_name(run.kind), g_sim_size_name(run.size).c_str(), run.count,
                    run.mib_per_s(), run.count / run.seconds, limit ? limit->mib_per_s() : 0,
                    row.ratio, copy_ratio.c_str(), run.right ? "" : "  WRONG COMPLETIONS");
    }
}

void Report::print_costs()
{
    std::printf("\nCosts per request, the engine's three threads (the simulated drivers' own work "
                "left out)\n"
                "  heap: allocations counted at the program's allocation points (message "
                "buffers, MDL\n"
                "        records) / operator new calls seen on the engine's threads\n"
                "  copies: bytes copied by the channel (its 1600-byte buffers) and by the "
                "messages; x = the\n"
                "          messages' bytes over the reply (plain) or the data (MDL)\n"
                "  calls: Win32 calls on kernel objects and I/O, and the drivers' I/O controls; "
                "VQ = VirtualQuery\n"
                "  limit calls: the ping-pong's program end per round below 64 KiB, (a) per "
                "frame above\n");
    std::printf("  transfer   size      CPU ms/MiB  server ms/MiB  heap    channel B  message B   "
                "x    calls  (VQ)  limit calls\n");
    for (const Engine_row& row : m_engine)
    {
        const Engine_run& run = row.run;
        if (run.count == 0)
            continue;
        const uint64_t bytes = static_cast<uint64_t>(run.size) * run.count;
        const double n = run.count;
        const uint64_t message_bytes = run.copied_bytes - run.channel_copied_bytes;
        const double copied_whole =
            is_mdl(run.kind) ? static_cast<double>(run.size)
                             : kv::k_reap_header_size + (is_out(run.kind) ? 0.0 : run.size);
        double limit_calls = 0;
        if (const Trips* ping = run.size < (64u << 10) ? ping_for(run.kind, run.size) : nullptr)
            limit_calls = static_cast<double>(ping->run.calls.system_calls()) / ping->run.count;
        else if (const Limit_run* limit = limit_for(run.kind, run.size))
            limit_calls = static_cast<double>(limit->calls.system_calls()) / limit->count;
        std::printf("  %-9s  %-8s  %10.1f  %13s  %.1f/%.1f  %9.0f  %9.0f  %4.2f  %5.1f  (%4.1f)  "
                    "%11.1f\n",
                    g_sim_kind_name(run.kind), g_sim_size_name(run.size).c_str(),
                    per_mib(run.cpu_ms, bytes), server_per_mib(run.server_ms, bytes).c_str(),
                    (run.message_allocations + run.record_allocations) / n,
                    run.calls.n[call_heap] / n, run.channel_copied_bytes / n, message_bytes / n,
                    copied_whole > 0 ? message_bytes / n / copied_whole : 0,
                    run.calls.system_calls() / n, run.calls.n[call_virtual_query] / n, limit_calls);
    }
}

void Report::print_calls(uint32_t size)
{
    std::printf("\nWin32 calls per request at %s, by function (engine threads; ping-pong: the "
                "program's end)\n",
                g_sim_size_name(size).c_str());
    std::vector<std::pair<std::string, const Call_counts*>> columns;
    std::vector<double> counts;
    for (const Engine_row& row : m_engine)
        if (row.run.size == size && row.run.count != 0)
        {
            columns.push_back({g_sim_kind_name(row.run.kind), &row.run.calls});
            counts.push_back(row.run.count);
        }
    for (bool out : {false, true})
    {
        auto it = m_ping.find({out, size});
        if (it == m_ping.end())
            continue;
        columns.push_back({out ? "ping OUT" : "ping IN", &it->second.run.calls});
        counts.push_back(it->second.run.count);
    }
    std::printf("  %-24s", "");
    for (const auto& column : columns)
        std::printf("  %9s", column.first.c_str());
    std::printf("\n");
    for (int call = 0; call < k_counted_calls; ++call)
    {
        std::printf("  %-24s", g_call_name(call));
        for (size_t i = 0; i < columns.size(); ++i)
            std::printf("  %9.2f", columns[i].second->n[call] / counts[i]);
        std::printf("\n");
    }
}

void Report::print_round_trips()
{
    std::printf("\nRound trips, one request in flight, microseconds: submit to completion at the "
                "simulated\nport driver; ratio = engine median / ping-pong (c) median of the "
                "same frames\n");
    std::printf("  transfer   size      median     p99  ping median  ping p99  ratio\n");
    for (const auto& [run, t] : m_round_trips)
    {
        const Trips* ping = ping_for(run.kind, run.size);
        std::printf("  %-9s  %-8s  %6.0f  %6.0f  %11.0f  %8.0f  %5.2f%s\n",
                    g_sim_kind_name(run.kind), g_sim_size_name(run.size).c_str(), t.median, t.p99,
                    ping ? ping->median : 0, ping ? ping->p99 : 0,
                    ping && ping->median > 0 ? t.median / ping->median : 0,
                    run.right ? "" : "  WRONG COMPLETIONS");
    }
}

bool Report::all_right() const
{
    for (const Engine_row& row : m_engine)
        if (!row.run.right)
            return false;
    for (const auto& [run, t] : m_round_trips)
        if (!run.right)
            return false;
    return true;
}
