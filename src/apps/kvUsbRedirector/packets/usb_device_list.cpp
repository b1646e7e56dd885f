#include "usb_device_list.h"

#include "../channel/server_channel.h"
#include "../debug/usb_debug.h"
#include "../platform/platform.h"
#include "../portable/device_rules.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <strsafe.h>

// An empty list at process exit has nothing to destroy, so a dialog thread still walking it
// then reads only the list's own sentinel.
std::list<Usb_device_entry> g_device_list;
Process_lock g_device_list_mutex;

namespace
{
std::atomic<DWORD> g_off_limits_thread{0};
std::atomic<bool> g_held_off_limits{false};
} // namespace

void g_keep_device_list_off_this_thread(bool off)
{
    g_off_limits_thread = off ? GetCurrentThreadId() : 0;
}

bool g_device_list_held_off_limits()
{
    return g_held_off_limits;
}

Device_list_hold::Device_list_hold()
{
    g_device_list_mutex.hold();
    if (g_off_limits_thread != 0 && GetCurrentThreadId() == g_off_limits_thread &&
        !g_held_off_limits.exchange(true))
        g_log(2, L"Usb_device_list - the device list was taken on the window thread");
}

namespace
{
Process_lock g_views_lock;
// Never destroyed: a share dialog's thread may still publish while the process exits.
std::vector<Usb_device_view>* const
    g_views PT_GUARDED_BY(g_views_lock) = new std::vector<Usb_device_view>;
} // namespace

void g_publish_device_views() noexcept
{
    try
    {
        std::vector<Usb_device_view> views;
        views.reserve(g_device_list.size());
        for (const Usb_device_entry& entry : g_device_list)
        {
            const Usb_device_record* record = entry.record.get();
            wchar_t name[k_device_view_name_chars + 1];
            if (!g_device_display_name(record, name, ARRAYSIZE(name)))
                name[0] = L'\0';
            views.push_back(
                {static_cast<int32_t>(kv::record_device_id(reinterpret_cast<const BYTE*>(record))),
                 name, g_device_numbers_text(record), entry.state, entry.answer, entry.blocked});
        }
        Lock_hold hold(g_views_lock);
        g_views->swap(views);
    }
    catch (...)
    {
        g_log(2, L"Usb_device_list::g_publish_device_views() - no memory: the views are stale");
    }
}

std::vector<Usb_device_view> g_device_views()
{
    Lock_hold hold(g_views_lock);
    return *g_views;
}

Usb_device_entry* g_find_device_entry(uint32_t device_id)
{
    for (Usb_device_entry& entry : g_device_list)
        if (g_device_id_of(entry) == device_id)
            return &entry;
    return nullptr;
}

Usb_device_record* g_find_device_record(uint32_t device_id)
{
    Usb_device_entry* entry = g_find_device_entry(device_id);
    return entry ? entry->record.get() : nullptr;
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

namespace
{

// The record's identity string in the system code page's reading; empty when it has none.
std::wstring identity_string_of(const BYTE* bytes)
{
    const size_t size = kv::record_length(bytes);
    const size_t offset = kv::load_u16(bytes + kv::k_record_offset_identity_string);
    if (offset == 0 || offset >= size)
        return {};
    const size_t count = strnlen(reinterpret_cast<const char*>(bytes + offset), size - offset);
    wchar_t text[256];
    const int converted =
        MultiByteToWideChar(CP_ACP, 0, reinterpret_cast<const char*>(bytes + offset),
                            static_cast<int>(std::min<size_t>(count, 255)), text, 255);
    return std::wstring(text, converted > 0 ? static_cast<size_t>(converted) : 0);
}

// The event viewer expands insertion codes (%n, %%n, %{...}) found within an insert as well, and
// none can be escaped: a '%' is followed by an invisible word joiner, so that the client's text is
// shown as written.
std::wstring as_insert(std::wstring text)
{
    for (size_t at = text.find(L'%'); at != std::wstring::npos; at = text.find(L'%', at + 2))
        text.insert(at + 1, 1, L'\u2060');
    return text;
}

} // namespace

std::wstring g_device_numbers_text(const Usb_device_record* record)
{
    uint16_t numbers[3];
    kv::record_identity_numbers(reinterpret_cast<const BYTE*>(record), numbers);
    const std::u16string text = kv::identity_numbers_text(numbers);
    return std::wstring(text.begin(), text.end());
}

void g_audit_device(DWORD event_id, const Usb_device_record* record, const wchar_t* reason)
{
    const BYTE* bytes = reinterpret_cast<const BYTE*>(record);
    wchar_t domain[256] = L"", user[256] = L"", client[256] = L"", name[256];
    g_platform().query_session_text(WTSDomainName, domain, ARRAYSIZE(domain));
    g_platform().query_session_text(WTSUserName, user, ARRAYSIZE(user));
    g_platform().query_session_text(WTSClientName, client, ARRAYSIZE(client));
    if (!g_device_display_name(record, name, ARRAYSIZE(name)))
        StringCchCopyW(name, ARRAYSIZE(name), L"Unknown");
    const std::wstring identity = identity_string_of(bytes);
    // The client names itself and the device: all of it as the client reports it.
    const std::wstring texts[8] = {
        as_insert(domain[0] ? std::wstring(domain) + L"\\" + user : user),
        std::to_wstring(g_session_id),
        as_insert(client),
        as_insert(name),
        std::to_wstring(static_cast<int32_t>(kv::record_device_id(bytes))),
        g_device_numbers_text(record),
        identity.empty() ? L"none" : as_insert(identity),
        as_insert(reason ? reason : L"")};
    const wchar_t* inserts[8];
    for (size_t i = 0; i < 8; ++i)
        inserts[i] = texts[i].c_str();
    g_report_information(event_id, inserts, reason ? 8 : 7);
}
