#include "sim_user.h"

#include "resources/resource.h"

HWND g_wait_for_share_dialog(DWORD timeout_ms)
{
    for (ULONGLONG deadline = GetTickCount64() + timeout_ms; GetTickCount64() < deadline; Sleep(5))
    {
        HWND dialog = FindWindowW(L"#32770", L"Kelvra USB Redirector");
        GUITHREADINFO info{};
        info.cbSize = sizeof info;
        if (dialog && IsWindowVisible(dialog) &&
            GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info) &&
            info.hwndFocus == GetDlgItem(dialog, IDCANCEL))
            return dialog;
    }
    return nullptr;
}

bool g_wait_until_gone(HWND window, DWORD timeout_ms)
{
    for (ULONGLONG deadline = GetTickCount64() + timeout_ms; IsWindow(window); Sleep(5))
        if (GetTickCount64() >= deadline)
            return false;
    return true;
}

Lines g_menu_lines(HMENU menu)
{
    Lines lines;
    for (int i = 0; i < GetMenuItemCount(menu); ++i)
    {
        wchar_t text[512];
        const int length = GetMenuStringW(menu, i, text, 512, MF_BYPOSITION);
        const bool grayed = GetMenuState(menu, i, MF_BYPOSITION) & MF_GRAYED;
        lines.push_back((grayed ? L"~" : L"") + std::wstring(text, length > 0 ? length : 0));
    }
    return lines;
}

HWND g_wait_for_popup_menu(DWORD timeout_ms)
{
    for (ULONGLONG deadline = GetTickCount64() + timeout_ms; GetTickCount64() < deadline; Sleep(5))
        if (HWND menu = FindWindowW(L"#32768", nullptr); menu && IsWindowVisible(menu))
            return menu;
    return nullptr;
}
