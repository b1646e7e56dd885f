// The administrator's device policy, read from the registry at start and again once a change of
// the policies key has settled: a change notification, whose event a registered wait turns into a
// message to the hidden window (no polling), then a quiet period on the window's timer.
#pragma once

#include <windows.h>

constexpr wchar_t k_policy_key[] = L"Software\\Policies\\Orvik\\WinUSB";
constexpr UINT k_policy_changed_message = WM_APP + 1;
// A change is read once none has followed it for the quiet period, at the latest this long after
// the first change not read.
constexpr UINT k_policy_quiet_ms = 1000;
constexpr UINT k_policy_latest_ms = 4000;

// Reads ShareQuestion and the DenyRules and AllowRules lists and hands them to the engine. A
// malformed rule is logged once and ignored; a malformed ShareQuestion shares nothing; a key that
// cannot be read keeps the previous policy (each logged once).
void g_read_device_policy();
// From now on a change under the policies key posts k_policy_changed_message to the window; then
// reads the policy. False (logged) when the key cannot be watched.
bool g_watch_device_policy(HWND window);
// On k_policy_changed_message: watches again, and reads the policy once the changes have settled
// (a timer of the window); the engine applies it.
void g_on_device_policy_changed();
void g_stop_watching_device_policy();
