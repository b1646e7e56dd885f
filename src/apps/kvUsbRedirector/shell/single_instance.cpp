#include "single_instance.h"

#include "../debug/usb_debug.h"
#include "../platform/owned.h"

bool g_claim_single_instance(const wchar_t* name, Owned_handle* mutex)
{
    mutex->reset();
    // Never owned, never waited on: the mutex only exists while this instance lives.
    Owned_handle created(CreateMutexW(nullptr, FALSE, name));
    DWORD error = GetLastError();
    if (created && error == ERROR_ALREADY_EXISTS)
    {
        created.reset();
        g_log(3, L"Single_instance::g_claim_single_instance (kvUsbRedirector is already running "
                 L"in this session; this instance exits)");
        return false;
    }
    if (!created && error == ERROR_ACCESS_DENIED)
    {
        // The holder runs with other rights, e.g. elevated, and its mutex refuses us.
        g_log(3, L"Single_instance::g_claim_single_instance (kvUsbRedirector is already running "
                 L"in this session under other rights; this instance exits)");
        return false;
    }
    if (!created)
    {
        g_log(3,
              L"Single_instance::g_claim_single_instance (CreateMutex failed - error:%d; running "
              L"unguarded)",
              error);
        return true;
    }
    *mutex = std::move(created);
    return true;
}
