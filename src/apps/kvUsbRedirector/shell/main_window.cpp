#include "main_window.h"

#include "../channel/server_channel.h"
#include "../debug/usb_debug.h"
#include "../manager/usb_manager.h"
#include "../platform/seams.h"
#include "../resources/resource.h"
#include "app_globals.h"
#include "tray_menu.h"
#include "kv_version.h"
#include "device_policy_reader.h"
#include "stop_request.h"

#include <commctrl.h>
#include <cstddef>
#include <strsafe.h>
#include <wtsapi32.h>

// The record with the balloon fields and guidItem, without hBalloonIcon.
constexpr DWORD k_notify_icon_size = offsetof(NOTIFYICONDATAW, hBalloonIcon);
#ifdef _WIN64
static_assert(k_notify_icon_size == 968, "notification record size");
#endif

namespace
{

// Broadcast by the shell when the taskbar is (re)created, after Explorer restarts; 0 until the
// window exists.
UINT g_taskbar_created_message = 0;
// The tray's icon, made at the small icon's size for the DPI, at which the shell draws it.
Owned_icon g_tray_icon;

unsigned low32(const void* p)
{
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p));
}

void on_session_change(WPARAM code)
{
    g_log(4, L"kvUsbRedirector::WndProc (WM_WTSSESSION_CHANGE)");
    switch (code)
    {
    case WTS_CONSOLE_CONNECT:
        g_log(4, L"kvUsbRedirector::WndProc (WM_WTSSESSION_CHANGE WTS_CONSOLE_CONNECT)");
        break;
    case WTS_CONSOLE_DISCONNECT:
        g_log(4, L"kvUsbRedirector::WndProc (WM_WTSSESSION_CHANGE WTS_CONSOLE_DISCONNECT)");
        break;
    case WTS_REMOTE_CONNECT:
        g_log(4, L"kvUsbRedirector::WndProc (WM_WTSSESSION_CHANGE WTS_REMOTE_CONNECT");
        g_log(4, L"kvUsbRedirector::WndProc (WM_WTSSESSION_CHANGE WTS_REMOTE_CONNECT starting "
                 L"threads)");
        if (!g_start_threads())
            g_log(g_virtual_channel.missing() ? 4 : 3,
                  L"kvUsbRedirector::WndProc (WM_WTSSESSION_CHANGE WTS_REMOTE_CONNECT "
                  L"g_start_threads failed)");
        break;
    case WTS_REMOTE_DISCONNECT:
        g_log(4, L"kvUsbRedirector::WndProc (WM_WTSSESSION_CHANGE WTS_REMOTE_DISCONNECT)");
        g_stop_threads();
        g_log(4, L"kvUsbRedirector::WndProc (WM_WTSSESSION_CHANGE WTS_REMOTE_DISCONNECT threads "
                 L"stopped)");
        break;
    case WTS_SESSION_LOGON:
        g_log(4, L"kvUsbRedirector::WndProc (WM_WTSSESSION_CHANGE WTS_SESSION_LOGON)");
        break;
    case WTS_SESSION_LOGOFF:
        g_log(4, L"kvUsbRedirector::WndProc (WM_WTSSESSION_CHANGE WTS_SESSION_LOGOFF)");
        break;
    case WTS_SESSION_LOCK:
        g_log(4, L"kvUsbRedirector::WndProc (WM_WTSSESSION_CHANGE WTS_SESSION_LOCK)");
        break;
    case WTS_SESSION_UNLOCK:
        g_log(4, L"kvUsbRedirector::WndProc (WM_WTSSESSION_CHANGE WTS_SESSION_UNLOCK)");
        break;
    case WTS_SESSION_REMOTE_CONTROL:
        g_log(4, L"kvUsbRedirector::WndProc (WM_WTSSESSION_CHANGE WTS_SESSION_REMOTE_CONTROL)");
        break;
    default:
        break;
    }
}

// Explorer forgets every tray icon when it restarts; the icon is added again as at start. A
// taskbar re-created without losing its icons refuses the add: the icon is then refreshed.
void on_taskbar_created()
{
    if (Shell_NotifyIconW(NIM_ADD, &g_notify_icon_data))
        g_log(4, L"kvUsbRedirector::WndProc (TaskbarCreated - icon added again)");
    else if (Shell_NotifyIconW(NIM_MODIFY, &g_notify_icon_data))
        g_log(4, L"kvUsbRedirector::WndProc (TaskbarCreated - icon still there, refreshed)");
    else
        g_log(3, L"kvUsbRedirector::WndProc (TaskbarCreated - Shell_NotifyIcon failed - error:%d)",
              GetLastError());
}

// The icon's events in the form of the shell's first interface version, the one it keeps unless
// asked otherwise: the mouse message alone, the keyboard's menu key coming as a right click.
void on_icon_event(HWND hWnd, LPARAM event)
{
    if (LOWORD(event) != WM_RBUTTONUP && LOWORD(event) != WM_CONTEXTMENU)
        return;
    POINT at{};
    GetCursorPos(&at);
    g_show_device_menu(hWnd, at);
}

void on_destroy()
{
    g_log(4, L"kvUsbRedirector::WndProc (WM_DESTROY)");
    if (!WTSUnRegisterSessionNotification(g_notify_icon_data.hWnd))
        g_log(3, L"kvUsbRedirector::WndProc (WTSUnRegisterSessionNotification failed - error:%d",
              GetLastError());
    if (g_notify_icon_data.hWnd && g_notify_icon_data.uID != 0 &&
        !Shell_NotifyIconW(NIM_DELETE, &g_notify_icon_data))
        g_log(3, L"kvUsbRedirector::WndProc (Shell_NotifyIcon failed - error:%d", GetLastError());
    g_stop_watching_device_policy();
    g_stop_watching_stop_request();
    g_stop_threads();
    g_log(4, L"kvUsbRedirector::WndProc (WM_DESTROY stopped threads)");
    if (g_trace_enabled && !g_unregister_trace_guid())
        g_log(3, L"kvUsbRedirector::WndProc (g_unregister_trace_guid failed)");
    PostQuitMessage(0);
}

// wParam FALSE: the end of the session was cancelled, nothing ends. An installer that must
// replace the exe asks running instances to close (the restart manager's close-app request): the
// instance stops the engine and exits. At a logoff or a shutdown Windows may end the process as
// soon as this returns, so the engine is stopped before: devices unplugged, session unregistered.
void on_end_session(HWND hWnd, WPARAM ending, LPARAM how)
{
    if (!ending)
        return;
    if (how & ENDSESSION_CLOSEAPP)
    {
        g_log(4, L"kvUsbRedirector::WndProc (WM_ENDSESSION ENDSESSION_CLOSEAPP)");
        DestroyWindow(hWnd);
        return;
    }
    g_log(4, L"kvUsbRedirector::WndProc (WM_ENDSESSION %s)",
          (how & ENDSESSION_LOGOFF) ? L"ENDSESSION_LOGOFF" : L"shutdown");
    g_stop_threads();
}

} // namespace

ATOM MyRegisterClass(HINSTANCE hInstance)
{
    g_log(4, L"kvUsbRedirector::MyRegisterClass (enter - hInstance:%d)", low32(hInstance));
    WNDCLASSEXW wcex{};
    wcex.cbSize = sizeof(WNDCLASSEXW);
    wcex.style = CS_HREDRAW | CS_VREDRAW;
    wcex.lpfnWndProc = WndProc;
    wcex.cbClsExtra = 0;
    wcex.cbWndExtra = 0;
    wcex.hInstance = hInstance;
    wcex.hIcon = LoadIconW(hInstance, MAKEINTRESOURCEW(IDI_KVUSBREDIRECTOR));
    wcex.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512)); // IDC_ARROW
    wcex.hbrBackground = GetSysColorBrush(COLOR_WINDOW);
    wcex.lpszMenuName = MAKEINTRESOURCEW(IDC_KVUSBREDIRECTOR);
    wcex.lpszClassName = g_window_class;
    wcex.hIconSm = LoadIconW(hInstance, MAKEINTRESOURCEW(IDI_KVUSBREDIRECTOR));
    g_log(4, L"kvUsbRedirector::MyRegisterClass (exit)");
    return RegisterClassExW(&wcex);
}

BOOL InitInstance(HINSTANCE hInstance, int nCmdShow)
{
    g_log(4, L"kvUsbRedirector::InitInstance (enter - hInstance:%d, nCmdShow:%d", low32(hInstance),
          nCmdShow);
    g_instance = hInstance;
    HWND hWnd = CreateWindowExW(0, g_window_class, g_app_title, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                0, CW_USEDEFAULT, 0, nullptr, nullptr, hInstance, nullptr);
    if (!hWnd)
    {
        g_log(2, L"kvUsbRedirector::InitInstance (CreateWindow failed - error:%d)", GetLastError());
        return FALSE;
    }
    if (!WTSRegisterSessionNotification(hWnd, NOTIFY_FOR_THIS_SESSION))
        g_log(3,
              L"kvUsbRedirector::InitInstance (WTSRegisterSessionNotification failed - "
              L"error:%d)",
              GetLastError());
    g_taskbar_created_message = RegisterWindowMessageW(L"TaskbarCreated");
    g_watch_device_policy(hWnd);
    g_watch_stop_request(hWnd);
    ShowWindow(hWnd, SW_HIDE);
    if (!UpdateWindow(hWnd))
        g_log(3, L"kvUsbRedirector::InitInstance (UpdateWindow failed)");

    g_notify_icon_data = NOTIFYICONDATAW{};
    g_notify_icon_data.cbSize = k_notify_icon_size;
    g_notify_icon_data.hWnd = hWnd;
    g_notify_icon_data.uID = 1;
    g_notify_icon_data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    g_notify_icon_data.uCallbackMessage = k_notify_icon_callback;
    HICON icon = nullptr;
    if (FAILED(LoadIconMetric(g_instance, MAKEINTRESOURCEW(IDI_KVUSBREDIRECTOR), LIM_SMALL, &icon)))
        g_log(3, L"kvUsbRedirector::InitInstance (LoadIconMetric failed)");
    g_tray_icon.reset(icon);
    g_notify_icon_data.hIcon =
        icon ? icon : LoadIconW(g_instance, MAKEINTRESOURCEW(IDI_KVUSBREDIRECTOR));
    StringCchCopyW(g_notify_icon_data.szTip, ARRAYSIZE(g_notify_icon_data.szTip), KV_TRAY_TIP);

    g_log(4, L"kvUsbRedirector::InitInstance (Starting threads)");
    if (!g_start_threads())
        g_log(g_virtual_channel.missing() ? 4 : 3,
              L"kvUsbRedirector::InitInstance (g_start_threads failed)");
    if (!Shell_NotifyIconW(NIM_ADD, &g_notify_icon_data))
        g_log(3, L"kvUsbRedirector::InitInstance (Shell_NotifyIcon failed - error:%d)",
              GetLastError());
    // Closed by an installer that replaces the exe, the instance is started again afterwards
    // (not after a crash, a hang or a reboot: the Run key starts it at the next logon).
    const HRESULT registered =
        g_seams.register_restart(L"", RESTART_NO_CRASH | RESTART_NO_HANG | RESTART_NO_REBOOT);
    if (FAILED(registered))
        g_log(3, L"kvUsbRedirector::InitInstance (RegisterApplicationRestart failed - error:%x)",
              static_cast<unsigned>(registered));
    g_log(4, L"kvUsbRedirector::InitInstance (exit)");
    return TRUE;
}

LRESULT CALLBACK WndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message)
    {
    case WM_COMMAND:
        if (LOWORD(wParam) == IDM_EXIT)
        {
            g_log(4, L"kvUsbRedirector::WndProc (WM_COMMAND IDM_EXIT)");
            DestroyWindow(hWnd);
            return 0;
        }
        return DefWindowProcW(hWnd, message, wParam, lParam);
    case WM_PAINT:
    {
        PAINTSTRUCT ps;
        BeginPaint(hWnd, &ps);
        EndPaint(hWnd, &ps);
        return 0;
    }
    case WM_DESTROY:
        on_destroy();
        return 0;
    case WM_QUERYENDSESSION:
        return TRUE;
    case WM_ENDSESSION:
        on_end_session(hWnd, wParam, lParam);
        return 0;
    case k_stop_request_message:
        if (g_stop_requested())
        {
            g_log(4, L"kvUsbRedirector::WndProc (StopInstances changed: exiting)");
            DestroyWindow(hWnd);
        }
        return 0;
    case k_notify_icon_callback:
        on_icon_event(hWnd, lParam);
        return 0;
    case k_policy_changed_message:
        g_on_device_policy_changed();
        return 0;
    case WM_WTSSESSION_CHANGE:
        on_session_change(wParam);
        return DefWindowProcW(hWnd, message, wParam, lParam);
    default:
        if (message == g_taskbar_created_message && message != 0)
        {
            on_taskbar_created();
            return 0;
        }
        return DefWindowProcW(hWnd, message, wParam, lParam);
    }
}

void g_request_close()
{
    if (!PostMessageW(g_notify_icon_data.hWnd, WM_CLOSE, 0, 0))
        g_log(2, L"Usb_manager::g_end_application() - PostMessage failed - error:%d",
              GetLastError());
}
