#include "app_globals.h"

HINSTANCE g_instance = nullptr;
WCHAR g_app_title[1000] = {};
WCHAR g_window_class[1000] = {};
NOTIFYICONDATAW g_notify_icon_data = {};
