// The user at the session's desktop: finds the share dialog and the tray's menus and reads them.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Polls (bounded) until the share dialog is shown with the focus settled; nullptr on time-out.
HWND g_wait_for_share_dialog(DWORD timeout_ms = 10000);
bool g_wait_until_gone(HWND window, DWORD timeout_ms = 10000);
// Polls (bounded) until a popup menu shows; nullptr on time-out.
HWND g_wait_for_popup_menu(DWORD timeout_ms = 10000);

// The menu's lines, a grayed one marked with a leading "~".
using Lines = std::vector<std::wstring>;
Lines g_menu_lines(HMENU menu);
