#include "bench_engine.h"

#include "platform/guarded_copy.h"
#include "channel/server_channel.h"
#include "manager/usb_manager.h"
#include "packets/mdl_urb_list.h"
#include "packets/usb_packet.h"

namespace
{

struct Snapshot
{
    double at, cpu_ms, server_ms;
    Call_counts calls;
    uint64_t messages, records, copied, channel_copied;
    uint64_t completed, wrong, unexpected, out_errors;
};

Snapshot snapshot(Sim_session& session)
{
    Sim_platform& p = session.platform;
    return {g_now_seconds(),
            g_group_cpu_ms(Thread_group::engine),
            g_wineserver_cpu_ms(),
            g_counted_calls(Thread_group::engine),
            g_message_allocation_count(),
            g_mdl_urb_record_allocation_count(),
            g_copied_byte_count(),
            g_channel_copied_byte_count(),
            p.completed,
            p.wrong_completions,
            p.unexpected_completions,
            session.terminal.out_data_errors.load()};
}

void fill(Engine_run* run, const Snapshot& a, const Snapshot& b)
{
    run->seconds = b.at - a.at;
    run->cpu_ms = b.cpu_ms - a.cpu_ms;
    run->server_ms = a.server_ms < 0 ? -1 : b.server_ms - a.server_ms;
    run->calls = b.calls - a.calls;
    run->message_allocations = b.messages - a.messages;
    run->record_allocations = b.records - a.records;
    run->copied_bytes = b.copied - a.copied;
    run->channel_copied_bytes = b.channel_copied - a.channel_copied;
    run->right = b.completed - a.completed == run->count && b.wrong == a.wrong &&
                 b.unexpected == a.unexpected && b.out_errors == a.out_errors;
}

} // namespace

Bench_session::Bench_session()
{
    session.print = [](const std::string&) {};
    session.terminal.add_device({k_bench_devid, 0x0951, 0x1666, 0x0110, "Bench disk", "B-1"});
    session.terminal.add_device({0x102, 0x046D, 0xC52B, 0x1201, "Bench receiver", "B-2"});
    // Production's poll period; the port driver's first open stays short, to start quickly.
    g_seams.timing.device_list_period_ms = Engine_timing{}.device_list_period_ms;
    g_seams.create_thread = g_counted_engine_thread;
    g_set_platform(&m_counting);
}

Bench_session::~Bench_session()
{
    stop();
    g_seams.create_thread = g_create_detached_thread;
}

bool Bench_session::start()
{
    return session.start(60000);
}

void Bench_session::stop()
{
    session.stop();
}

Engine_run Bench_session::run(Sim_transfer kind, uint32_t size, uint32_t count, uint32_t window)
{
    Engine_run run;
    run.kind = kind;
    run.size = size;
    run.count = count;
    Sim_platform& p = session.platform;
    const Snapshot before = snapshot(session);
    for (uint32_t i = 0; i < count; ++i)
    {
        p.wait_outstanding_below(window, 60000);
        p.submit_transfer(kind, k_bench_devid, size);
    }
    p.wait_idle(120000);
    fill(&run, before, snapshot(session));
    return run;
}

std::vector<double> Bench_session::round_trips(Sim_transfer kind, uint32_t size, uint32_t rounds,
                                               Engine_run* run)
{
    Sim_platform& p = session.platform;
    std::vector<double> trips;
    trips.reserve(rounds);
    run->kind = kind;
    run->size = size;
    run->count = rounds;
    const Snapshot before = snapshot(session);
    for (uint32_t i = 0; i < rounds; ++i)
    {
        const double begin = g_now_seconds();
        p.submit_transfer(kind, k_bench_devid, size);
        if (!p.wait_idle(10000))
            break;
        trips.push_back((g_now_seconds() - begin) * 1e6);
    }
    fill(run, before, snapshot(session));
    return trips;
}
