// State the application shell owns and the engine reads.
#pragma once

#include "../packets/device_policy.h"

#include <windows.h>
#include <shellapi.h>

extern HINSTANCE g_instance;
extern WCHAR g_app_title[1000];
extern WCHAR g_window_class[1000];
// Holds the hidden window's handle (hWnd), the only place it is kept.
extern NOTIFYICONDATAW g_notify_icon_data;
