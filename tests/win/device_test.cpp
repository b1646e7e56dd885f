// The device list's reconciliation, the open replies and the share dialog, real under Xvfb.
#include "support/fixtures.h"
#include "channel/server_channel.h"
#include "debug/usb_debug.h"
#include "driver/usb_driver.h"
#include "manager/usb_manager.h"
#include "packets/usb_packet_device_list.h"
#include "packets/usb_packet_open.h"
#include "shell/tray_menu.h"
#include "shell/warning_popup.h"
#include "resources/resource.h"
#include "shell/app_globals.h"

#include <cstdlib>
#include <new>
#include <tuple>

namespace
{

using Device_list_test = Device_fixture;
const Lines k_no_devices = {L"~No USB devices"};

using Device_engine_test = Engine_fixture;

TEST_F(Device_list_test, EachNewDeviceGetsOneOpenRequestUnlessTwinOrUntrusted)
{
    Bytes bad_name = record({.id = 3, .id1 = 3});
    bad_name[19] = static_cast<BYTE>(bad_name.size()); // skipped; too_short ends the list
    const Bytes one = record({.id = 1, .id1 = 1}), two = record({.id = 2, .id1 = 2}),
                five = record({.id = 5, .id1 = 5}), too_short = {8, 0, 4, 0, 0, 0, 0, 0},
                a = record({.id = 1}), b = record({.id = 2, .name = "Other"});
    using Row = std::tuple<const char*, std::vector<Bytes>, bool, Ids>;
    for (auto [name, records, closing_zero, opened] : std::vector<Row>{
             {"duplicate id", {one, one, two}, true, {1, 2}},
             {"twins", {a, b}, true, {}},
             {"identity number 3 differs", {a, record({.id = 2, .id3 = 1})}, true, {1, 2}},
             {"identity number 2 differs", {a, record({.id = 2, .id2 = 1})}, true, {1, 2}},
             {"identity string a prefix",
              {a, record({.id = 2, .identity = "SN-10"})},
              true,
              {1, 2}},
             // A later record ending exactly at the payload's end has no closing zero behind it.
             {"no closing zero", {one, two}, false, {1}},
             {"malformed", {one, bad_name, two, too_short, five}, true, {1, 2}}})
    {
        reconcile(records, closing_zero);
        reconcile(records, closing_zero); // twins go again at every reply
        EXPECT_EQ(opened, open_requests()) << name;
        EXPECT_EQ(opened.size(), entries().size()) << name;
        reconcile_empty();
    }
    EXPECT_TRUE(sim.calls().empty()); // nothing reaches the port driver before an open reply
}

// An unplug that fails is logged with the driver's error and the entry goes all the same; a
// failed device is not retried until it leaves; an open request that cannot be written fails.
TEST_F(Device_list_test, FailedDevicesAreRetriedOnlyAfterLeavingAndAFailedUnplugStillErases)
{
    make_opened(record({.id = 5}));
    sim.fail_calls(IOCTL_PORT_UNPLUG);
    reconcile({});
    sim.fail_calls(0);
    EXPECT_TRUE(entries().empty());
    EXPECT_EQ(1u, sim.count_lines(L"Unplug failed: 0x1f\n")); // the driver's, not the logging's
    const Bytes nine = record({.id = 9, .id1 = 9}), three = record({.id = 3, .id1 = 3});
    reconcile({nine, three});
    open_reply(9, 5);
    for (int round = 0; round < 2; ++round)
        reconcile({nine, three});
    EXPECT_EQ(Entries({{9, S::failed}, {3, S::pending_return}}), entries());
    reconcile({});
    reconcile({nine});
    EXPECT_EQ(Ids({5, 9, 3, 9}), open_requests());
    sim.disconnect_terminal();
    reconcile({record({.id = 4})});
    EXPECT_EQ(Entries({{4, S::failed}}), entries());
}

// The device list and its lock outlive the engine: a dialog still open at the stop takes the
// lock at its next tick, lets it go and ends; the engine then starts again.
TEST_F(Device_engine_test, ADialogOpenAtTheStopStillTakesTheMutexAndEnds)
{
    ASSERT_TRUE(g_start_threads());
    ASSERT_TRUE(g_open_port_driver());
    g_is_server_os = true;
    make_opened(record({.id = 53}));
    g_is_server_os = false;
    ASSERT_NE(nullptr, g_wait_for_share_dialog());
    g_stop_threads();
    ASSERT_TRUE(sim.wait_for_line(L"dialog ended device:53 result:2", 6000));
    if (!g_device_list_mutex.try_hold())
        FAIL() << "the device list stayed held";
    g_device_list_mutex.release();
    EXPECT_TRUE(sim.inputs(IOCTL_PORT_PLUG_IN).empty());
    ASSERT_TRUE(g_start_threads());
}

std::wstring text_of(HWND dialog, int id)
{
    wchar_t text[1100] = {};
    GetDlgItemTextW(dialog, id, text, 1100);
    return text;
}

std::wstring ended(uint32_t id, int result)
{
    return L"dialog ended device:" + std::to_wstring(static_cast<int>(id)) + L" result:" +
           std::to_wstring(result);
}

// The tray reads the list only when it is free at once: its holder may be waiting for a driver.
TEST_F(Device_list_test, TheTrayMenuShowsEachDeviceOnceAndNeverWaitsForTheList)
{
    EXPECT_EQ(k_no_devices, g_device_menu());
    std::vector<Bytes> listed = {record({.id = 1, .id1 = 1, .name = "AT&T\tModem"})};
    const std::string long_name(120, 'N'); // cut to 100 characters, not lost
    for (uint16_t id = 2; id <= k_device_menu_max_devices + 2; ++id)
        listed.push_back(
            record({.id = id, .id1 = id, .name = id == 2 ? long_name.c_str() : "Stick"}));
    reconcile(listed);
    const Lines menu = g_device_menu();
    ASSERT_EQ(k_device_menu_max_devices + 1, menu.size());
    EXPECT_EQ(L"AT&&T Modem (device 1, 0001:5678:0100): connecting", menu.front());
    EXPECT_EQ(L"Stick (device 40, 0028:5678:0100): connecting", menu[39]);
    EXPECT_EQ(std::wstring(100, L'N') + L" (device 2, 0002:5678:0100): connecting", menu[1]);
    EXPECT_EQ(L"~and 2 more", menu.back());
    g_device_list_mutex.hold(); // by a plug-in waiting for the port driver: never waited for
    EXPECT_EQ(menu, g_device_menu());
    g_device_list_mutex.release();
    reconcile_empty();
}

using Device_attach_test = Device_fixture;

TEST_F(Device_attach_test, OnlyTheFirstButtonPlugsInAndOnlyWhatIsStillListed)
{
    // No name: "Unknown". No identity string: the name runs to the record's end, even without a
    // closing zero. Ids travel through the dialog as signed decimal text and must read back as
    // one of a listed device. Answers: 0 the first button; 1 the second, 2 the close box, 3
    // Escape, 4 Enter.
    Bytes to_end = record({.id = 0x80000001u, .name = "Card Reader", .identity = nullptr});
    to_end.pop_back();
    to_end[0] = static_cast<BYTE>(to_end.size());
    const Bytes stick = record({.id = 12}), disk = record({.id = 21, .name = "Flash Disk"});
    const wchar_t* left = L"left"; // the device leaves instead of the id text being changed
    using Row = std::tuple<Bytes, const wchar_t*, const wchar_t*, int, const wchar_t*>;
    std::vector<Row> rows = {{record({.id = 24, .name = nullptr}), L"Unknown", L"24", 0, nullptr},
                             {to_end, L"Card Reader", L"-2147483647", 0, nullptr},
                             {record({.id = 0x80000000u}), L"Stick", L"-2147483648", 0, nullptr},
                             {record({.id = 0xFFFFFFFFu}), L"Stick", L"-1", 0, nullptr}};
    for (int answer = 0; answer < 5; ++answer)
        rows.emplace_back(disk, L"Flash Disk", L"21", answer, nullptr);
    for (const wchar_t* tampered : {left, L"", L"12x", L"4294967295", L"-2147483649"})
        rows.emplace_back(stick, L"Stick", L"12", 0, tampered);
    for (auto [bytes, name, id_text, answer, tampered] : rows)
    {
        const uint32_t id = kv::record_device_id(bytes.data());
        SCOPED_TRACE(testing::PrintToString(std::make_tuple(id, answer, tampered)));
        const size_t before = sim.calls().size();
        sim.clear_lines();
        g_is_server_os = true;
        make_opened(bytes);
        HWND dialog = g_wait_for_share_dialog();
        ASSERT_NE(nullptr, dialog);
        EXPECT_EQ(id_text, text_of(dialog, IDC_DEVICE_ID));
        EXPECT_EQ(before, sim.calls().size()); // the reply pump went on at once
        EXPECT_EQ(Lines({menu_line(name, id_text, L"waiting for your answer")}), g_device_menu());
        if (tampered == left)
            reconcile({});
        else if (tampered)
            SetDlgItemTextW(dialog, IDC_DEVICE_ID, tampered);
        HWND no = GetDlgItem(dialog, IDCANCEL);
        if (answer < 2)
            SendMessageW(answer ? no : GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
        else if (answer == 2)
            PostMessageW(dialog, WM_CLOSE, 0, 0);
        else
            PostMessageW(no, WM_KEYDOWN, answer == 3 ? VK_ESCAPE : VK_RETURN, 0);
        ASSERT_TRUE(sim.wait_for_line(ended(id, answer ? 2 : 1)));
        EXPECT_TRUE(g_wait_until_gone(dialog));
        const bool plugs = !answer && !tampered;
        const auto calls = sim.calls();
        EXPECT_EQ(before + plugs, calls.size());
        EXPECT_TRUE(!plugs || Bytes(bytes.begin() + 2, bytes.end()) == calls.back().input);
        // Audited: a share, or a no (not an unreadable answer, nor a device that left).
        const std::vector<DWORD> audited = {plugs ? k_event_id_device_shared
                                                  : k_event_id_device_declined};
        EXPECT_EQ(plugs || (answer && !tampered) ? audited : std::vector<DWORD>(), audits(sim));
        // An answer that cannot be read shares nothing, as a no.
        EXPECT_EQ(tampered == left
                      ? k_no_devices
                      : Lines({menu_line(name, id_text, plugs ? L"shared" : L"declined")}),
                  g_device_menu());
        EXPECT_EQ(tampered == left ? Entries()
                                   : Entries({{id, plugs ? S::opened : S::pending_return}}),
                  entries());
        reconcile_empty();
    }
}

TEST_F(Device_attach_test, TheDialogEndsByItselfWithinATickOnceItsDeviceIsGone)
{
    for (bool listed : {true, false}) // gone while asked, or before the dialog started
    {
        sim.clear_lines();
        g_is_server_os = true;
        if (listed)
            make_opened(record({.id = 23}));
        else // the dialog's thread as the open reply starts it, its question on the heap
            CloseHandle(CreateThread(
                nullptr, 0, g_start_warning_popup,
                new (std::malloc(sizeof(Share_question))) Share_question{23, 1}, 0, nullptr));
        HWND dialog = g_wait_for_share_dialog();
        ASSERT_NE(nullptr, dialog) << listed;
        reconcile({});
        const ULONGLONG left = GetTickCount64();
        // Hidden at once by EndDialog; under a display without window manager Wine may take a
        // while longer to let the dialog's thread return.
        while (IsWindowVisible(dialog) && GetTickCount64() - left < 6000)
            Sleep(5);
        EXPECT_LE(GetTickCount64() - left, 3300u) << listed; // one 3-second tick
        ASSERT_TRUE(sim.wait_for_line(ended(23, 2), 6000)) << listed;
        EXPECT_TRUE(g_wait_until_gone(dialog));
    }
}

TEST_F(Device_attach_test, ADialogThatCannotStartSharesNothing)
{
    // A dialog that cannot start, for want of its thread or of its resource: not shared, not
    // audited, and shown as failed.
    g_is_server_os = true;
    for (bool thread : {true, false})
    {
        if (thread)
            g_seams.create_thread = [](LPTHREAD_START_ROUTINE, LPVOID)
            { return SetLastError(ERROR_NOT_ENOUGH_MEMORY), HANDLE{}; };
        else
            g_instance = GetModuleHandleW(L"kernel32.dll");
        sim.clear_lines();
        const size_t calls = sim.calls().size();
        reconcile({record({.id = 30})});
        open_reply(30, 0);
        EXPECT_TRUE(sim.wait_for_line(thread ? L"share dialog not started for device: 30 - error:8"
                                             : L"DialogBoxParam failed"));
        g_seams.create_thread = g_create_detached_thread;
        g_instance = GetModuleHandleW(nullptr);
        EXPECT_EQ(Lines({menu_line(L"Stick", L"30", L"failed")}), g_device_menu());
        EXPECT_TRUE(audits(sim).empty() && sim.calls().size() == calls);
        reconcile_empty();
    }
}

} // namespace
