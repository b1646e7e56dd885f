// Runs one redirected session of the real engine against the simulated terminal and port
// driver, and prints what happened.
#include "sim_session.h"

#include <cstdio>
#include <string>

namespace
{

void say(Sim_session& s, const char* format, ...)
{
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    s.print(line);
}

} // namespace

int main()
{
    Sim_session session;
    const Sim_device devices[] = {
        {0x101, 0x0951, 0x1666, 0x0110, "Kelvra DataTraveler 64GB", "KV-DT-0001"},
        {0x102, 0x046D, 0xC52B, 0x1201, "Kelvra Unifying Receiver", "KV-UR-0002"},
        {0x103, 0x0BDA, 0x8153, 0x3000, "Kelvra USB 3.0 Card Reader", "KV-CR-0003"},
    };
    for (const Sim_device& d : devices)
        session.terminal.add_device(d);

    say(session, "kvUsbRedirector session simulation");
    say(session, "terminal lists %zu devices:", std::size(devices));
    for (const Sim_device& d : devices)
        say(session, "  devid 0x%X  %04X:%04X rev %04X  \"%s\"  serial %s", d.id, d.vendor,
            d.product, d.release, d.name.c_str(), d.serial.c_str());
    if (!session.start())
    {
        say(session, "FAILED: the devices were not plugged in");
        return 1;
    }
    say(session, "engine started; negotiated version 2; %llu open requests answered",
        static_cast<unsigned long long>(session.terminal.open_requests.load()));
    for (uint32_t id : session.platform.plug_order)
        say(session, "  plugged in devid 0x%X", id);

    for (uint8_t code : {2, 3, 4, 5, 6})
        session.platform.submit_status_request(code, 0x101);
    session.platform.wait_idle(30000);
    say(session, "device requests (reset, set config, claim, release, interface setting): "
                 "all completed");

    say(session, "bulk transfers on devid 0x101 (window 8; plain OUT carries its data in the "
                 "driver's 5152-byte query buffer, so it stops at 4 KiB):");
    for (Sim_transfer kind : {Sim_transfer::plain_in, Sim_transfer::plain_out, Sim_transfer::mdl_in,
                              Sim_transfer::mdl_out})
        for (uint32_t size : {512u, 4096u, 64u * 1024, 1024u * 1024})
        {
            if (kind == Sim_transfer::plain_out && size > 4096)
                continue;
            uint32_t count = size >= (1u << 20) ? 16 : size >= 65536 ? 64 : 512;
            Sim_phase_result r = session.run_transfers(kind, 0x101, size, count, 8);
            say(session, "  %-9s %8s x %4u: %9.2f MiB in %6.3f s = %8.2f MiB/s, %8.0f req/s",
                g_sim_kind_name(kind), g_sim_size_name(size).c_str(), count, r.bytes / 1048576.0,
                r.seconds, r.bytes / 1048576.0 / r.seconds, count / r.seconds);
        }

    say(session, "terminal unplugs devid 0x102");
    if (!session.remove_device(0x102))
        say(session, "FAILED: devid 0x102 was not unplugged");
    else
        say(session, "  unplugged devid 0x102");
    session.stop();
    say(session, "engine stopped; remaining devices unplugged:");
    for (size_t i = 1; i < session.platform.unplug_order.size(); ++i)
        say(session, "  unplugged devid 0x%X", session.platform.unplug_order[i]);

    Sim_platform& p = session.platform;
    say(session,
        "requests issued %llu, completed %llu, wrong %llu, unexpected %llu, "
        "outstanding %zu",
        static_cast<unsigned long long>(p.issued), static_cast<unsigned long long>(p.completed),
        static_cast<unsigned long long>(p.wrong_completions),
        static_cast<unsigned long long>(p.unexpected_completions), p.outstanding());
    say(session,
        "bytes in %.1f MiB, out %.1f MiB; terminal saw %llu frames (%.1f MiB), "
        "OUT data errors %llu",
        p.bytes_in / 1048576.0, p.bytes_out / 1048576.0,
        static_cast<unsigned long long>(session.terminal.frames_in.load()),
        session.terminal.bytes_in.load() / 1048576.0,
        static_cast<unsigned long long>(session.terminal.out_data_errors.load()));
    // As Event Viewer lists them: type, id (17 shared, 18 declined, 19 refused, 20 removed)
    // and text (an audit event's inserts: user|session|client|device|id).
    say(session, "events logged: %zu", p.events().size());
    for (const auto& e : p.events())
        say(session, "  %s %lu %ls",
            e.type == EVENTLOG_INFORMATION_TYPE ? "information"
            : e.type == EVENTLOG_ERROR_TYPE     ? "error"
                                                : "warning",
            e.id & 0xFFFF, e.text.c_str());
    bool ok = p.wrong_completions == 0 && p.unexpected_completions == 0 && p.outstanding() == 0 &&
              session.terminal.out_data_errors == 0 && p.plugged().empty();
    say(session, ok ? "RESULT: OK" : "RESULT: FAILED");
    return ok ? 0 : 1;
}
