#include "app_globals.h"

HINSTANCE g_instance = nullptr;
WCHAR g_app_title[1000] = {};
WCHAR g_window_class[1000] = {};
NOTIFYICONDATAW g_notify_icon_data = {};
bool g_is_server_os = false;
bool g_warning_popup_disabled = false;
