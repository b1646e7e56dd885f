#include "device_policy.h"

#include "../debug/usb_debug.h"
#include "device_life.h"

bool g_is_server_os = false;
bool g_warning_popup_disabled = false;

namespace
{

// Read by the engine's threads, replaced by the window thread.
Process_lock g_policy_lock;
Device_policy g_policy GUARDED_BY(g_policy_lock);

kv::Device_identity identity_of(const Usb_device_record* record, wchar_t* name, size_t chars)
{
    static_assert(sizeof(wchar_t) == sizeof(char16_t));
    // Matched against the name the question, the menu and the events show.
    if (!g_device_display_name(record, name, chars))
        wcsncpy_s(name, chars, L"Unknown", _TRUNCATE);
    kv::Device_identity identity{{}, reinterpret_cast<const char16_t*>(name)};
    kv::record_identity_numbers(reinterpret_cast<const BYTE*>(record), identity.numbers);
    return identity;
}

} // namespace

std::wstring g_policy_refusal(const Usb_device_record* record)
{
    Lock_hold hold(g_policy_lock);
    if (g_policy.share == Share_setting::never)
        return L"sharing is switched off";
    wchar_t name[256];
    const kv::Rule_decision decision =
        kv::decide_device(g_policy.deny, g_policy.allow, identity_of(record, name, 256));
    if (decision.verdict == kv::Rule_verdict::denied)
        return L"deny rule \"" + g_policy.deny_texts[decision.deny_rule] + L"\"";
    // An allow list set but unreadable allows nothing.
    if (decision.verdict == kv::Rule_verdict::not_allowed ||
        (g_policy.allow_listed && g_policy.allow.empty()))
        return L"no allow rule matches";
    return {};
}

void g_set_device_policy(Device_policy policy)
{
    {
        Lock_hold hold(g_policy_lock);
        g_policy = std::move(policy);
    }
    SetEvent(g_policy_changed_event());
}

Share_setting g_share_setting()
{
    Lock_hold hold(g_policy_lock);
    return g_policy.share;
}

bool g_share_question_wanted()
{
    return g_is_server_os && !g_warning_popup_disabled && g_share_setting() == Share_setting::ask;
}

HANDLE g_policy_changed_event()
{
    // Made at the first use, never closed: the window thread sets it, the poller waits on it.
    static HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    return event;
}

void g_apply_device_policy()
{
    const Device_list_change hold;
    for (Usb_device_entry& entry : g_device_list)
    {
        const std::wstring reason = g_policy_refusal(entry.record.get());
        // A device refused only by the policy is forgotten, so that the next reply lists it anew.
        if (entry.blocked && entry.state == Usb_device_state::failed && reason.empty())
            g_device_mark(entry);
        else if (entry.state == Usb_device_state::opened && !reason.empty())
            g_device_block(entry, reason.c_str());
    }
    g_device_erase_marked();
}
