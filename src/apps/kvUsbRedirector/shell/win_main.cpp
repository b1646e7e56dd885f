// Process entry: log sinks, the one-instance claim, the two facts the share dialog needs, the
// hidden window and the message loop.
#include "../debug/usb_debug.h"
#include "../packets/usb_packet_negotiate.h"
#include "../packets/usb_packet_open.h"
#include "../platform/owned.h"
#include "../platform/seams.h"
#include "../resources/resource.h"
#include "app_globals.h"
#include "main_window.h"
#include "single_instance.h"
#include "warning_popup.h"
#include "../packets/usb_device_list.h"

#include <tchar.h>
// strsafe.h must follow tchar.h
#include <strsafe.h>

namespace
{

int run_instance(HINSTANCE hInstance, int nCmdShow)
{
    OSVERSIONINFOEXW version{};
    version.dwOSVersionInfoSize = sizeof version;
    if (!g_seams.query_version(&version))
    {
        g_log(2, L"kvUsbRedirector::_tWinMain (GetVersionEx failed - error:%d)", GetLastError());
        return 0;
    }
    g_is_server_os = version.wProductType != VER_NT_WORKSTATION;
    g_warning_popup_disabled = false;

    WCHAR key_path[4096];
    if (FAILED(StringCchPrintfW(key_path, ARRAYSIZE(key_path), L"%s\\%s\\DisableWarningPopup",
                                L"Software\\Orvik", L"WinUSB")))
        g_log(3, L"kvUsbRedirector::_tWinMain (StringCchPrintf failed)");
    else
    {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_path, 0, KEY_READ, &key) == ERROR_SUCCESS)
        {
            const Owned_key opened(key);
            g_warning_popup_disabled = true;
        }
    }

    if (LoadStringW(hInstance, IDS_APP_TITLE, g_app_title, ARRAYSIZE(g_app_title)) == 0)
    {
        g_log(2, L"kvUsbRedirector::_tWinMain (LoadString IDS_APP_TITLE failed - error:%d)",
              GetLastError());
        return 0;
    }
    if (LoadStringW(hInstance, IDC_KVUSBREDIRECTOR, g_window_class, ARRAYSIZE(g_window_class)) == 0)
    {
        g_log(2, L"kvUsbRedirector::_tWinMain (LoadString IDC_KVUSBREDIRECTOR failed - error:%d)",
              GetLastError());
        return 0;
    }
    // What the engine asks of the application: the share question, and its end.
    g_share_asker = g_ask_to_share;
    g_end_application = g_request_close;
    g_keep_device_list_off_this_thread(); // the window's thread: it never waits for a driver
    if (!MyRegisterClass(hInstance))
    {
        g_log(2, L"kvUsbRedirector::_tWinMain (MyRegisterClass failed - error:%d)", GetLastError());
        return 0;
    }
    if (!InitInstance(hInstance, nCmdShow))
    {
        g_log(2, L"kvUsbRedirector::_tWinMain (InitInstance failed)");
        return 0;
    }
    HACCEL accelerators = LoadAcceleratorsW(hInstance, MAKEINTRESOURCEW(IDC_KVUSBREDIRECTOR));
    if (!accelerators)
        g_log(4, L"kvUsbRedirector::_tWinMain (LoadAccelerators failed - error:%d)",
              GetLastError());
    MSG msg{};
    while (GetMessageW(&msg, nullptr, 0, 0))
    {
        if (!accelerators || !TranslateAcceleratorW(msg.hwnd, accelerators, &msg))
        {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    g_keep_device_list_off_this_thread(false);
    g_log(4, L"kvUsbRedirector::_tWinMain (exit - wParam:%d)", static_cast<int>(msg.wParam));
    return static_cast<int>(msg.wParam);
}

} // namespace

int APIENTRY _tWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPTSTR lpCmdLine, int nCmdShow)
{
    g_log(4,
          L"kvUsbRedirector::_tWinMain (enter - hInstance:%d, hPrevInstance:%d, lpCmdLine:%s, "
          L"nCmdShow:%d",
          static_cast<unsigned>(reinterpret_cast<uintptr_t>(hInstance)),
          static_cast<unsigned>(reinterpret_cast<uintptr_t>(hPrevInstance)), lpCmdLine, nCmdShow);
    if (!g_register_trace_guid())
    {
        g_log(3, L"kvUsbRedirector::_tWinMain (trace initialization failed. disabling tracing.)");
        g_trace_enabled = 0;
    }
    if (!g_register_event_source())
        g_log(3, L"kvUsbRedirector::_tWinMain (event initialization failed. disabling event "
                 L"logging.)");

    // Claimed after the sinks so that the reason for leaving reaches the event log, and before
    // anything a second instance must not repeat: the window, the tray icon, the engine.
    Owned_handle instance_mutex;
    const int exit_code = g_claim_single_instance(g_seams.single_instance_name, &instance_mutex)
                              ? run_instance(hInstance, nCmdShow)
                              : 0;
    instance_mutex.reset();
    // Both registrations end on every path, while the binding they were made through exists.
    g_unregister_trace_guid();
    g_deregister_event_source();
    return exit_code;
}
