// Collects the benchmark's figures and prints them as tables.
#pragma once

#include "bench_engine.h"
#include "bench_idle.h"
#include "bench_limit.h"

#include <map>
#include <utility>
#include <vector>

class Report
{
  public:
    void heading();
    void heading_end();

    void limit_a(bool out, const Limit_run& run);
    void limit_a_copy(const Limit_run& run);
    void limit_a_unwaited(const Limit_run& run);
    // Microseconds of one Wine server call and of one VirtualQuery, at the start and the end.
    void call_costs(double server_call_us, double virtual_query_us);
    void limit_b(uint32_t read_size, const Limit_run& run);
    void ping_pong(bool out, uint32_t size, std::vector<double> trips, const Limit_run& run);
    void relay_ping_pong(bool out, uint32_t size, std::vector<double> trips);
    // ratio: to (a) of the same direction and size; copy_ratio: to (a') (MDL OUT only).
    void engine(const Engine_run& run, double ratio, double copy_ratio);
    void no_engine(Sim_transfer kind, uint32_t size);
    void round_trips(const Engine_run& run, std::vector<double> trips);

    void print_limits();
    void print_engine();
    void print_costs();
    void print_calls(uint32_t size);
    void print_round_trips();
    void print_idle(const Idle_figures& figures);

    bool write_plot_data(const char* path);
    bool all_right() const;

  private:
    struct Trips
    {
        double median = 0, p99 = 0;
        Limit_run run;
    };
    static Trips summarise(std::vector<double> trips);
    const Limit_run* limit_for(Sim_transfer kind, uint32_t size) const;
    const Trips* ping_for(Sim_transfer kind, uint32_t size) const;

    struct Engine_row
    {
        Engine_run run;
        double ratio = 0, copy_ratio = 0;
    };
    std::map<std::pair<bool, uint32_t>, Limit_run> m_limit_a;
    std::map<uint32_t, Limit_run> m_limit_a_copy, m_limit_a_unwaited;
    std::vector<std::pair<double, double>> m_call_costs;
    std::vector<std::pair<uint32_t, Limit_run>> m_limit_b;
    std::map<std::pair<bool, uint32_t>, Trips> m_ping, m_relay;
    std::vector<Engine_row> m_engine;
    std::vector<std::pair<Engine_run, Trips>> m_round_trips;
};
