#include "device_policy_reader.h"

#include "../debug/usb_debug.h"
#include "../packets/device_policy.h"
#include "../platform/owned.h"

#include <set>
#include <string>

namespace
{

// The window thread's only.
std::set<std::wstring> g_reported; // malformed rules and settings, each logged once
Owned_key g_watched_key;
Owned_handle g_change_event;
HANDLE g_change_wait = nullptr;
HWND g_policy_window = nullptr;

void report_malformed(const std::wstring& what)
{
    if (g_reported.insert(what).second)
        g_log(3, L"Device_policy::g_read_device_policy() - ignored: %s", what.c_str());
}

void read_rules(HKEY policy, const wchar_t* list, std::vector<kv::Device_rule>* rules,
                std::vector<std::wstring>* texts)
{
    HKEY opened = nullptr;
    if (RegOpenKeyExW(policy, list, 0, KEY_READ, &opened) != ERROR_SUCCESS)
        return;
    const Owned_key key(opened);
    for (DWORD index = 0;; ++index)
    {
        wchar_t name[256], value[kv::k_max_rule_length + 1] = L"";
        DWORD name_chars = ARRAYSIZE(name), type = 0, bytes = sizeof value - sizeof(wchar_t);
        const LONG read = RegEnumValueW(key.get(), index, name, &name_chars, nullptr, &type,
                                        reinterpret_cast<BYTE*>(value), &bytes);
        if (read == ERROR_NO_MORE_ITEMS)
            break;
        const std::wstring text(value, wcsnlen(value, bytes / sizeof(wchar_t)));
        kv::Device_rule rule;
        if (read == ERROR_SUCCESS && type == REG_SZ &&
            kv::parse_device_rule(
                std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size()),
                &rule))
        {
            rules->push_back(std::move(rule));
            texts->push_back(text);
        }
        else
            report_malformed(std::wstring(L"malformed rule ") + list + L"\\" + name + L" = \"" +
                             text + L"\"");
    }
}

void CALLBACK on_change(PVOID, BOOLEAN)
{
    PostMessageW(g_policy_window, k_policy_changed_message, 0, 0);
}

// The notification is one-shot: made again after each change.
bool watch_again()
{
    const LONG armed = RegNotifyChangeKeyValue(g_watched_key.get(), TRUE,
                                               REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET,
                                               g_change_event.get(), TRUE);
    if (armed != ERROR_SUCCESS)
        g_log(3,
              L"Device_policy::g_watch_device_policy() - RegNotifyChangeKeyValue failed - "
              L"error:%d",
              armed);
    return armed == ERROR_SUCCESS;
}

} // namespace

void g_read_device_policy()
{
    Device_policy policy;
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, k_policy_key, 0, KEY_READ, &opened) == ERROR_SUCCESS)
    {
        const Owned_key key(opened);
        DWORD share = 0, bytes = sizeof share;
        const LONG read = RegGetValueW(key.get(), nullptr, L"ShareQuestion", RRF_RT_REG_DWORD,
                                       nullptr, &share, &bytes);
        if (read == ERROR_SUCCESS && bytes == sizeof share && share <= 2)
            policy.share = static_cast<Share_setting>(share);
        else if (read != ERROR_FILE_NOT_FOUND)
            report_malformed(L"malformed ShareQuestion");
        std::vector<std::wstring> allow_texts;
        read_rules(key.get(), L"DenyRules", &policy.deny, &policy.deny_texts);
        read_rules(key.get(), L"AllowRules", &policy.allow, &allow_texts);
    }
    g_log(4, L"Device_policy::g_read_device_policy() - share:%d deny:%d allow:%d",
          static_cast<int>(policy.share), static_cast<int>(policy.deny.size()),
          static_cast<int>(policy.allow.size()));
    g_set_device_policy(std::move(policy));
}

bool g_watch_device_policy(HWND window)
{
    // The policies key exists on every edition; the product's own key may not exist yet.
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Policies", 0, KEY_NOTIFY, &opened) !=
        ERROR_SUCCESS)
    {
        g_log(3, L"Device_policy::g_watch_device_policy() - the policies key cannot be watched");
        return false;
    }
    g_watched_key.reset(opened);
    g_change_event.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    g_policy_window = window;
    if (!g_change_event || !watch_again() ||
        !RegisterWaitForSingleObject(&g_change_wait, g_change_event.get(), on_change, nullptr,
                                     INFINITE, WT_EXECUTEDEFAULT))
    {
        g_log(3, L"Device_policy::g_watch_device_policy() - no watch - error:%d", GetLastError());
        g_stop_watching_device_policy();
        return false;
    }
    return true;
}

void g_on_device_policy_changed()
{
    watch_again();
    g_read_device_policy();
    g_apply_device_policy();
}

void g_stop_watching_device_policy()
{
    if (g_change_wait)
        UnregisterWaitEx(g_change_wait, INVALID_HANDLE_VALUE); // and its callback has ended
    g_change_wait = nullptr;
    g_change_event.reset();
    g_watched_key.reset();
}
