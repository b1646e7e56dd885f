// Shows the tray's device menu over a device list in every state, for a screenshot, then ends
// it. Usage: kv_tray_menu_preview <milliseconds shown>
#include "packets/usb_device_list.h"
#include "portable/frame.h"
#include "shell/app_globals.h"
#include "shell/tray_menu.h"

#include <cstdlib>
#include <cstring>

namespace
{

// A record as the terminal sends it, with its name and identity string.
Usb_device_record* make_record(uint32_t device_id, const char* name)
{
    const size_t name_size = std::strlen(name) + 1, size = 25 + name_size + 5;
    auto* bytes = static_cast<BYTE*>(std::calloc(1, size));
    bytes[0] = static_cast<BYTE>(size);
    kv::store_u32(bytes + 2, device_id);
    bytes[19] = 25;
    bytes[21] = static_cast<BYTE>(25 + name_size);
    std::memcpy(bytes + 25, name, name_size);
    std::memcpy(bytes + 25 + name_size, "0001", 5);
    return reinterpret_cast<Usb_device_record*>(bytes);
}

void add(uint32_t device_id, const char* name, Usb_device_state state, Share_answer answer)
{
    g_device_list.push_back(
        {state, Owned_block<Usb_device_record>(make_record(device_id, name)), 1, answer});
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
    HWND window = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                  g_instance, nullptr);
    SetTimer(window, 1, shown_ms, [](HWND, UINT, UINT_PTR, DWORD) { EndMenu(); });
    g_show_device_menu(window, POINT{40, 300});
    DestroyWindow(window);
    return 0;
}
