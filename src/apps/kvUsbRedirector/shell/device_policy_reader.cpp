#include "device_policy_reader.h"

#include "../debug/usb_debug.h"
#include "../packets/device_policy.h"
#include "../platform/owned.h"
#include "registry_watch.h"

#include <algorithm>
#include <set>
#include <string>

namespace
{

constexpr UINT_PTR k_quiet_timer = 0x4B56; // the window's only timer of this id

// The window thread's only.
std::set<std::wstring> g_reported; // malformed rules and settings, unreadable keys: each once
Registry_watch g_policy_watch;
HWND g_policy_window = nullptr;
ULONGLONG g_changes_since = 0; // the first change not read yet; 0: none

void report_once(const std::wstring& what)
{
    if (g_reported.insert(what).second)
        g_log(3, L"Device_policy::g_read_device_policy() - %s", what.c_str());
}

// ERROR_SUCCESS (an absent list included), or why the list cannot be read. *values: how many
// values the list holds, well-formed or not.
LONG read_rules(HKEY policy, const wchar_t* list, std::vector<kv::Device_rule>* rules,
                std::vector<std::wstring>* texts, DWORD* values)
{
    HKEY opened = nullptr;
    const LONG open = RegOpenKeyExW(policy, list, 0, KEY_READ, &opened);
    if (open != ERROR_SUCCESS)
        return open == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : open;
    const Owned_key key(opened);
    for (DWORD index = 0;; ++index)
    {
        wchar_t name[256] = L"", value[kv::k_max_rule_length + 1] = L"";
        DWORD name_chars = ARRAYSIZE(name), type = 0, bytes = sizeof value - sizeof(wchar_t);
        const LONG read = RegEnumValueW(key.get(), index, name, &name_chars, nullptr, &type,
                                        reinterpret_cast<BYTE*>(value), &bytes);
        if (read == ERROR_NO_MORE_ITEMS)
            return ERROR_SUCCESS;
        // A name or rule too long is a malformed rule; any other error (the key deleted by a
        // refresh since it was opened) leaves the list unread.
        if (read != ERROR_SUCCESS && read != ERROR_MORE_DATA)
            return read;
        ++*values;
        const std::wstring text = read == ERROR_SUCCESS
                                      ? std::wstring(value, wcsnlen(value, bytes / sizeof(wchar_t)))
                                      : std::wstring(L"(too long)");
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
            report_once(std::wstring(L"ignored: malformed rule ") + list + L"\\" +
                        (read == ERROR_SUCCESS ? name : L"") + L" = \"" + text + L"\"");
    }
}

void CALLBACK on_quiet(HWND window, UINT, UINT_PTR timer, DWORD)
{
    KillTimer(window, timer);
    g_changes_since = 0;
    g_read_device_policy();
}

} // namespace

void g_read_device_policy()
{
    Device_policy policy;
    HKEY opened = nullptr;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, k_policy_key, 0, KEY_READ, &opened);
    const wchar_t* unread = k_policy_key;
    if (status == ERROR_SUCCESS)
    {
        const Owned_key key(opened);
        DWORD share = 0, bytes = sizeof share;
        const LONG read = RegGetValueW(key.get(), nullptr, L"ShareQuestion", RRF_RT_REG_DWORD,
                                       nullptr, &share, &bytes);
        if (read == ERROR_SUCCESS && bytes == sizeof share && share <= 2)
            policy.share = static_cast<Share_setting>(share);
        else if (read != ERROR_FILE_NOT_FOUND)
        {
            policy.share = Share_setting::never; // what the administrator meant is unknown
            report_once(L"malformed ShareQuestion: no device is shared");
        }
        std::vector<std::wstring> allow_texts;
        DWORD deny_values = 0, allow_values = 0;
        status =
            read_rules(key.get(), L"DenyRules", &policy.deny, &policy.deny_texts, &deny_values);
        unread = L"DenyRules";
        if (status == ERROR_SUCCESS)
        {
            status =
                read_rules(key.get(), L"AllowRules", &policy.allow, &allow_texts, &allow_values);
            unread = L"AllowRules";
        }
        policy.allow_listed = allow_values != 0;
    }
    else if (status == ERROR_FILE_NOT_FOUND)
        status = ERROR_SUCCESS;
    if (status != ERROR_SUCCESS)
    {
        report_once(std::wstring(unread) + L" cannot be read (error " + std::to_wstring(status) +
                    L"): the previous policy stays");
        return;
    }
    g_log(4, L"Device_policy::g_read_device_policy() - share:%d deny:%d allow:%d",
          static_cast<int>(policy.share), static_cast<int>(policy.deny.size()),
          static_cast<int>(policy.allow.size()));
    g_set_device_policy(std::move(policy));
}

bool g_watch_device_policy(HWND window)
{
    g_policy_window = window;
    // The policies key exists on every edition; the product's own key may not exist yet. Armed
    // before the read: a change during the read is noticed.
    const bool watched =
        g_policy_watch.start(L"Software\\Policies", true, window, k_policy_changed_message);
    if (!watched)
        g_log(3, L"Device_policy::g_watch_device_policy() - the policies key cannot be watched");
    g_read_device_policy();
    return watched;
}

// Group Policy writes a list by deleting its values and writing them back one at a time: the
// policy is read once no change has come for k_policy_quiet_ms, and at the latest
// k_policy_latest_ms after the first change. The engine's poller applies it: the window thread
// never waits for the device list.
void g_on_device_policy_changed()
{
    g_policy_watch.arm_again(); // before the read: a write from now on is noticed
    const ULONGLONG now = GetTickCount64();
    if (g_changes_since == 0)
        g_changes_since = now;
    const ULONGLONG latest = g_changes_since + k_policy_latest_ms;
    const UINT wait =
        static_cast<UINT>(std::min<ULONGLONG>(k_policy_quiet_ms, latest > now ? latest - now : 1));
    if (!SetTimer(g_policy_window, k_quiet_timer, wait, on_quiet))
    {
        g_log(3, L"Device_policy::g_on_device_policy_changed() - SetTimer failed - error:%d",
              GetLastError());
        on_quiet(g_policy_window, WM_TIMER, k_quiet_timer, 0);
    }
}

void g_stop_watching_device_policy()
{
    KillTimer(g_policy_window, k_quiet_timer);
    g_changes_since = 0;
    g_policy_watch.stop();
}
