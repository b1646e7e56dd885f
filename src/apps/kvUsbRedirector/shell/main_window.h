// The hidden window: its class, its creation with the tray icon, and its procedure.
#pragma once

#include <windows.h>

ATOM MyRegisterClass(HINSTANCE hInstance);
BOOL InitInstance(HINSTANCE hInstance, int nCmdShow);
LRESULT CALLBACK WndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
// Posts the hidden window a close request, whose default handling destroys it on its own
// thread. Returns at once: the window's teardown stops the engine, which waits for the very
// worker thread that may be asking. The engine's way to end the application.
void g_request_close();

constexpr UINT k_notify_icon_callback = WM_USER + 1;
