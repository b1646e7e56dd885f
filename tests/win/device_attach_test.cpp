// Open replies and the share dialog, shown for real under Xvfb.
#include "support/device_fixture.h"
#include "manager/usb_driver.h"
#include "packets/usb_packet_open.h"
#include "packets/warning_popup.h"
#include "resources/resource.h"
#include "shell/app_globals.h"

#include <cstdlib>

namespace
{

using namespace sim_records;
using S = Usb_device_state;
using Entries = std::vector<std::pair<uint32_t, Usb_device_state>>;

std::wstring control_text(HWND dialog, int id)
{
    wchar_t text[1100] = {};
    GetDlgItemTextW(dialog, id, text, 1100);
    return text;
}

std::wstring english_question(const std::wstring& name)
{
    return L"Do you want to share the USB device " + name +
           L" with all connected users? \r\n\r\nFor you to access this USB device, it will be "
           L"visible and shared to all connected Windows sessions. Click Yes to share the device, "
           L"or click No to cancel the redirection.";
}

std::wstring ended_line(uint32_t id, int result)
{
    return L"Warning_popup::g_start_warning_popup() - dialog ended device:" +
           std::to_wstring(static_cast<int>(id)) + L" result:" + std::to_wstring(result);
}

class Device_attach_test : public Device_fixture
{
  protected:
    void SetUp() override
    {
        Device_fixture::SetUp();
        g_is_server_os = true;
    }
    // Lists the device, answers its open request with status 0 and waits for its dialog.
    HWND ask(const Bytes& record)
    {
        reconcile(reply({record}));
        open_reply(kv::record_device_id(record.data()), 0);
        EXPECT_EQ(state_of(kv::record_device_id(record.data())), S::pending_return);
        HWND dialog = g_wait_for_share_dialog();
        EXPECT_NE(nullptr, dialog);
        return dialog;
    }
};

TEST_F(Device_attach_test, TheFirstButtonPlugsTheDeviceIn)
{
    Bytes stick = record({.id = 21, .name = "Flash Disk"});
    HWND dialog = ask(stick);
    ASSERT_NE(nullptr, dialog);
    EXPECT_TRUE(port_calls(IOCTL_PORT_PLUG_IN).empty()); // the reply pump went on at once
    EXPECT_EQ(english_question(L"Flash Disk"), control_text(dialog, IDC_WARNING_TEXT));
    EXPECT_EQ(L"&Yes", control_text(dialog, IDOK));
    EXPECT_EQ(L"&No", control_text(dialog, IDCANCEL));
    EXPECT_EQ(L"21", control_text(dialog, IDC_DEVICE_ID));
    EXPECT_TRUE(SendMessageW(GetDlgItem(dialog, IDCANCEL), WM_GETDLGCODE, 0, 0) &
                DLGC_DEFPUSHBUTTON);
    EXPECT_NE(nullptr, reinterpret_cast<HICON>(SendMessageW(dialog, WM_GETICON, ICON_SMALL, 0)));

    SendMessageW(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
    ASSERT_TRUE(fake.wait_for_line(ended_line(21, 1)));
    EXPECT_EQ(state_of(21), S::opened);
    auto calls = fake.calls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(IOCTL_PORT_PLUG_IN, calls[0].code);
    EXPECT_EQ(Bytes(stick.begin() + 2, stick.end()), calls[0].input);
    EXPECT_TRUE(fake.has_line(L"Usb_packet_open::process_return() - Plugged in device: 21\n"));
}

TEST_F(Device_attach_test, NoEscapeCloseBoxAndEnterLeaveTheDevicePendingReturn)
{
    Bytes stick = record({.id = 22});
    for (int way = 0; way < 4; ++way)
    {
        SCOPED_TRACE(way);
        fake.clear_lines();
        HWND dialog = ask(stick);
        ASSERT_NE(nullptr, dialog);
        HWND focus = GetDlgItem(dialog, IDCANCEL);
        if (way == 0)
            SendMessageW(focus, BM_CLICK, 0, 0);
        else if (way == 1)
            PostMessageW(focus, WM_KEYDOWN, VK_ESCAPE, 0);
        else if (way == 2)
            PostMessageW(dialog, WM_CLOSE, 0, 0);
        else
            PostMessageW(focus, WM_KEYDOWN, VK_RETURN, 0);
        ASSERT_TRUE(fake.wait_for_line(ended_line(22, 2)));
        EXPECT_TRUE(g_wait_until_gone(dialog));
        EXPECT_EQ(state_of(22), S::pending_return);
        reconcile_empty(); // the next round asks anew
    }
    EXPECT_TRUE(fake.calls().empty());
}

TEST_F(Device_attach_test, TheDialogEndsByItselfSoonAfterItsDeviceLeaves)
{
    HWND dialog = ask(record({.id = 23}));
    ASSERT_NE(nullptr, dialog);
    reconcile(reply({}));
    ULONGLONG left = GetTickCount64();
    EXPECT_TRUE(entries().empty());
    // Hidden at once by EndDialog; under a display without window manager Wine may take a
    // while longer to let the dialog's thread return.
    while (IsWindowVisible(dialog) && GetTickCount64() - left < 6000)
        Sleep(5);
    EXPECT_LE(GetTickCount64() - left, k_warning_popup_timer_ms + 300);
    ASSERT_TRUE(fake.wait_for_line(ended_line(23, 2), 6000));
    EXPECT_TRUE(fake.calls().empty());
}

TEST_F(Device_attach_test, DisplayNameRules)
{
    // No name: "Unknown". No identity string: the name runs to the record's end, even without
    // a closing zero. A device id above 2^31 travels as signed decimal text.
    Bytes no_name = record({.id = 24, .name = nullptr});
    Bytes to_end = record({.id = 0x80000001u, .name = "Card Reader", .identity = nullptr});
    to_end.pop_back();
    to_end[0] = static_cast<BYTE>(to_end.size());
    struct Case
    {
        const Bytes& record;
        std::wstring name, id_text;
    } cases[] = {{no_name, L"Unknown", L"24"}, {to_end, L"Card Reader", L"-2147483647"}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.id_text);
        HWND dialog = ask(c.record);
        ASSERT_NE(nullptr, dialog);
        EXPECT_EQ(english_question(c.name), control_text(dialog, IDC_WARNING_TEXT));
        EXPECT_EQ(c.id_text, control_text(dialog, IDC_DEVICE_ID));
        SendMessageW(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
        ASSERT_TRUE(g_wait_until_gone(dialog));
    }
    EXPECT_EQ(std::vector<uint32_t>({24, 0x80000001u}), port_calls(IOCTL_PORT_PLUG_IN));
}

TEST_F(Device_attach_test, ADialogWhoseEntryWentBeforeItStartedShowsUnknownAndEnds)
{
    auto* context = static_cast<uint32_t*>(std::malloc(sizeof(uint32_t)));
    *context = 29;
    HANDLE thread = CreateThread(nullptr, 0, g_start_warning_popup, context, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    HWND dialog = g_wait_for_share_dialog();
    ASSERT_NE(nullptr, dialog);
    EXPECT_EQ(english_question(L"Unknown"), control_text(dialog, IDC_WARNING_TEXT));
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(thread, 8000));
    DWORD code = 0;
    GetExitCodeThread(thread, &code);
    EXPECT_EQ(1u, code);
    CloseHandle(thread);
    EXPECT_TRUE(fake.has_line(ended_line(29, 2)));
}

TEST_F(Device_attach_test, AYesAfterTheDeviceLeftPlugsNothingIn)
{
    HWND dialog = ask(record({.id = 25}));
    ASSERT_NE(nullptr, dialog);
    reconcile(reply({}));
    SendMessageW(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
    ASSERT_TRUE(fake.wait_for_line(ended_line(25, 1)));
    EXPECT_TRUE(fake.calls().empty());
}

TEST_F(Device_attach_test, IdsRoundTripAsSignedDecimalAndUnreadableOnesPlugNothingIn)
{
    struct Row
    {
        uint32_t id;
        const wchar_t* text;
    };
    for (Row row : {Row{0x80000000u, L"-2147483648"}, Row{0xFFFFFFFFu, L"-1"}})
    {
        HWND dialog = ask(record({.id = row.id}));
        ASSERT_NE(nullptr, dialog);
        EXPECT_EQ(row.text, control_text(dialog, IDC_DEVICE_ID));
        SendMessageW(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
        ASSERT_TRUE(fake.wait_for_line(ended_line(row.id, 1)));
        EXPECT_EQ(state_of(row.id), S::opened);
        EXPECT_EQ(row.id, port_calls(IOCTL_PORT_PLUG_IN).back());
        reconcile(reply({}));
    }
    const size_t plugged = port_calls(IOCTL_PORT_PLUG_IN).size();
    for (const wchar_t* garbage : {L"", L"12x", L"4294967295", L"-2147483649"})
    {
        HWND dialog = ask(record({.id = 12}));
        ASSERT_NE(nullptr, dialog);
        SetDlgItemTextW(dialog, IDC_DEVICE_ID, garbage);
        SendMessageW(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
        ASSERT_TRUE(fake.wait_for_line(ended_line(12, 1)));
        EXPECT_EQ(plugged, port_calls(IOCTL_PORT_PLUG_IN).size()) << "text " << garbage;
        EXPECT_EQ(state_of(12), S::pending_return);
        reconcile(reply({}));
    }
}

TEST_F(Device_attach_test, WorkstationOrDialogSwitchedOffPlugsInDirectly)
{
    for (bool server : {false, true})
    {
        g_is_server_os = server;
        g_warning_popup_disabled = server;
        uint32_t id = server ? 31 : 30;
        Bytes device = record({.id = id});
        reconcile(reply({device}));
        open_reply(id, 0);
        EXPECT_EQ(Entries({{id, S::opened}}), entries());
        EXPECT_EQ(id, port_calls(IOCTL_PORT_PLUG_IN).back());
        EXPECT_EQ(Bytes(device.begin() + 2, device.end()), fake.calls().back().input);
        reconcile_empty();
        fake.clear_lines();
    }
    EXPECT_EQ(2u, port_calls(IOCTL_PORT_PLUG_IN).size());
    EXPECT_EQ(nullptr, FindWindowW(L"#32770", L"Kelvra USB Redirector"));
}

TEST_F(Device_attach_test, NonzeroStatusFailsTheDeviceAndNothingIsPluggedIn)
{
    reconcile(reply({record({.id = 26})}));
    open_reply(26, 5);
    EXPECT_EQ(state_of(26), S::failed);
    EXPECT_TRUE(fake.has_line(L"Usb_packet_open::process_return() - Status code error returned "
                              L"for plug in device: 26, (5)\n"));
    auto lines = fake.lines();
    EXPECT_EQ(3, lines.back().level);
    reconcile(reply({record({.id = 26})}));
    Sleep(50);
    EXPECT_EQ(nullptr, FindWindowW(L"#32770", L"Kelvra USB Redirector"));
    EXPECT_TRUE(fake.calls().empty());
}

TEST_F(Device_attach_test, AFailedPlugInFailsTheDevice)
{
    g_is_server_os = false;
    fake.port_behaviour = [](const Ioctl_call&) { return Port_outcome::fail; };
    reconcile(reply({record({.id = 27})}));
    open_reply(27, 0);
    EXPECT_EQ(state_of(27), S::failed);
    EXPECT_TRUE(
        fake.has_line(L"Usb_packet_open::process_return() - Start terminal server session failed"));
}

TEST_F(Device_attach_test, ShortOrUnknownOpenRepliesChangeNothing)
{
    g_is_server_os = false;
    reconcile(reply({record({.id = 28})}));
    BYTE short_reply[9] = {5, 0, 0, 0, kv::code_open, 0, 28, 0, 0};
    Usb_packet_open packet(short_reply, false);
    packet.process_return();
    EXPECT_TRUE(fake.has_line(L"open reply too short, dropped - length:5"));
    open_reply(99, 0); // no entry has the id
    EXPECT_EQ(Entries({{28, S::pending_return}}), entries());
    EXPECT_TRUE(fake.calls().empty());
}

} // namespace
