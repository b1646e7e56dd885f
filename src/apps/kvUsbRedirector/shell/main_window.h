// The hidden window: its class, its creation with the tray icon, and its procedure.
#pragma once

#include <windows.h>

ATOM MyRegisterClass(HINSTANCE hInstance);
BOOL InitInstance(HINSTANCE hInstance, int nCmdShow);
LRESULT CALLBACK WndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);

// The Windows version query; replaceable so tests can present a server edition.
using Version_query = BOOL (*)(OSVERSIONINFOEXW* info);
void g_set_version_query(Version_query query);
BOOL g_query_version(OSVERSIONINFOEXW* info);

constexpr UINT k_notify_icon_callback = WM_USER + 1;
