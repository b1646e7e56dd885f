// Whole sessions through the program's entry on the simulator, each step's output written to a
// transcript and compared with its approved copy in tests/golden (scripts/approve-transcripts.sh
// records them anew).
#include "support/fixtures.h"

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
#include <wtsapi32.h>

namespace
{

const wchar_t k_product_key[] = L"Software\\Kelvra\\kvUsbRedirector",
              k_popup_key[] = L"Software\\Orvik\\WinUSB\\DisableWarningPopup";
LANGID g_language = 0x0409; // the share dialogs' thread UI language
Sim_transcript* g_transcript = nullptr;

// The share dialogs run in the language the script chose, as in that user's session.
HANDLE create_thread(LPTHREAD_START_ROUTINE routine, LPVOID parameter)
{
    if (routine != g_start_warning_popup)
        return g_create_detached_thread(routine, parameter);
    return g_create_detached_thread(
        [](LPVOID question) -> DWORD
        {
            SetThreadUILanguage(g_language); // Wine picks resources by the thread's locale
            SetThreadLocale(MAKELCID(g_language, SORT_DEFAULT));
            return g_start_warning_popup(question);
        },
        parameter);
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

Bytes status_request(BYTE code, uint32_t devid)
{
    return le(uint32_t{9}, code, devid, uint32_t{0});
}

class Transcript_test : public Entry_fixture
{
  protected:
    void SetUp() override
    {
        Entry_fixture::SetUp();
        g_seams.timing.device_list_period_ms = 50;
        g_seams.max_reply_length = 4096;
        g_seams.create_thread = create_thread;
        g_seams.register_restart = [](PCWSTR, DWORD flags) {
            return g_transcript->note(L"restart registered, flags " + std::to_wstring(flags)), S_OK;
        };
        g_transcript = sim.transcript = terminal.transcript = &transcript;
        g_language = 0x0409;
        for (const wchar_t* key : {k_policy_key, k_product_key, k_popup_key})
            RegDeleteTreeW(HKEY_LOCAL_MACHINE, key); // as a run that was killed may leave them
        set_value(L"StopInstances", 7);              // left by an earlier drain
        g_settle_event_budget(sim);
        transcript.forget();
    }
    void TearDown() override
    {
        Entry_fixture::TearDown();
        terminal.stop();
        sim.transcript = nullptr;
        for (const wchar_t* key : {k_policy_key, k_product_key, k_popup_key})
            RegDeleteTreeW(HKEY_LOCAL_MACHINE, key);
    }

    // One step of the script: its heading, what happens, then what came of it once settled.
    template <class Action> void step(const std::wstring& heading, Action action)
    {
        transcript.step(heading);
        action();
        for (std::string last; last != transcript.text(); Sleep(300))
            last = transcript.text();
        CreateDirectoryW(L"transcripts", nullptr); // for a session that hangs, what it has
        std::ofstream("transcripts/so-far.txt", std::ios::binary) << transcript.text();
    }
    // The entry as the exe runs it, until the request pump waits on the port driver.
    void launch()
    {
        step(L"the program starts", [this] { Entry_fixture::launch(), connected(); });
    }
    void connected()
    {
        terminal.stop();
        terminal.start(sim.terminal());
        for (int i = 0; i < 1000 && sim.pending_queries() == 0; ++i)
            Sleep(10); // the request pump waits on the port driver
    }
    void exit_on(const std::wstring& heading, const std::function<void()>& request)
    {
        step(heading, [&] { request(), app.join(); });
        transcript.note(L"exit code " + std::to_wstring(exit_code));
        UnregisterClassW(L"KVUSBREDIRECTOR", GetModuleHandleW(nullptr));
    }
    void list(const Sim_device& device, size_t plugged)
    {
        step(L"the terminal lists device " + std::to_wstring(device.id),
             [&]
             {
                 terminal.add_device(device);
                 EXPECT_TRUE(sim.wait_plugged(plugged, 10000));
             });
    }
    void unlist(uint32_t id)
    {
        step(L"the terminal unlists device " + std::to_wstring(id),
             [&] { terminal.remove_device(id); });
    }
    void tray_menu()
    {
        step(L"the user right-clicks the tray icon",
             [this]
             {
                 PostMessageW(window, k_notify_icon_callback, 1, WM_RBUTTONUP);
                 HWND popup = g_wait_for_popup_menu();
                 ASSERT_NE(nullptr, popup);
                 for (const std::wstring& line :
                      g_menu_lines(reinterpret_cast<HMENU>(SendMessageW(popup, MN_GETHMENU, 0, 0))))
                     transcript.note(L"menu: " + g_escaped(line));
                 SendMessageW(window, WM_CANCELMODE, 0, 0);
                 EXPECT_TRUE(g_wait_until_gone(popup));
             });
    }
    // Each end is written down before the window answers it; the installer's ends the program.
    void end_session(const wchar_t* what, BOOL ending, LPARAM how)
    {
        const auto end = [&]
        {
            SendMessageW(window, WM_QUERYENDSESSION, 0, how);
            SendMessageW(window, WM_ENDSESSION, ending, how);
            transcript.note(L"the window answered");
        };
        how == ENDSESSION_CLOSEAPP ? exit_on(what, end) : step(what, end);
    }
    // The dialog's texts, then the answer: IDOK, IDCANCEL, or 0 to unlist the device and let its
    // timer end the dialog; the id it shows changed first to id_text, when given.
    void answer(uint32_t id, int button, const wchar_t* id_text = nullptr)
    {
        HWND dialog = g_wait_for_share_dialog();
        ASSERT_NE(nullptr, dialog);
        const wchar_t* how = id_text          ? L"yes, its device id changed"
                             : button == IDOK ? L"yes"
                             : button         ? L"no"
                                              : L"by its timer";
        step(L"the share dialog in language " + std::to_wstring(g_language) + L", answered " + how,
             [&]
             {
                 wchar_t text[1100];
                 GetWindowTextW(dialog, text, 1100);
                 transcript.note(L"dialog caption: " + g_escaped(text));
                 for (auto [control, what] : {std::pair{IDC_WARNING_TEXT, L"question"},
                                              {IDC_DEVICE_ID, L"device id"},
                                              {IDOK, L"yes button"},
                                              {IDCANCEL, L"no button"}})
                 {
                     GetDlgItemTextW(dialog, control, text, 1100);
                     transcript.note(L"dialog " + std::wstring(what) + L": " + g_escaped(text));
                 }
                 if (id_text)
                     SetDlgItemTextW(dialog, IDC_DEVICE_ID, id_text);
                 if (button)
                     SendMessageW(GetDlgItem(dialog, button), BM_CLICK, 0, 0);
                 else
                     terminal.remove_device(id);
                 EXPECT_TRUE(g_wait_until_gone(dialog));
             });
    }
    void ask(const std::wstring& what, const Bytes& request)
    {
        step(L"the port driver asks: " + what,
             [&] { sim.queue_request(request), sim.wait_idle(10000); });
    }
    void transfer(const std::wstring& what, Sim_transfer kind, uint32_t size = 8)
    {
        step(L"the port driver asks: " + what,
             [&]
             {
                 sim.submit_transfer(kind, 1, size);
                 EXPECT_TRUE(sim.wait_idle(10000));
             });
    }
    void send(const std::wstring& what, const Bytes& frame)
    {
        step(L"the terminal sends: " + what, [&] { terminal.inject(frame); });
    }
    void session_change(const std::wstring& what, WPARAM change)
    {
        step(what, [&] { SendMessageW(window, WM_WTSSESSION_CHANGE, change, 0); });
    }
    void compare(const char* name)
    {
        const std::string actual = transcript.text(),
                          golden = std::string(KV_GOLDEN_DIR) + "/" + name;
        CreateDirectoryW(L"transcripts", nullptr);
        std::ofstream(std::string("transcripts/") + name, std::ios::binary) << actual;
        if (GetEnvironmentVariableA("KV_APPROVE_TRANSCRIPTS", nullptr, 0))
            std::ofstream(golden, std::ios::binary) << actual;
        std::stringstream expected;
        expected << std::ifstream(golden, std::ios::binary).rdbuf();
        EXPECT_EQ(expected.str(), actual) << "(build/win/transcripts/" << name << ")";
    }

    Sim_transcript transcript;
    Sim_terminal terminal;
};

// A workstation: devices shared without asking, every request the port driver forwards and every
// reply the terminal sends, the odd ones too, then a disconnect, a reconnect whose client has no
// USB channel, and the installer's request to stop.
TEST_F(Transcript_test, Workstation)
{
    launch();
    list({1, 0x1234, 0x5678, 0x0100, "Stick", "SN-1"}, 1);
    list({2, 0x0781, 0x5581, 0x0100, "Cam\tera\x01 &%1", "SN-2"}, 2);
    list({0x80000003u, 0x046D, 0xC52B, 0x1200, "", "", false}, 3);  // nameless, its id negative
    list({5, 0x0781, 0x5581, 0x0200, "Phone", "SN-5", true, 5}, 3); // the client cannot open it
    tray_menu();
    session_change(L"the client connects again while connected", WTS_REMOTE_CONNECT);
    session_change(L"the session is locked", WTS_SESSION_LOCK);
    for (BYTE code : {2, 3, 4, 5, 6, 9}) // a status request each
        ask(g_code_name(code), status_request(code, 1));
    transfer(L"queue-urb, in", Sim_transfer::plain_in);
    transfer(L"queue-urb, out", Sim_transfer::plain_out);
    transfer(L"queue-mdl-urb, in", Sim_transfer::mdl_in);
    transfer(L"queue-mdl-urb, out", Sim_transfer::mdl_out);
    for (int twice = 0; twice < 2; ++twice) // warned once a device and run
        ask(L"queue-mdl-urb, in, for device 9 that is not listed",
            mdl_request(1, 8, nullptr, 1, 9));
    ask(L"cancel-urb", le(uint32_t{9}, BYTE{kv::code_cancel_urb}, uint32_t{1}, uint32_t{1}));
    for (BYTE code : {0, 8, 11, 12, 13, 14, 16, 200}) // no requests: nothing sent
        ask(L"code " + std::to_wstring(code), status_request(code, 1));
    Bytes oversized = le(uint32_t{6000}, BYTE{kv::code_queue_urb}, uint32_t{1});
    oversized.resize(6004);
    ask(L"a queue-urb longer than the query buffer", oversized);
    Sim_hostile_sender hostile(terminal, 1, false);
    for (const wchar_t* what : {L"an unknown code", L"a short status reply", L"a short reap reply",
                                L"a reply for nobody's device", L"a reap for nobody's transfer",
                                L"a device list running past its end"})
        step(std::wstring(L"the terminal sends: ") + what, [&] { hostile.send_one(); });
    for (BYTE code : {1, 7, 10, 13, 200}) // close, queue-urb, cancel-urb: never replies
        send(L"a frame of code " + std::to_wstring(code), le(uint32_t{5}, code, uint32_t{1}));
    send(L"an empty frame", le(uint32_t{0}));
    send(L"a negotiate reply without its version", le(uint32_t{1}, BYTE{kv::code_negotiate}));
    send(L"an open reply a byte short", le(uint32_t{5}, BYTE{kv::code_open}, uint32_t{1}));
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
    sim.end_calls({Sim_call::port_unplug, Sim_end::pend_then_fail, ERROR_GEN_FAILURE});
    unlist(2);
    sim.end_calls_as_usual();
    step(L"the channel fails the poller's next request",
         [this]
         {
             sim.end_calls({Sim_call::channel_write, Sim_end::fail_at_once, ERROR_GEN_FAILURE,
                            Sim_driver::any, ~0u, 1});
         });
    tray_menu();
    // No poll from here to the disconnect: the channel's next write is the transfer's.
    g_seams.timing.device_list_period_ms = 60000;
    Sleep(300);
    for (auto [what, kind, size, end] :
         {std::tuple{L"queue-mdl-urb, in", Sim_transfer::mdl_in, 8, Sim_end::fail_at_once},
          {L"queue-mdl-urb, out", Sim_transfer::mdl_out, 8, Sim_end::fail_at_once},
          {L"queue-urb, out, more than a chunk", Sim_transfer::plain_out, 2000,
           Sim_end::fail_at_once},
          {L"queue-mdl-urb, in, pending", Sim_transfer::mdl_in, 8, Sim_end::pend_then_fail}})
    {
        sim.end_calls({Sim_call::channel_write, end, ERROR_GEN_FAILURE, Sim_driver::any, ~0u, 1});
        transfer(what + std::wstring(L", and the channel fails it"), kind, size);
    }
    g_seams.timing.device_list_period_ms = 50;
    session_change(L"the client disconnects", WTS_REMOTE_DISCONNECT);
    for (auto [call, driver, what] :
         {std::tuple{Sim_call::channel_open, Sim_driver::any, L"its USB channel cannot be opened"},
          {Sim_call::class_devs, Sim_driver::bus, L"the bus driver's interface cannot be listed"}})
    {
        sim.end_calls({call, Sim_end::fail_at_once, ERROR_GEN_FAILURE, driver});
        session_change(L"a client connects, and " + std::wstring(what), WTS_REMOTE_CONNECT);
        session_change(L"that client disconnects", WTS_REMOTE_DISCONNECT);
        sim.end_calls_as_usual();
    }
    sim.end_calls({Sim_call::channel_open, Sim_end::fail_at_once, ERROR_FILE_NOT_FOUND});
    session_change(L"a client without USB redirection connects", WTS_REMOTE_CONNECT);
    tray_menu();
    sim.end_calls_as_usual();
    session_change(L"that client disconnects", WTS_REMOTE_DISCONNECT);
    session_change(L"a client with USB redirection connects", WTS_REMOTE_CONNECT);
    step(L"the terminal answers",
         [this]
         {
             connected();
             EXPECT_TRUE(sim.wait_plugged(2, 10000));
         });
    ask(L"queue-mdl-urb, in, for device 9 again", mdl_request(1, 8, nullptr, 1, 9));
    end_session(L"the machine shuts down", TRUE, 0);
    exit_on(L"the installer asks every instance to stop", [] { set_value(L"StopInstances", 8); });
    compare("workstation.txt");
}

// A server edition: the share question in three languages answered yes, no and by its timer, a
// deny and an allow rule, a plug-in the port driver refuses, a policy change, the ends of a
// session; then a start with the question switched off.
TEST_F(Transcript_test, ServerWithRulesAndQuestions)
{
    product_type = VER_NT_SERVER;
    // A malformed rule is logged once a process: this text is no other test's.
    set_rules(L"DenyRules", {L"name=pad*", L"this is no rule"});
    set_rules(L"AllowRules", {L"1234:5678"});
    launch();
    list({1, 0x1234, 0x5678, 0x0100, "Stick", "SN-1"}, 0);
    answer(1, IDOK);
    g_language = 0x0416;
    list({2, 0x1234, 0x5678, 0x0200, "Scanner", "SN-2"}, 1);
    answer(2, IDCANCEL);
    g_language = 0x0411;
    list({3, 0x1234, 0x5678, 0x0300, "Printer", "SN-3"}, 1);
    answer(3, 0);
    list({4, 0x1234, 0x5678, 0x0400, "Pad", "SN-4"}, 1);
    list({5, 0x0781, 0x5581, 0x0100, "Disk", "SN-5"}, 1);
    g_language = 0x0409;
    sim.fail_calls(IOCTL_PORT_PLUG_IN);
    list({6, 0x1234, 0x5678, 0x0600, "Phone", "SN-6"}, 1);
    answer(6, IDOK);
    sim.fail_calls(0);
    list({7, 0x1234, 0x5678, 0x0700, "Tablet", "SN-7"}, 1);
    answer(7, IDOK, L"8");
    sim.clear_lines();
    step(L"the administrator adds the deny rule 1234:5678:0100",
         [this]
         {
             set_rules(L"DenyRules", {L"name=pad*", L"this is no rule", L"1234:5678:0100"});
             ASSERT_TRUE(sim.wait_for_line(L"g_read_device_policy() - share:"));
         });
    tray_menu();
    end_session(L"the session's end is cancelled", FALSE, ENDSESSION_LOGOFF);
    sim.fail_calls(IOCTL_BUS_UNREGISTER_SESSION);
    end_session(L"the user logs off, and the bus driver refuses the unregistration", TRUE,
                ENDSESSION_LOGOFF);
    sim.fail_calls(0);
    step(L"another value of the product's key changes", [] { set_value(L"Other", 7); });
    end_session(L"the installer's restart manager asks the program to close", TRUE,
                ENDSESSION_CLOSEAPP);
    // The share question switched off: only the key counts.
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, k_popup_key, nullptr, REG_SZ, L"", sizeof(wchar_t));
    launch();
    exit_on(L"the terminal answers a negotiation with version 1",
            [this] { terminal.inject(le(uint32_t{2}, BYTE{kv::code_negotiate}, BYTE{1})); });
    sim.end_calls({Sim_call::channel_open, Sim_end::fail_at_once, ERROR_GEN_FAILURE});
    step(L"the program starts, its USB channel failing", [this] { Entry_fixture::launch(); });
    sim.end_calls_as_usual();
    sim.fail_calls(IOCTL_BUS_REGISTER_SESSION);
    // No poll before the window closes: devices listed meanwhile would each fail their plug-in.
    g_seams.timing.device_list_period_ms = 60000;
    exit_on(L"a client connects, and the bus driver refuses the registration",
            [this]
            {
                SendMessageW(window, WM_WTSSESSION_CHANGE, WTS_REMOTE_CONNECT, 0);
                terminal.stop(), terminal.start(sim.terminal());
            });
    compare("server.txt");
}

} // namespace
