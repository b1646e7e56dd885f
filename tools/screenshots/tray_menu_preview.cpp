// Shows the tray's device menu over a device list in every state, for a screenshot, then ends
// it. Usage: kv_tray_menu_preview <milliseconds shown>
#include "preview_record.h"
#include "shell/app_globals.h"
#include "shell/tray_menu.h"

#include <cwchar>

namespace
{

void add(uint32_t device_id, const char* name, Usb_device_state state, Share_answer answer,
         bool blocked = false)
{
    const Device_list_change change; // the tray reads the views it publishes
    g_device_list.push_back({state, g_preview_record(device_id, name), 1, answer, blocked});
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const UINT shown_ms = argc > 1 ? wcstoul(argv[1], nullptr, 10) : 4000;
    g_instance = GetModuleHandleW(nullptr);
    add(3, "SanDisk Ultra USB 3.0", Usb_device_state::opened, Share_answer::awaited);
    add(7, "Gemalto Smart Card Reader", Usb_device_state::opened, Share_answer::not_asked);
    add(12, "Logitech Webcam C920", Usb_device_state::pending_return, Share_answer::declined);
    add(15, "Zebra ZD420 Label Printer", Usb_device_state::pending_return, Share_answer::awaited);
    add(21, "Prolific USB-Serial Controller", Usb_device_state::failed, Share_answer::not_asked);
    add(26, "Kingston DataTraveler Mass Storage", Usb_device_state::failed, Share_answer::not_asked,
        true);
    HWND window = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                  g_instance, nullptr);
    SetTimer(window, 1, shown_ms, [](HWND, UINT, UINT_PTR, DWORD) { EndMenu(); });
    g_show_device_menu(window, POINT{40, 300});
    DestroyWindow(window);
    return 0;
}
