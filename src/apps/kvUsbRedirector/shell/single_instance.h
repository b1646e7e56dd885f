// One running instance per logon session, claimed through a named mutex.
#pragma once

#include "../platform/owned.h"

#include <windows.h>

// The entry claims g_seams.single_instance_name; Local\ keeps the claim per session, as every
// remote session runs its own instance.
// False when another instance of this session holds `name` (logged at level 3): the caller
// exits. Any other failure is logged and lets this instance run unguarded, since refusing to
// start would take USB redirection away from the session. On true *mutex holds the claim, or
// nothing when unguarded; the claim is given up when *mutex is reset or goes.
bool g_claim_single_instance(const wchar_t* name, Owned_handle* mutex);
