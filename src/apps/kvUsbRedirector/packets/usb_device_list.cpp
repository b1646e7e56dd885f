#include "usb_device_list.h"

#include "../channel/server_channel.h"
#include "../debug/usb_debug.h"
#include "../platform/platform.h"

#include <algorithm>
#include <string>
#include <strsafe.h>

// An empty list at process exit has nothing to destroy, so a dialog thread still walking it
// then reads only the list's own sentinel.
std::list<Usb_device_entry> g_device_list;
Process_lock g_device_list_mutex;

Usb_device_entry* g_find_device_entry(uint32_t device_id)
{
    for (Usb_device_entry& entry : g_device_list)
        if (kv::record_device_id(g_record_bytes(entry.record.get())) == device_id)
            return &entry;
    return nullptr;
}

Usb_device_record* g_set_device_state(uint32_t device_id, Usb_device_state state)
{
    Usb_device_entry* entry = g_find_device_entry(device_id);
    if (!entry)
        return nullptr;
    entry->state = state;
    return entry->record.get();
}

Usb_device_record* g_find_device_record(uint32_t device_id)
{
    Usb_device_entry* entry = g_find_device_entry(device_id);
    return entry ? entry->record.get() : nullptr;
}

bool g_is_device_listed(uint32_t device_id)
{
    return g_find_device_record(device_id) != nullptr;
}

bool g_device_display_name(const Usb_device_record* record, wchar_t* text, size_t chars)
{
    const BYTE* bytes = reinterpret_cast<const BYTE*>(record);
    const kv::Name_span span = kv::display_name_span(bytes, kv::record_length(bytes));
    int converted = 0;
    if (span.present && span.count != 0 && chars > 1)
        converted = MultiByteToWideChar(
            CP_ACP, MB_PRECOMPOSED, reinterpret_cast<const char*>(bytes + span.offset),
            static_cast<int>(std::min(span.count, chars - 1)), text, static_cast<int>(chars - 1));
    text[converted > 0 ? converted : 0] = 0;
    return converted > 0;
}

void g_audit_device(DWORD event_id, const Usb_device_record* record)
{
    const BYTE* bytes = reinterpret_cast<const BYTE*>(record);
    wchar_t user[256] = L"", client[256] = L"", name[256];
    g_platform().query_session_text(WTSUserName, user, ARRAYSIZE(user));
    g_platform().query_session_text(WTSClientName, client, ARRAYSIZE(client));
    if (!g_device_display_name(record, name, ARRAYSIZE(name)))
        StringCchCopyW(name, ARRAYSIZE(name), L"Unknown");
    const std::wstring session = std::to_wstring(g_session_id);
    const std::wstring id = std::to_wstring(static_cast<int32_t>(kv::record_device_id(bytes)));
    const wchar_t* inserts[5] = {user, session.c_str(), client, name, id.c_str()};
    g_report_information(event_id, inserts, 5);
}
