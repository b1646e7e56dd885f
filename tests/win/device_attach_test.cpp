// Open replies and the share dialog, shown for real under Xvfb.
#include "support/fixtures.h"
#include "manager/usb_driver.h"
#include "packets/usb_packet_open.h"
#include "packets/warning_popup.h"
#include "resources/resource.h"
#include "shell/app_globals.h"

#include <cstdlib>
#include <tuple>

namespace
{

using S = Usb_device_state;

// String id of exactly that language (no fallback), read from its block of 16 counted strings.
std::wstring load_string(LANGID language, UINT id)
{
    HMODULE self = GetModuleHandleW(nullptr);
    HRSRC found = FindResourceExW(self, RT_STRING, MAKEINTRESOURCEW(id / 16 + 1), language);
    if (!found)
        return L"";
    auto* p = static_cast<const WCHAR*>(LockResource(LoadResource(self, found)));
    for (UINT i = 0; i < id % 16; ++i)
        p += 1 + *p;
    return std::wstring(p + 1, *p);
}

std::wstring text_of(HWND dialog, int id)
{
    wchar_t text[1100] = {};
    GetDlgItemTextW(dialog, id, text, 1100);
    return text;
}

// The question as the dialog shows it under the English locale of the tests.
std::wstring question(const std::wstring& name)
{
    std::wstring text = load_string(0x0409, IDS_SHARE_QUESTION);
    return text.replace(text.find(L"<>"), 2, name);
}

std::wstring ended(uint32_t id, int result)
{
    return L"dialog ended device:" + std::to_wstring(static_cast<int>(id)) + L" result:" +
           std::to_wstring(result);
}

class Device_attach_test : public Device_fixture
{
  protected:
    // On a server, lists the device, answers its open request with status 0 and waits for its
    // dialog with the focus on the second button.
    HWND ask(const Bytes& record)
    {
        sim.clear_lines();
        g_is_server_os = true;
        reconcile({record});
        open_reply(kv::record_device_id(record.data()), 0);
        return g_wait_for_share_dialog();
    }
};

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
        HWND dialog = ask(bytes);
        ASSERT_NE(nullptr, dialog);
        EXPECT_EQ(question(name), text_of(dialog, IDC_WARNING_TEXT));
        EXPECT_EQ(id_text, text_of(dialog, IDC_DEVICE_ID));
        EXPECT_EQ(before, sim.calls().size()); // the reply pump went on at once
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
        EXPECT_EQ(plugs, sim.has_line(L"Plugged in device: " + std::wstring(id_text) + L"\n"));
        EXPECT_EQ(state_of(id), plugs              ? S::opened
                                : tampered == left ? std::optional<S>()
                                                   : S::pending_return);
        reconcile_empty();
    }
}

TEST_F(Device_attach_test, TheDialogEndsByItselfWithinATickOnceItsDeviceIsGone)
{
    for (bool listed : {true, false}) // gone while asked, or before the dialog started
    {
        sim.clear_lines();
        auto* context = static_cast<uint32_t*>(std::malloc(sizeof(uint32_t)));
        *context = 23;
        if (!listed)
            CloseHandle(CreateThread(nullptr, 0, g_start_warning_popup, context, 0, nullptr));
        else
            std::free(context);
        HWND dialog = listed ? ask(record({.id = 23})) : g_wait_for_share_dialog();
        ASSERT_NE(nullptr, dialog) << listed;
        EXPECT_EQ(question(listed ? L"Stick" : L"Unknown"), text_of(dialog, IDC_WARNING_TEXT));
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
    EXPECT_TRUE(sim.calls().empty());
}

TEST_F(Device_attach_test, OpenRepliesThatShowNoDialog)
{
    // Short, or for a device not listed: nothing changes.
    g_is_server_os = false;
    reconcile({record({.id = 30})});
    BYTE short_reply[10] = {5, 0, 0, 0, kv::code_open, 0, 30, 0, 0, 0};
    Usb_packet_open(short_reply, false).process_return();
    open_reply(99, 0);
    EXPECT_EQ(state_of(30), S::pending_return);
    reconcile_empty();
    // Server, the dialog switched off, the open's status, the plug-in failing.
    using Row = std::tuple<bool, bool, BYTE, DWORD, S, int, const wchar_t*>;
    for (auto [server, switched_off, status, failing, state, level, line] :
         std::vector<Row>{{false, false, 0, 0, S::opened, 4, L"Plugged in device: 30\n"},
                          {true, true, 0, 0, S::opened, 4, L"Plugged in device: 30\n"},
                          {false, false, 0, IOCTL_PORT_PLUG_IN, S::failed, 3,
                           L"Start terminal server session failed"},
                          {true, false, 5, 0, S::failed, 3,
                           L"Status code error returned for plug in device: 30, (5)\n"}})
    {
        g_is_server_os = server;
        g_warning_popup_disabled = switched_off;
        sim.failing_code = failing;
        const Bytes device = record({.id = 30});
        const size_t calls = sim.calls().size();
        reconcile({device});
        open_reply(30, status);
        EXPECT_EQ(state_of(30), state) << line;
        const Log_line last = sim.lines().back();
        EXPECT_EQ(L"Usb_packet_open::process_return() - " + std::wstring(line), last.text);
        EXPECT_EQ(level, last.level) << line;
        reconcile({device}); // still listed: never asked or plugged in again
        Sleep(50);
        EXPECT_EQ(nullptr, FindWindowW(L"#32770", L"Kelvra USB Redirector"));
        const auto made = sim.calls();
        ASSERT_EQ(calls + (status ? 0 : 1), made.size()) << line;
        EXPECT_TRUE(status || Bytes(device.begin() + 2, device.end()) == made.back().input);
        sim.failing_code = 0;
        reconcile_empty();
    }
}

// Every language the dialog can ask in has a question with one place for the device's name.
TEST(Share_dialog_resources, EveryLanguageAsksWithOnePlaceForTheName)
{
    for (LANGID language : {0x0409, 0x0007, 0x000A, 0x000C, 0x0010, 0x001D, 0x0416, 0x0411, 0x0412,
                            0x0804, 0x1004, 0x0404, 0x0C04, 0x1404})
    {
        const std::wstring text = load_string(language, IDS_SHARE_QUESTION);
        EXPECT_FALSE(load_string(language, IDS_YES).empty() ||
                     load_string(language, IDS_NO).empty())
            << language;
        EXPECT_TRUE(text.find(L"<>") != std::wstring::npos && text.find(L"<>") == text.rfind(L"<>"))
            << language;
    }
}

} // namespace
