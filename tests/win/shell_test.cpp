// The entry point and the hidden window under Xvfb against the simulated peers, the one-instance
// claim, and the real program, which finds no virtual channel under Wine.
#include "debug/usb_debug.h"
#include "driver/usb_driver.h"
#include "messages/kvUsbRedirector.h"
#include "support/fixtures.h"
#include "manager/usb_manager.h"
#include "resources/resource.h"
#include "shell/app_globals.h"
#include "shell/device_policy_reader.h"
#include "shell/main_window.h"
#include "shell/single_instance.h"

#include <sddl.h>
#include <thread>
#include <tuple>
#include <wtsapi32.h>

static_assert(KV_MSG_ERROR == k_event_id_error && KV_MSG_WARNING == k_event_id_warning &&
                  KV_MSG_NO_CHANNEL == k_event_id_no_channel,
              "message file and the event ids disagree");

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int);

namespace
{

const wchar_t k_popup_key[] = L"Software\\Orvik\\WinUSB\\DisableWarningPopup";
BYTE g_product_type = VER_NT_WORKSTATION;

class Shell_test : public Engine_fixture
{
  protected:
    void SetUp() override
    {
        Engine_fixture::SetUp();
        g_seams.query_version = [](OSVERSIONINFOEXW* info)
        { return info->wProductType = g_product_type, TRUE; };
        g_seams.single_instance_name = instance_name.c_str();
    }
    void TearDown() override
    {
        if (app.joinable())
            quit();
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, k_popup_key);
        Engine_fixture::TearDown();
    }
    // Runs the entry on its own thread and waits (bounded) for its message loop.
    void launch()
    {
        sim.clear_lines();
        g_notify_icon_data.hWnd = nullptr;
        app = std::thread([this] { exit_code = run_entry(); });
        ASSERT_TRUE(sim.wait_for_line(L"kvUsbRedirector::InitInstance (exit)"));
        ASSERT_NE(nullptr, window = g_notify_icon_data.hWnd);
        SendMessageW(window, WM_NULL, 0, 0);
    }
    static int run_entry()
    {
        wchar_t command_line[] = L"";
        return wWinMain(GetModuleHandleW(nullptr), nullptr, command_line, SW_SHOW);
    }
    void quit(UINT message = WM_COMMAND) // WM_CLOSE: how the negotiation ends it
    {
        PostMessageW(window, message, IDM_EXIT, 0);
        app.join();
        EXPECT_EQ(0, exit_code);
        UnregisterClassW(L"KVUSBREDIRECTOR", GetModuleHandleW(nullptr));
    }
    // The process's own, so that a program left running by another test cannot refuse us.
    std::wstring instance_name =
        L"Local\\kvUsbRedirector.ShellTest." + std::to_wstring(GetCurrentProcessId());
    std::thread app;
    HWND window = nullptr;
    int exit_code = -1;
};

// The edition and the switch are read at the entry; a failed start keeps the process with its
// icon; session changes then start and stop the engine once.
TEST_F(Shell_test, TheProcessStaysWithItsIconAndSessionChangesStartAndStopTheEngineOnce)
{
    sim.end_calls({Sim_call::channel_open, Sim_end::fail_at_once, ERROR_FILE_NOT_FOUND});
    const UINT taskbar_created = RegisterWindowMessageW(L"TaskbarCreated");
    for (auto [product, key, server] : {std::tuple{BYTE{VER_NT_SERVER}, true, true},
                                        std::tuple{BYTE{VER_NT_DOMAIN_CONTROLLER}, false, true},
                                        std::tuple{BYTE{VER_NT_WORKSTATION}, false, false}})
    {
        HKEY created = nullptr; // left empty: only the key counts
        if (key && !RegCreateKeyExW(HKEY_LOCAL_MACHINE, k_popup_key, 0, nullptr, 0, KEY_WRITE,
                                    nullptr, &created, nullptr))
            RegCloseKey(created);
        g_product_type = product;
        launch();
        EXPECT_EQ(key, g_warning_popup_disabled) << product;
        EXPECT_EQ(server, g_is_server_os) << product;
        EXPECT_TRUE(sim.has_line(L"kvUsbRedirector::InitInstance (g_start_threads failed)"));
        EXPECT_FALSE(g_threads_started || IsWindowVisible(window));
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, k_popup_key);
        if (server)
            quit();
    }
    ICONINFO icon{}; // made at the small icon's size, at which the shell draws it
    BITMAP bits{};
    ASSERT_TRUE(GetIconInfo(g_notify_icon_data.hIcon, &icon));
    GetObjectW(icon.hbmColor, sizeof bits, &bits);
    DeleteObject(icon.hbmColor), DeleteObject(icon.hbmMask);
    EXPECT_EQ(GetSystemMetrics(SM_CXSMICON), bits.bmWidth);
    // Explorer restarting forgets the icon, then broadcasts TaskbarCreated: it comes back. A
    // taskbar re-created without losing its icons: the icon stays, nothing is reported.
    ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &g_notify_icon_data));
    for (int i = 0; i < 2; ++i)
    {
        SendMessageW(window, taskbar_created, 0, 0);
        EXPECT_TRUE(Shell_NotifyIconW(NIM_MODIFY, &g_notify_icon_data));
    }
    EXPECT_FALSE(sim.has_line(L"TaskbarCreated - Shell_NotifyIcon failed"));
    sim.end_calls_as_usual();
    quit();
}

TEST_F(Shell_test, OneInstanceASession)
{
    g_settle_event_budget(sim);
    // An empty DACL grants nothing: what an instance under other rights looks like to us.
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
    ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P", 1,
                                                         &attributes.lpSecurityDescriptor, nullptr);
    HANDLE holder = CreateMutexW(&attributes, FALSE, g_seams.single_instance_name);
    LocalFree(attributes.lpSecurityDescriptor);
    Owned_handle running, probe;
    EXPECT_FALSE(g_claim_single_instance(g_seams.single_instance_name, &probe));
    EXPECT_TRUE(sim.has_line(L"already running in this session under other rights"));
    CloseHandle(holder);
    // A second instance leaves before its window, with a warning in the event log, and without
    // taking the claim with it.
    sim.clear_lines();
    ASSERT_TRUE(g_claim_single_instance(g_seams.single_instance_name, &running));
    EXPECT_EQ(0, run_entry());
    EXPECT_TRUE(sim.lines().back().text.ends_with(
        L"already running in this session; this instance exits)"));
    EXPECT_EQ(k_event_id_warning, sim.events().at(0).id);
    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof window_class;
    EXPECT_FALSE(GetClassInfoExW(GetModuleHandleW(nullptr), L"KVUSBREDIRECTOR", &window_class));
    EXPECT_FALSE(g_claim_single_instance(g_seams.single_instance_name, &probe));
    running.reset();
    launch(); // the claim is free again once the running instance is gone
    EXPECT_TRUE(g_threads_started);
    const size_t unregisters = sim.inputs(IOCTL_BUS_UNREGISTER_SESSION).size();
    quit(WM_CLOSE); // the destroy stops the engine once
    EXPECT_EQ(unregisters + 1, sim.inputs(IOCTL_BUS_UNREGISTER_SESSION).size());
    EXPECT_TRUE(g_claim_single_instance(g_seams.single_instance_name, &probe)); // released at exit
    probe.reset();
}

// The real program, with the system's own bindings: Wine has no virtual channel, and the
// program stays with its hidden window until it is told to exit.
TEST(Exe_test, RunsWithoutChannelUntilExit)
{
    PROCESS_INFORMATION process{};
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    wchar_t command[] = L"kvUsbRedirector.exe"; // found beside the tests first
    ASSERT_TRUE(CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &process));
    HWND window = nullptr;
    DWORD owner = 0;
    for (int i = 0; i < 200 && owner != process.dwProcessId; ++i, Sleep(50))
        GetWindowThreadProcessId(window = FindWindowW(L"KVUSBREDIRECTOR", nullptr), &owner);
    EXPECT_EQ(owner, process.dwProcessId);
    EXPECT_FALSE(IsWindowVisible(window));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(process.hProcess, 500));
    PostMessageW(window, WM_COMMAND, IDM_EXIT, 0);
    if (WaitForSingleObject(process.hProcess, 20000) != WAIT_OBJECT_0)
        TerminateProcess(process.hProcess, 99);
    DWORD code = 98;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    EXPECT_EQ(0u, code);
}

} // namespace
