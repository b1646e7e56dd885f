// The installer's request that every instance, in every session, stop and exit: a change of the
// StopInstances value of the product's key (machine-wide; users may read it). A process in a
// user's session cannot be reached by the Restart Manager of an installer running as
// LocalSystem, and cannot create a global named object without SeCreateGlobalPrivilege, so the
// request travels through the registry.
#pragma once

#include <windows.h>

constexpr wchar_t k_product_key[] = L"Software\\Kelvra\\kvUsbRedirector";
constexpr wchar_t k_stop_instances_value[] = L"StopInstances";
constexpr UINT k_stop_request_message = WM_APP + 2;

// Notes the value as it stands (absent reads 0) and from now on posts k_stop_request_message to
// the window at each change of the key. Without the key (no package) nothing is watched.
void g_watch_stop_request(HWND window);
// On k_stop_request_message: arms the watch again, then true when the value is present and
// differs from the one at start.
bool g_stop_requested();
void g_stop_watching_stop_request();
