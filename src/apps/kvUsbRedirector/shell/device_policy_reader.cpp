#include "device_policy_reader.h"

#include "../debug/usb_debug.h"
#include "../packets/device_policy.h"
#include "../platform/owned.h"
#include "registry_watch.h"

#include <set>
#include <string>

namespace
{

// The window thread's only.
std::set<std::wstring> g_reported; // malformed rules and settings, each logged once
Registry_watch g_policy_watch;

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
    if (!g_policy_watch.start(L"Software\\Policies", true, window, k_policy_changed_message))
    {
        g_log(3, L"Device_policy::g_watch_device_policy() - the policies key cannot be watched");
        return false;
    }
    return true;
}

// The engine's poller applies the policy read: the window thread never waits for the device list.
void g_on_device_policy_changed()
{
    g_policy_watch.arm_again();
    g_read_device_policy();
}

void g_stop_watching_device_policy()
{
    g_policy_watch.stop();
}
