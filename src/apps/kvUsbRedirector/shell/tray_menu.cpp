#include "tray_menu.h"

#include "../channel/server_channel.h"
#include "../debug/usb_debug.h"
#include "../packets/usb_device_list.h"
#include "../resources/resource.h"
#include "app_globals.h"

#include <string>
#include <vector>

namespace
{

std::wstring load_text(UINT id)
{
    const wchar_t* text = nullptr;
    const int length = LoadStringW(g_instance, id, reinterpret_cast<LPWSTR>(&text), 0);
    return length > 0 ? std::wstring(text, static_cast<size_t>(length)) : std::wstring();
}

// The format's %1, %2, %3 filled in with the inserts, which are never read as formats.
std::wstring format_text(UINT format_id, const wchar_t* first, const wchar_t* second = L"",
                         const wchar_t* third = L"")
{
    const std::wstring format = load_text(format_id);
    DWORD_PTR inserts[3] = {reinterpret_cast<DWORD_PTR>(first), reinterpret_cast<DWORD_PTR>(second),
                            reinterpret_cast<DWORD_PTR>(third)};
    wchar_t text[4 * k_device_view_name_chars];
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY, format.c_str(),
                       0, 0, text, ARRAYSIZE(text), reinterpret_cast<va_list*>(inserts));
    return std::wstring(text, length);
}

UINT state_text_id(const Usb_device_view& entry)
{
    switch (entry.state)
    {
    case Usb_device_state::pending:
        return IDS_TRAY_CONNECTING;
    case Usb_device_state::pending_return:
        if (entry.answer == Share_answer::awaited)
            return IDS_TRAY_WAITING;
        return entry.answer == Share_answer::declined ? IDS_TRAY_DECLINED : IDS_TRAY_CONNECTING;
    case Usb_device_state::opened:
        return IDS_TRAY_SHARED;
    case Usb_device_state::failed:
        return entry.blocked ? IDS_TRAY_BLOCKED : IDS_TRAY_FAILED;
    case Usb_device_state::marked: // on its way out
        break;
    }
    return 0;
}

// A menu takes & as the mark of a shortcut letter, so a name's own & is doubled to show as one,
// and a tab as the start of a shortcut column, so the terminal's control characters become
// spaces.
std::wstring menu_escaped(const wchar_t* name)
{
    std::wstring escaped;
    for (; *name; ++name)
        escaped.append(*name == L'&' ? 2 : 1, *name < L' ' ? L' ' : *name);
    return escaped;
}

std::wstring device_line(const Usb_device_view& device, UINT state_id)
{
    const std::wstring shown = device.name.empty() ? L"Unknown" : menu_escaped(device.name.c_str());
    // Signed decimal, as the share dialog shows the id, then the identity numbers as the
    // administrator's rules write them, for the helpdesk.
    const std::wstring id = std::to_wstring(device.id) + L", " + device.numbers;
    return format_text(IDS_TRAY_DEVICE, shown.c_str(), id.c_str(), load_text(state_id).c_str());
}

} // namespace

Owned_menu g_build_device_menu()
{
    std::vector<std::wstring> lines;
    size_t more = 0;
    for (const Usb_device_view& device : g_device_views())
        if (const UINT state_id = state_text_id(device))
        {
            if (lines.size() < k_device_menu_max_devices)
                lines.push_back(device_line(device, state_id));
            else
                ++more;
        }
    Owned_menu menu(CreatePopupMenu());
    if (!menu)
    {
        g_log(3, L"kvUsbRedirector::WndProc (CreatePopupMenu failed - error:%d)", GetLastError());
        return menu;
    }
    UINT_PTR item = 1;
    for (const std::wstring& line : lines)
        AppendMenuW(menu.get(), MF_STRING, item++, line.c_str());
    if (more)
        AppendMenuW(menu.get(), MF_STRING | MF_GRAYED, 0,
                    format_text(IDS_TRAY_MORE, std::to_wstring(more).c_str()).c_str());
    // The window thread alone starts the engine, which opens the channel: its state is stable
    // here.
    const UINT status_id = g_virtual_channel.missing() ? IDS_TRAY_NO_CHANNEL : IDS_TRAY_NO_DEVICES;
    if (lines.empty())
        AppendMenuW(menu.get(), MF_STRING | MF_GRAYED, 0, load_text(status_id).c_str());
    return menu;
}

void g_show_device_menu(HWND hWnd, POINT at)
{
    const Owned_menu menu = g_build_device_menu();
    if (!menu)
        return;
    // Only a foreground owner's menu closes when the user clicks elsewhere; the message posted
    // afterwards lets the next click on the icon open it again at once.
    SetForegroundWindow(hWnd);
    const UINT align = GetSystemMetrics(SM_MENUDROPALIGNMENT) ? TPM_RIGHTALIGN : TPM_LEFTALIGN;
    TrackPopupMenuEx(menu.get(),
                     align | TPM_BOTTOMALIGN | TPM_RIGHTBUTTON | TPM_RETURNCMD | TPM_NONOTIFY, at.x,
                     at.y, hWnd, nullptr);
    PostMessageW(hWnd, WM_NULL, 0, 0);
}
