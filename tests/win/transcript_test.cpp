// Whole sessions through the program's entry on the simulator, each step's output written to a
// transcript and compared with its approved copy in tests/golden (scripts/approve-transcripts.sh
// records them anew).
#include "support/fixtures.h"
#include "support/transcript.h"

#include "debug/usb_debug.h"
#include "driver/usb_driver.h"
#include "manager/usb_manager.h"
#include "resources/resource.h"
#include "shell/app_globals.h"
#include "shell/device_policy_reader.h"
#include "shell/main_window.h"
#include "shell/warning_popup.h"
#include "sim_hostile.h"

#include <fstream>
#include <sstream>
#include <thread>
#include <wtsapi32.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int);

namespace
{

const wchar_t k_product_key[] = L"Software\\Kelvra\\kvUsbRedirector",
              k_popup_key[] = L"Software\\Orvik\\WinUSB\\DisableWarningPopup";
BYTE g_product_type = VER_NT_WORKSTATION;
LANGID g_language = 0x0409; // the share dialogs' thread UI language
Transcript_platform* g_transcript = nullptr;

struct Start
{
    LPTHREAD_START_ROUTINE routine;
    LPVOID parameter;
    LANGID language;
};

DWORD WINAPI in_language(LPVOID context)
{
    const Start start = *static_cast<Start*>(context);
    delete static_cast<Start*>(context);
    SetThreadUILanguage(start.language);
    SetThreadLocale(MAKELCID(start.language, SORT_DEFAULT));
    return start.routine(start.parameter);
}

// The share dialogs start in the language the script chose, as a user's session would.
HANDLE create_thread(LPTHREAD_START_ROUTINE routine, LPVOID parameter)
{
    if (routine != g_start_warning_popup)
        return g_create_detached_thread(routine, parameter);
    auto* start = new Start{routine, parameter, g_language};
    HANDLE thread = g_create_detached_thread(in_language, start);
    if (!thread)
        delete start;
    return thread;
}

void set_rules(const wchar_t* list, std::initializer_list<const wchar_t*> rules)
{
    const std::wstring key = std::wstring(k_policy_key) + L"\\" + list;
    DWORD n = 0;
    for (const wchar_t* rule : rules)
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), std::to_wstring(++n).c_str(), REG_SZ, rule,
                        static_cast<DWORD>((wcslen(rule) + 1) * sizeof(wchar_t)));
}

void set_value(const wchar_t* name, DWORD value)
{
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, k_product_key, name, REG_DWORD, &value, sizeof value);
}

class Transcript_test : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        g_reset_seams();
        g_set_platform(&sim);
        g_trace_logger_handle = 1;
        g_trace_enable_level = 4;
        g_trace_enabled = 1;
        g_event_source_handle = reinterpret_cast<HANDLE>(0xE5);
        g_shorten_engine_waits();
        g_seams.timing.device_list_period_ms = 50;
        g_seams.max_reply_length = 4096;
        g_seams.create_thread = create_thread;
        g_seams.query_version = [](OSVERSIONINFOEXW* info)
        { return info->wProductType = g_product_type, TRUE; };
        g_seams.register_restart = [](PCWSTR, DWORD flags) {
            return g_transcript->note(L"restart registered, flags " + std::to_wstring(flags)), S_OK;
        };
        g_transcript = &sim;
        g_seams.single_instance_name = L"Local\\kvUsbRedirector.TranscriptTest";
        g_language = 0x0409;
        sim.add_drivers();
        g_settle_event_budget(sim);
        sim.forget();
    }
    void TearDown() override
    {
        if (app.joinable())
        {
            PostMessageW(window, WM_COMMAND, IDM_EXIT, 0);
            app.join();
        }
        terminal.stop();
        UnregisterClassW(L"KVUSBREDIRECTOR", GetModuleHandleW(nullptr));
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, k_policy_key);
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, k_product_key);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, k_popup_key);
        g_trace_enabled = 0;
        g_event_source_handle = nullptr;
        g_reset_seams();
    }

    // The entry as the exe runs it, on its own thread, until its message loop runs and the
    // request pump waits on the port driver.
    void launch()
    {
        sim.step(L"the program starts");
        g_notify_icon_data.hWnd = nullptr;
        app = std::thread(
            [this]
            {
                wchar_t command_line[] = L"";
                exit_code = wWinMain(GetModuleHandleW(nullptr), nullptr, command_line, SW_SHOW);
            });
        ASSERT_TRUE(sim.wait_for_line(L"kvUsbRedirector::InitInstance (exit)"));
        window = g_notify_icon_data.hWnd;
        connected();
    }
    void connected()
    {
        terminal.stop();
        terminal.start(sim.terminal());
        for (int i = 0; i < 1000 && sim.pending_queries() == 0; ++i)
            Sleep(10); // the request pump waits on the port driver
        quiet();
    }
    // Until nothing has been written for a while.
    void quiet()
    {
        for (std::string last; last != sim.text(); Sleep(300))
            last = sim.text();
        CreateDirectoryW(L"transcripts", nullptr); // for a session that hangs, what it has
        std::ofstream("transcripts/so-far.txt", std::ios::binary) << sim.text();
    }
    void list(const Sim_device& device, size_t plugged)
    {
        sim.step(L"the terminal lists device " + std::to_wstring(device.id));
        terminal.add_device(device);
        EXPECT_TRUE(sim.wait_plugged(plugged, 10000));
        quiet();
    }
    void unlist(uint32_t id)
    {
        sim.step(L"the terminal unlists device " + std::to_wstring(id));
        terminal.remove_device(id);
        quiet();
    }
    // The menu a right click on the icon opens.
    void tray_menu()
    {
        sim.step(L"the user right-clicks the tray icon");
        PostMessageW(window, k_notify_icon_callback, 1, WM_RBUTTONUP);
        HWND popup = g_wait_for_popup_menu();
        ASSERT_NE(nullptr, popup);
        for (const std::wstring& line :
             g_menu_lines(reinterpret_cast<HMENU>(SendMessageW(popup, MN_GETHMENU, 0, 0))))
            sim.note(L"menu: " + g_escaped(line));
        SendMessageW(window, WM_CANCELMODE, 0, 0);
        EXPECT_TRUE(g_wait_until_gone(popup));
    }
    // Each end is written down before the window answers it.
    void end_session(const wchar_t* what, BOOL ending, LPARAM how)
    {
        sim.step(what);
        SendMessageW(window, WM_QUERYENDSESSION, 0, how);
        SendMessageW(window, WM_ENDSESSION, ending, how);
        sim.note(L"the window answered");
        quiet();
    }
    // The dialog's texts, then the answer: IDOK, IDCANCEL, or 0 to unlist the device and let its
    // timer end it.
    void answer(uint32_t id, LANGID language, int button)
    {
        HWND dialog = g_wait_for_share_dialog();
        ASSERT_NE(nullptr, dialog);
        sim.step(L"the share dialog in language " + std::to_wstring(language) + L", answered " +
                 (button == IDOK       ? L"yes"
                  : button == IDCANCEL ? L"no"
                                       : L"by its timer"));
        wchar_t text[1100];
        GetWindowTextW(dialog, text, 1100);
        sim.note(L"dialog caption: " + g_escaped(text));
        for (auto [control, what] : {std::pair{IDC_WARNING_TEXT, L"question"},
                                     {IDC_DEVICE_ID, L"device id"},
                                     {IDOK, L"yes button"},
                                     {IDCANCEL, L"no button"}})
        {
            GetDlgItemTextW(dialog, control, text, 1100);
            sim.note(L"dialog " + std::wstring(what) + L": " + g_escaped(text));
        }
        if (button)
            SendMessageW(GetDlgItem(dialog, button), BM_CLICK, 0, 0);
        else
            terminal.remove_device(id);
        EXPECT_TRUE(g_wait_until_gone(dialog));
        quiet();
    }
    void ask(const wchar_t* what, const std::vector<BYTE>& request)
    {
        sim.step(std::wstring(L"the port driver asks: ") + what);
        sim.queue_request(request);
        sim.wait_idle(10000);
        quiet();
    }
    void send(const std::wstring& what, const std::vector<BYTE>& frame)
    {
        sim.step(L"the terminal sends: " + what);
        terminal.inject(frame);
        quiet();
    }
    void session_change(const wchar_t* what, WPARAM change)
    {
        sim.step(what);
        SendMessageW(window, WM_WTSSESSION_CHANGE, change, 0);
        quiet();
    }
    void compare(const char* name)
    {
        const std::string actual = sim.text(), golden = std::string(KV_GOLDEN_DIR) + "/" + name;
        CreateDirectoryW(L"transcripts", nullptr);
        std::ofstream(std::string("transcripts/") + name, std::ios::binary) << actual;
        if (GetEnvironmentVariableA("KV_APPROVE_TRANSCRIPTS", nullptr, 0))
            std::ofstream(golden, std::ios::binary) << actual;
        std::stringstream expected;
        expected << std::ifstream(golden, std::ios::binary).rdbuf();
        EXPECT_EQ(expected.str(), actual) << "(build/win/transcripts/" << name << ")";
    }

    Transcript_platform sim;
    Sim_terminal terminal;
    std::thread app;
    HWND window = nullptr;
    int exit_code = -1;
};

Bytes status_request(BYTE code, uint32_t devid)
{
    return le(uint32_t{9}, code, devid, uint32_t{0});
}

// A workstation: devices shared without asking, every request the port driver forwards and every
// reply the terminal sends, the odd ones too, then a disconnect, a reconnect whose client has no
// USB channel, and the installer's request to stop.
TEST_F(Transcript_test, Workstation)
{
    g_product_type = VER_NT_WORKSTATION;
    set_value(L"StopInstances", 7); // left by an earlier drain
    launch();
    list({1, 0x1234, 0x5678, 0x0100, "Stick", "SN-1"}, 1);
    list({2, 0x0781, 0x5581, 0x0100, "Cam\tera\x01 &1", "SN-2"}, 2);
    list({3, 0x046D, 0xC52B, 0x1200, "", "", false}, 3);
    list({5, 0x0781, 0x5581, 0x0200, "Phone", "SN-5", true, 5}, 3); // the client cannot open it
    tray_menu();
    session_change(L"the client connects again while connected", WTS_REMOTE_CONNECT);
    session_change(L"the session is locked", WTS_SESSION_LOCK);
    for (BYTE code : {kv::code_reset, kv::code_set_config, kv::code_claim_interface,
                      kv::code_release_interface, kv::code_interface_setting})
        ask(g_code_name(code), status_request(code, 1));
    ask(L"clear-halted-ep", status_request(kv::code_clear_halted_ep, 1));
    const std::pair<Sim_transfer, const wchar_t*> transfers[] = {
        {Sim_transfer::plain_in, L"queue-urb, in"},
        {Sim_transfer::plain_out, L"queue-urb, out"},
        {Sim_transfer::mdl_in, L"queue-mdl-urb, in"},
        {Sim_transfer::mdl_out, L"queue-mdl-urb, out"}};
    for (auto [kind, what] : transfers)
    {
        sim.step(std::wstring(L"the port driver asks: ") + what);
        sim.submit_transfer(kind, 1, 8);
        EXPECT_TRUE(sim.wait_idle(10000));
        quiet();
    }
    sim.step(L"the port driver asks, for device 9 that is not listed: queue-mdl-urb, in");
    sim.queue_request(mdl_request(1, 8, nullptr, 1, 9));
    quiet();
    ask(L"cancel-urb", le(uint32_t{9}, BYTE{kv::code_cancel_urb}, uint32_t{1}, uint32_t{1}));
    ask(L"code 13", status_request(13, 1));
    ask(L"code 200", status_request(200, 1));
    Bytes oversized = le(uint32_t{6000}, BYTE{kv::code_queue_urb}, uint32_t{1});
    oversized.resize(6004);
    ask(L"a queue-urb longer than the query buffer", oversized);
    Sim_hostile_sender hostile(terminal, 1, false);
    for (const wchar_t* what : {L"an unknown code", L"a short status reply", L"a short reap reply",
                                L"a reply for nobody's device", L"a reap for nobody's transfer",
                                L"a device list running past its end"})
    {
        sim.step(std::wstring(L"the terminal sends: ") + what);
        hostile.send_one();
        quiet();
    }
    for (int code : {1, 7, 10, 13, 200}) // close, queue-urb, cancel-urb: never replies
        send(L"a frame of code " + std::to_wstring(code), le(uint32_t{5}, BYTE(code), uint32_t{1}));
    send(L"an empty frame", le(uint32_t{0}));
    send(L"a negotiate reply without its version", le(uint32_t{1}, BYTE{kv::code_negotiate}));
    send(L"a reset reply with status 3",
         le(uint32_t{6}, BYTE{kv::code_reset}, BYTE{3}, uint32_t{1}));
    Bytes listing = terminal.device_list_reply(), bad_name = record({.id = 8});
    bad_name[19] = static_cast<BYTE>(bad_name.size()); // its name starts past its end
    listing.resize(listing.size() - 2);                // the closing zero
    for (const Bytes& tail : {bad_name, Bytes{8, 0, 4, 0, 0, 0, 0, 0}, Bytes{0, 0}})
        listing.insert(listing.end(), tail.begin(), tail.end());
    kv::store_u32(listing.data(), static_cast<uint32_t>(listing.size() - 4));
    send(L"its device list, then a record whose name starts past its end and one too short",
         listing);
    Bytes large = le(uint32_t{5000}, BYTE{kv::code_reap_urb}, uint32_t{1});
    large.resize(5004);
    send(L"a frame longer than the longest reply", large);
    list({4, 0x1234, 0x5678, 0x0100, "Stick", "SN-1"}, 3); // device 1's twin
    tray_menu();
    unlist(4);
    unlist(2);
    tray_menu();
    // No poll from here to the disconnect: the channel's next write is the transfer's.
    g_seams.timing.device_list_period_ms = 60000;
    Sleep(300);
    for (auto [kind, what] : {transfers[2], transfers[3]})
    {
        sim.step(std::wstring(L"the port driver asks, and the channel fails its write: ") + what);
        sim.end_calls({Sim_call::channel_write, Sim_end::fail_at_once, ERROR_GEN_FAILURE,
                       Sim_driver::any, 0xFFFFFFFF, 1});
        sim.submit_transfer(kind, 1, 8);
        EXPECT_TRUE(sim.wait_idle(10000));
        quiet();
    }
    g_seams.timing.device_list_period_ms = 50;
    session_change(L"the client disconnects", WTS_REMOTE_DISCONNECT);
    sim.end_calls({Sim_call::channel_open, Sim_end::fail_at_once, ERROR_FILE_NOT_FOUND});
    session_change(L"a client without USB redirection connects", WTS_REMOTE_CONNECT);
    tray_menu();
    sim.end_calls_as_usual();
    session_change(L"that client disconnects", WTS_REMOTE_DISCONNECT);
    session_change(L"a client with USB redirection connects", WTS_REMOTE_CONNECT);
    connected();
    EXPECT_TRUE(sim.wait_plugged(2, 10000));
    quiet();
    end_session(L"the machine shuts down", TRUE, 0);
    sim.step(L"the installer asks every instance to stop");
    set_value(L"StopInstances", 8);
    app.join();
    sim.note(L"exit code " + std::to_wstring(exit_code));
    compare("workstation.txt");
}

// A server edition: the share question in three languages answered yes, no and by its timer, a
// deny and an allow rule, a plug-in the port driver refuses, then a logoff.
TEST_F(Transcript_test, ServerWithRulesAndQuestions)
{
    g_product_type = VER_NT_SERVER;
    set_value(L"StopInstances", 7); // left by an earlier drain
    // A malformed rule is logged once a process: this text is no other test's.
    set_rules(L"DenyRules", {L"name=pad*", L"this is no rule"});
    set_rules(L"AllowRules", {L"1234:5678"});
    launch();
    list({1, 0x1234, 0x5678, 0x0100, "Stick", "SN-1"}, 0);
    answer(1, 0x0409, IDOK);
    g_language = 0x0416;
    list({2, 0x1234, 0x5678, 0x0200, "Scanner", "SN-2"}, 1);
    answer(2, 0x0416, IDCANCEL);
    g_language = 0x0411;
    list({3, 0x1234, 0x5678, 0x0300, "Printer", "SN-3"}, 1);
    answer(3, 0x0411, 0);
    list({4, 0x1234, 0x5678, 0x0400, "Pad", "SN-4"}, 1);
    list({5, 0x0781, 0x5581, 0x0100, "Disk", "SN-5"}, 1);
    g_language = 0x0409;
    sim.fail_calls(IOCTL_PORT_PLUG_IN);
    list({6, 0x1234, 0x5678, 0x0600, "Phone", "SN-6"}, 1);
    answer(6, 0x0409, IDOK);
    sim.fail_calls(0);
    sim.step(L"the administrator adds the deny rule 1234:5678:0100");
    sim.clear_lines();
    set_rules(L"DenyRules", {L"name=pad*", L"this is no rule", L"1234:5678:0100"});
    ASSERT_TRUE(sim.wait_for_line(L"g_read_device_policy() - share:"));
    quiet();
    tray_menu();
    end_session(L"the session's end is cancelled", FALSE, ENDSESSION_LOGOFF);
    end_session(L"the user logs off", TRUE, ENDSESSION_LOGOFF);
    sim.step(L"another value of the product's key changes");
    set_value(L"Other", 7);
    quiet();
    end_session(L"the installer's restart manager asks the program to close", TRUE,
                ENDSESSION_CLOSEAPP);
    app.join();
    sim.note(L"exit code " + std::to_wstring(exit_code));
    UnregisterClassW(L"KVUSBREDIRECTOR", GetModuleHandleW(nullptr));
    // The share question switched off: only the key counts.
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, k_popup_key, nullptr, REG_SZ, L"", sizeof(wchar_t));
    launch();
    sim.step(L"the installer asks every instance to stop");
    set_value(L"StopInstances", 8);
    app.join();
    sim.note(L"exit code " + std::to_wstring(exit_code));
    compare("server.txt");
}

} // namespace
