#include "usb_device_list.h"

#include "../debug/usb_debug.h"
#include "../manager/usb_manager.h"

// An empty list at process exit has nothing to destroy, so a dialog thread still walking it
// then reads only the list's own sentinel.
std::list<Usb_device_entry> g_device_list;

bool g_create_device_list_mutex()
{
    if (g_device_list_mutex != INVALID_HANDLE_VALUE)
        return true;
    HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
    if (!mutex)
        return false;
    g_device_list_mutex = mutex;
    return true;
}

bool g_lock_device_list()
{
    // INVALID_HANDLE_VALUE is also the pseudo handle of this process: waiting on it would
    // never return.
    if (g_device_list_mutex == INVALID_HANDLE_VALUE || !g_device_list_mutex)
    {
        g_log(2, L"Usb_device_list::g_lock_device_list() - no g_device_list_mutex");
        return false;
    }
    switch (WaitForSingleObject(g_device_list_mutex, INFINITE))
    {
    case WAIT_OBJECT_0:
        return true;
    case WAIT_ABANDONED:
        // Owned all the same; the thread that left it cannot have been inside a list change,
        // since every change runs to its end on the thread that started it.
        g_log(3, L"Usb_device_list::g_lock_device_list() - WAIT_ABANDONED");
        return true;
    default:
        g_log(2, L"Usb_device_list::g_lock_device_list() - WaitForSingleObject failed - error:%d",
              GetLastError());
        return false;
    }
}

void g_unlock_device_list()
{
    ReleaseMutex(g_device_list_mutex);
}

Usb_device_record* g_set_device_state(uint32_t device_id, Usb_device_state state)
{
    for (Usb_device_entry& entry : g_device_list)
        if (kv::record_device_id(g_record_bytes(entry.record)) == device_id)
        {
            entry.state = state;
            return entry.record;
        }
    return nullptr;
}

Usb_device_record* g_find_device_record(uint32_t device_id)
{
    for (Usb_device_entry& entry : g_device_list)
        if (kv::record_device_id(g_record_bytes(entry.record)) == device_id)
            return entry.record;
    return nullptr;
}

bool g_is_device_listed(uint32_t device_id)
{
    return g_find_device_record(device_id) != nullptr;
}
