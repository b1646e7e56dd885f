// One running instance per logon session, claimed through a named mutex.
#pragma once

#include <windows.h>

// Local\ keeps the claim per session: every remote session runs its own instance.
constexpr wchar_t k_single_instance_name[] = L"Local\\kvUsbRedirector.SingleInstance";
// The name the entry claims; tests point it at a name of their own process.
extern const wchar_t* g_single_instance_name;

// False when another instance of this session holds `name` (logged at level 3): the caller
// exits. Any other failure is logged and lets this instance run unguarded, since refusing to
// start would take USB redirection away from the session. On true *mutex holds the claim, or
// INVALID_HANDLE_VALUE when unguarded.
bool g_claim_single_instance(const wchar_t* name, HANDLE* mutex);
// Gives the claim up; *mutex becomes INVALID_HANDLE_VALUE.
void g_release_single_instance(HANDLE* mutex);
