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
#include <wtsapi32.h>

static_assert(KV_MSG_ERROR == k_event_id_error && KV_MSG_WARNING == k_event_id_warning &&
                  KV_MSG_NO_CHANNEL == k_event_id_no_channel,
              "message file and the event ids disagree");

namespace
{

using Shell_test = Entry_fixture;

// A domain controller is a server edition; a failed start keeps the process with its icon.
TEST_F(Shell_test, TheProcessStaysWithItsIconWhenItsStartFails)
{
    sim.end_calls({Sim_call::channel_open, Sim_end::fail_at_once, ERROR_FILE_NOT_FOUND});
    const UINT taskbar_created = RegisterWindowMessageW(L"TaskbarCreated");
    product_type = VER_NT_DOMAIN_CONTROLLER;
    launch();
    EXPECT_TRUE(g_is_server_os && !g_warning_popup_disabled);
    EXPECT_FALSE(g_threads_started || IsWindowVisible(window));
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

} // namespace
