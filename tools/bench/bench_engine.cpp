#include "bench_engine.h"

#include "platform/seams.h"

namespace
{

constexpr uint32_t k_devid = 0x101;

} // namespace

Bench_session::Bench_session()
{
    print = [](const std::string&) {};
    terminal.add_device({k_devid, 0x0951, 0x1666, 0x0110, "Bench disk", "B-1"});
    terminal.add_device({0x102, 0x046D, 0xC52B, 0x1201, "Bench receiver", "B-2"});
    g_seams.timing.device_list_period_ms = Engine_timing{}.device_list_period_ms;
    g_seams.create_thread = g_counted_engine_thread;
}

Bench_session::~Bench_session()
{
    stop();
    g_seams.create_thread = g_create_detached_thread;
}

bool Bench_session::start_quickly()
{
    g_seams.timing.device_list_period_ms = 20;
    const bool started = start(60000);
    g_seams.timing.device_list_period_ms = Engine_timing{}.device_list_period_ms;
    return started;
}

Run Bench_session::run(Sim_transfer kind, uint32_t size, uint32_t count, uint32_t window)
{
    // One transfer first, untimed: after a start the request pump looks for the port driver
    // every port_driver_idle_ms (300 ms), and the devices are plugged in before it has seen it
    // open. Timed, that wait would count as the transfers' time once after every start.
    platform.submit_transfer(kind, k_devid, size);
    platform.wait_idle(120000);
    Run run;
    run.size = size;
    run.count = count;
    const uint64_t completed = platform.completed, wrong = platform.wrong_completions,
                   unexpected = platform.unexpected_completions,
                   out_errors = terminal.out_data_errors.load();
    const Meter meter(Thread_group::engine);
    for (uint32_t i = 0; i < count; ++i)
    {
        platform.wait_outstanding_below(window, 60000);
        platform.submit_transfer(kind, k_devid, size);
    }
    platform.wait_idle(120000);
    meter.end(&run);
    run.right = platform.completed - completed == count && platform.wrong_completions == wrong &&
                platform.unexpected_completions == unexpected &&
                terminal.out_data_errors.load() == out_errors;
    return run;
}
