// Runs one redirected session of the real engine against the simulated terminal and port
// driver, and prints what happened.
#include "sim_session.h"
#include "sim_user.h"

#include "packets/usb_packet_open.h"
#include "resources/resource.h"
#include "shell/app_globals.h"
#include "shell/device_policy_reader.h"
#include "shell/tray_menu.h"
#include "shell/warning_popup.h"

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

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

// Waits (bounded) for the share dialog, then answers it as the user would.
bool answer_share_dialog(Sim_session& s, bool yes)
{
    HWND dialog = g_wait_for_share_dialog();
    if (!dialog)
        return false;
    wchar_t question[1100] = L"";
    GetDlgItemTextW(dialog, IDC_WARNING_TEXT, question, 1100);
    say(s, "  share dialog: \"%ls\"; the user answers %s",
        std::wstring(question, std::wcscspn(question, L"?") + 1).c_str(), yes ? "yes" : "no");
    SendMessageW(GetDlgItem(dialog, yes ? IDOK : IDCANCEL), BM_CLICK, 0, 0);
    return true;
}

bool wait_for_events(Sim_platform& p, size_t count)
{
    for (int i = 0; i < 400 && p.events().size() < count; ++i)
        Sleep(25);
    return p.events().size() >= count;
}

void print_tray_menu(Sim_session& s)
{
    say(s, "tray menu (right click on the icon):");
    for (const std::wstring& line : g_menu_lines(g_build_device_menu().get()))
        say(s, "  %ls", line.c_str());
}

// What the event log and the trace's errors and warnings got, as a transcript writes them down.
void print_said(Sim_session& s, Sim_transcript& said)
{
    say(s, "event-log entries, and lines at levels 2 (error) and 3 (warning):");
    for (const std::wstring& line : said.lines())
        say(s, "  %ls", line.c_str());
}

} // namespace

int main()
{
    Sim_transcript said(false); // outlives the session's platform, which reports to it
    Sim_session session;
    session.platform.transcript = &said;
    const Sim_device devices[] = {
        {0x101, 0x0951, 0x1666, 0x0110, "Kelvra DataTraveler 64GB", "KV-DT-0001"},
        {0x102, 0x046D, 0xC52B, 0x1201, "Kelvra Unifying Receiver", "KV-UR-0002"},
        {0x103, 0x0BDA, 0x8153, 0x3000, "Kelvra USB 3.0 Card Reader", "KV-CR-0003"},
    };
    for (const Sim_device& d : devices)
        session.terminal.add_device(d);
    const Sim_device webcam{0x104, 0x046D, 0x0825, 0x0010, "Kelvra HD Webcam", "KV-WC-0004"};
    const Sim_device printer{0x105, 0x0A5F, 0x0120, 0x0100, "Kelvra Label Printer", "KV-LP-0005"};
    // The port driver takes the printer's plug-in, then fails it, as one out of resources does.
    session.platform.end_calls({Sim_call::port_plug_in, Sim_end::pend_then_fail,
                                ERROR_NO_SYSTEM_RESOURCES, Sim_driver::port, printer.id});

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

    // The administrator denies mass storage by Group Policy, as gpupdate writes it.
    const Sim_device disk{0x106, 0x0781, 0x5581, 0x0100, "Kelvra Mass Storage", "KV-MS-0006"};
    const std::wstring deny_key = std::wstring(k_policy_key) + L"\\DenyRules";
    const wchar_t rule[] = L"name=*mass storage*";
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, deny_key.c_str(), L"1", REG_SZ, rule, sizeof rule);
    g_read_device_policy();
    say(session, "policy: DenyRules 1 = \"%ls\"; terminal lists devid 0x%X \"%s\"", rule, disk.id,
        disk.name.c_str());
    session.terminal.add_device(disk);
    if (!wait_for_events(session.platform, session.platform.events().size() + 1))
        say(session, "FAILED: devid 0x%X was not refused", disk.id);

    // A server edition asks before each new device is shared.
    say(session, "server edition from here: the user is asked before a new device is shared");
    g_instance = GetModuleHandleW(nullptr);
    g_is_server_os = true;
    g_share_asker = g_ask_to_share;
    bool all_asked = true;
    for (auto [device, yes] : {std::pair{webcam, false}, std::pair{printer, true}})
    {
        const size_t events = session.platform.events().size();
        say(session, "terminal lists devid 0x%X \"%s\"%s", device.id, device.name.c_str(),
            yes ? " (the port driver will refuse it)" : "");
        session.terminal.add_device(device);
        if (!answer_share_dialog(session, yes) || !wait_for_events(session.platform, events + 1))
        {
            say(session, "FAILED: devid 0x%X was not asked about", device.id);
            all_asked = false;
        }
    }
    print_tray_menu(session);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, k_policy_key); // kept till now: the disk stays refused
    g_read_device_policy();
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
    print_said(session, said);
    bool ok = all_asked && p.wrong_completions == 0 && p.unexpected_completions == 0 &&
              p.outstanding() == 0 && session.terminal.out_data_errors == 0 && p.plugged().empty();
    say(session, ok ? "RESULT: OK" : "RESULT: FAILED");
    return ok ? 0 : 1;
}
