// The entry point and the hidden window, run for real under Xvfb against the fake peers.
#include "channel/server_channel.h"
#include "debug/usb_debug.h"
#include "support/engine_fixture.h"
#include "manager/usb_manager.h"
#include "resources/resource.h"
#include "shell/app_globals.h"
#include "shell/main_window.h"
#include "shell/single_instance.h"

#include <thread>
#include <wtsapi32.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int);

namespace
{

const wchar_t k_popup_key[] = L"Software\\Orvik\\WinUSB\\DisableWarningPopup";
BYTE g_product_type = VER_NT_WORKSTATION;

BOOL fake_version(OSVERSIONINFOEXW* info)
{
    info->wProductType = g_product_type;
    return TRUE;
}

class Shell_test : public Engine_fixture
{
  protected:
    void SetUp() override
    {
        Engine_fixture::SetUp();
        g_product_type = VER_NT_WORKSTATION;
        g_set_version_query(fake_version);
        g_single_instance_name = instance_name.c_str();
    }
    void TearDown() override
    {
        if (app.joinable())
        {
            post(WM_COMMAND, IDM_EXIT);
            app.join();
        }
        UnregisterClassW(L"KVUSBREDIRECTOR", GetModuleHandleW(nullptr));
        g_set_version_query(nullptr);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, k_popup_key);
        g_single_instance_name = k_single_instance_name;
        Engine_fixture::TearDown();
    }
    // Runs the entry on its own thread and waits (bounded) for its window.
    void launch()
    {
        fake.clear_lines();
        g_notify_icon_data.hWnd = nullptr;
        app = std::thread(
            [this]
            {
                wchar_t command_line[] = L"";
                exit_code = wWinMain(GetModuleHandleW(nullptr), nullptr, command_line, SW_SHOW);
            });
        ASSERT_TRUE(fake.wait_for_line(L"kvUsbRedirector::InitInstance (exit)"));
        window = g_notify_icon_data.hWnd;
        ASSERT_NE(nullptr, window);
    }
    // Sends on the window's thread and waits until it is handled.
    void post(UINT message, WPARAM wParam)
    {
        SendMessageW(window, message, wParam, 0);
    }
    void finish()
    {
        app.join();
    }
    // The process's own, so that a program left running by another test cannot refuse us.
    std::wstring instance_name =
        L"Local\\kvUsbRedirector.ShellTest." + std::to_wstring(GetCurrentProcessId());
    std::thread app;
    HWND window = nullptr;
    int exit_code = -1;
};

TEST_F(Shell_test, StartFailureKeepsTheProcessAliveUntilExit)
{
    fake.channel_fails = true;
    launch();
    EXPECT_TRUE(fake.has_line(L"kvUsbRedirector::InitInstance (g_start_threads failed)"));
    EXPECT_FALSE(g_threads_started);
    EXPECT_TRUE(IsWindow(window));
    EXPECT_FALSE(IsWindowVisible(window));
    EXPECT_EQ(968u, g_notify_icon_data.cbSize);
    EXPECT_EQ(std::wstring(L"Kelvra USB Redirector 2.0"), g_notify_icon_data.szTip);
    EXPECT_TRUE(fake.has_line(L"kvUsbRedirector::_tWinMain (LoadAccelerators failed - error:"));
    // Explorer restarting forgets the icon, then broadcasts TaskbarCreated: it comes back.
    ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &g_notify_icon_data));
    post(RegisterWindowMessageW(L"TaskbarCreated"), 0);
    EXPECT_TRUE(fake.has_line(L"kvUsbRedirector::WndProc (TaskbarCreated - icon added again)"));
    EXPECT_TRUE(Shell_NotifyIconW(NIM_MODIFY, &g_notify_icon_data));
    post(WM_COMMAND, 106); // another command does nothing
    EXPECT_TRUE(IsWindow(window));
    post(WM_COMMAND, IDM_EXIT);
    finish();
    EXPECT_EQ(0, exit_code);
    EXPECT_TRUE(fake.has_line(L"kvUsbRedirector::WndProc (WM_COMMAND IDM_EXIT)"));
    EXPECT_TRUE(fake.has_line(L"kvUsbRedirector::_tWinMain (exit - wParam:0)"));
    EXPECT_FALSE(fake.has_line(L"Usb_manager::g_stop_threads() - success"));
}

TEST_F(Shell_test, SessionChangesStartAndStopTheEngineOnce)
{
    add_drivers();
    launch();
    ASSERT_TRUE(g_threads_started);
    fake.clear_lines();
    post(WM_WTSSESSION_CHANGE, WTS_REMOTE_CONNECT); // already running: two lines only
    auto lines = fake.lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(L"kvUsbRedirector::WndProc (WM_WTSSESSION_CHANGE)", lines[0].text);
    EXPECT_EQ(L"kvUsbRedirector::WndProc (WM_WTSSESSION_CHANGE WTS_REMOTE_CONNECT", lines[1].text);

    post(WM_WTSSESSION_CHANGE, WTS_REMOTE_DISCONNECT);
    EXPECT_FALSE(g_threads_started);
    EXPECT_EQ(1u, fake.count_lines(L"Usb_manager::g_stop_threads() - success"));
    fake.clear_lines();
    post(WM_WTSSESSION_CHANGE, WTS_REMOTE_DISCONNECT); // already stopped: two lines only
    EXPECT_EQ(2u, fake.lines().size());

    post(WM_WTSSESSION_CHANGE, WTS_REMOTE_CONNECT);
    EXPECT_TRUE(g_threads_started);
    EXPECT_EQ(1u, fake.count_lines(L"Usb_manager::initialize() - success."));
    post(WM_WTSSESSION_CHANGE, WTS_SESSION_LOCK);
    EXPECT_TRUE(fake.has_line(L"kvUsbRedirector::WndProc (WM_WTSSESSION_CHANGE WTS_SESSION_LOCK)"));
    EXPECT_TRUE(g_threads_started);

    post(WM_WTSSESSION_CHANGE, WTS_REMOTE_DISCONNECT);
    fake.clear_lines();
    post(WM_COMMAND, IDM_EXIT); // destroy after a disconnect stops nothing twice
    finish();
    EXPECT_EQ(0, exit_code);
    EXPECT_FALSE(fake.has_line(L"Usb_manager::g_stop_threads()"));
    EXPECT_TRUE(fake.has_line(L"kvUsbRedirector::WndProc (WM_DESTROY stopped threads)"));
}

TEST_F(Shell_test, DestroyWhileRunningStopsTheEngine)
{
    add_drivers();
    launch();
    ASSERT_TRUE(g_threads_started);
    PostMessageW(window, WM_CLOSE, 0, 0); // what the negotiation posts to end the application
    finish();
    EXPECT_EQ(0, exit_code);
    EXPECT_FALSE(g_threads_started);
    EXPECT_EQ(1u, fake.count_lines(L"Usb_manager::g_stop_threads() - success"));
}

TEST_F(Shell_test, ASecondEntryInTheSessionLeavesBeforeTheWindow)
{
    add_drivers();
    HANDLE running = INVALID_HANDLE_VALUE;
    ASSERT_TRUE(g_claim_single_instance(g_single_instance_name, &running));
    wchar_t command_line[] = L"";
    EXPECT_EQ(0, wWinMain(GetModuleHandleW(nullptr), nullptr, command_line, SW_SHOW));
    EXPECT_TRUE(fake.has_line(L"kvUsbRedirector is already running in this session; this "
                              L"instance exits"));
    EXPECT_FALSE(fake.has_line(L"kvUsbRedirector::MyRegisterClass"));
    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof window_class;
    EXPECT_FALSE(GetClassInfoExW(GetModuleHandleW(nullptr), L"KVUSBREDIRECTOR", &window_class));
    EXPECT_FALSE(g_threads_started);
    EXPECT_EQ(0, fake.channel_opens);
    EXPECT_TRUE(fake.opened_paths.empty());

    // The instance that leaves must not take the claim with it.
    HANDLE probe = INVALID_HANDLE_VALUE;
    EXPECT_FALSE(g_claim_single_instance(g_single_instance_name, &probe));
    g_release_single_instance(&running);
    launch(); // the claim is free again once the running instance is gone
    EXPECT_TRUE(g_threads_started);
    post(WM_COMMAND, IDM_EXIT);
    finish();
    EXPECT_EQ(0, exit_code);
    EXPECT_TRUE(g_claim_single_instance(g_single_instance_name, &probe)); // released at exit
    g_release_single_instance(&probe);
}

TEST_F(Shell_test, RegistrySwitchAndProductTypeAreRecorded)
{
    fake.channel_fails = true;
    launch();
    EXPECT_FALSE(g_warning_popup_disabled);
    EXPECT_FALSE(g_is_server_os);
    post(WM_COMMAND, IDM_EXIT);
    finish();
    UnregisterClassW(L"KVUSBREDIRECTOR", GetModuleHandleW(nullptr));

    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, k_popup_key, 0, nullptr, 0,
                                             KEY_WRITE, nullptr, &key, nullptr));
    DWORD anything = 0;
    RegSetValueExW(key, L"Enabled", 0, REG_DWORD, reinterpret_cast<BYTE*>(&anything), 4);
    RegCloseKey(key);
    g_product_type = VER_NT_SERVER;
    launch();
    EXPECT_TRUE(g_warning_popup_disabled);
    EXPECT_TRUE(g_is_server_os);
    post(WM_COMMAND, IDM_EXIT);
    finish();
    UnregisterClassW(L"KVUSBREDIRECTOR", GetModuleHandleW(nullptr));

    g_product_type = VER_NT_DOMAIN_CONTROLLER;
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, k_popup_key);
    launch();
    EXPECT_TRUE(g_is_server_os);
    EXPECT_FALSE(g_warning_popup_disabled);
}

TEST_F(Shell_test, ResourcesOfTheWindow)
{
    HINSTANCE self = GetModuleHandleW(nullptr);
    wchar_t text[64];
    ASSERT_GT(LoadStringW(self, IDS_APP_TITLE, text, 64), 0);
    EXPECT_EQ(std::wstring(L"kvUsbRedirector"), text);
    ASSERT_GT(LoadStringW(self, IDC_KVUSBREDIRECTOR, text, 64), 0);
    EXPECT_EQ(std::wstring(L"KVUSBREDIRECTOR"), text);
    HMENU menu = LoadMenuW(self, MAKEINTRESOURCEW(IDC_KVUSBREDIRECTOR));
    ASSERT_NE(nullptr, menu);
    GetMenuStringW(menu, 0, text, 64, MF_BYPOSITION);
    EXPECT_EQ(std::wstring(L"&File"), text);
    GetMenuStringW(GetSubMenu(menu, 0), IDM_EXIT, text, 64, MF_BYCOMMAND);
    EXPECT_EQ(std::wstring(L"E&xit"), text);
    DestroyMenu(menu);
    HICON icon = static_cast<HICON>(
        LoadImageW(self, MAKEINTRESOURCEW(IDI_KVUSBREDIRECTOR), IMAGE_ICON, 32, 32, 0));
    ASSERT_NE(nullptr, icon);
    ICONINFO info{};
    ASSERT_TRUE(GetIconInfo(icon, &info));
    BITMAP bitmap{};
    GetObjectW(info.hbmColor, sizeof bitmap, &bitmap);
    EXPECT_EQ(32, bitmap.bmWidth);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    DestroyIcon(icon);
    EXPECT_EQ(nullptr, LoadAcceleratorsW(self, MAKEINTRESOURCEW(IDC_KVUSBREDIRECTOR)));
}

} // namespace
