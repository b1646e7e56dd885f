#include "usb_device_list.h"

#include "../debug/usb_debug.h"

// An empty list at process exit has nothing to destroy, so a dialog thread still walking it
// then reads only the list's own sentinel.
std::list<Usb_device_entry> g_device_list;
Process_lock g_device_list_mutex;

Usb_device_record* g_set_device_state(uint32_t device_id, Usb_device_state state)
{
    for (Usb_device_entry& entry : g_device_list)
        if (kv::record_device_id(g_record_bytes(entry.record.get())) == device_id)
        {
            entry.state = state;
            return entry.record.get();
        }
    return nullptr;
}

Usb_device_record* g_find_device_record(uint32_t device_id)
{
    for (Usb_device_entry& entry : g_device_list)
        if (kv::record_device_id(g_record_bytes(entry.record.get())) == device_id)
            return entry.record.get();
    return nullptr;
}

bool g_is_device_listed(uint32_t device_id)
{
    return g_find_device_record(device_id) != nullptr;
}
