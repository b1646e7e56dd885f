// The administrator's device policy, read from the registry at start and again at every change
// of the policies key: a change notification, whose event a registered wait turns into a message
// to the hidden window (no polling).
#pragma once

#include <windows.h>

constexpr wchar_t k_policy_key[] = L"Software\\Policies\\Orvik\\WinUSB";
constexpr UINT k_policy_changed_message = WM_APP + 1;

// Reads ShareQuestion and the DenyRules and AllowRules lists and hands them to the engine. A
// malformed rule or setting is logged once and ignored.
void g_read_device_policy();
// From now on a change under the policies key posts k_policy_changed_message to the window.
// False (logged) when the key cannot be watched.
bool g_watch_device_policy(HWND window);
// On k_policy_changed_message: watches again and reads the policy; the engine applies it.
void g_on_device_policy_changed();
void g_stop_watching_device_policy();
