// The administrator's device policy, read from the registry as Group Policy writes it.
#include "support/fixtures.h"
#include "channel/server_channel.h"
#include "debug/usb_debug.h"
#include "driver/usb_driver.h"
#include "packets/device_policy.h"
#include "packets/usb_packet_open.h"
#include "shell/device_policy_reader.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <functional>
#include <thread>

namespace
{

using Policy_test = Device_fixture;

// Writes the list as Group Policy does: its values deleted, then written one at a time; then the
// allow rules so, when given.
void set_rules(const wchar_t* list, std::initializer_list<const wchar_t*> rules, DWORD gap_ms = 0,
               std::initializer_list<const wchar_t*> allow = {L"-"})
{
    const std::wstring key = std::wstring(k_policy_key) + L"\\" + list;
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
    DWORD n = 0;
    for (const wchar_t* rule : rules)
        if (*rule)
            Sleep(gap_ms),
                RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), std::to_wstring(++n).c_str(),
                                REG_SZ, rule, static_cast<DWORD>((wcslen(rule) + 1) * 2));
    if (*allow.begin() != std::wstring_view(L"-"))
        set_rules(L"AllowRules", allow, gap_ms);
}

// A rule refuses a device before its open request; a change arrives as the window's message
// without polling and is read once the writes have settled: a shared device now refused is
// unplugged, one refused only by the policy is considered again at the next reply. Malformed rules
// are logged once; what cannot be read fails safe.
TEST_F(Policy_test, RulesRefuseBeforeTheOpenAndASettledChangeAppliesWithinSeconds)
{
    const HWND window =
        CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_TRUE(g_watch_device_policy(window));
    const HANDLE read = g_policy_changed_event();
    // Writes while the window's messages are pumped as the shell does; applies the policy read, as
    // the poller does, and returns how long the change took.
    const auto changed = [window, read](const std::function<void()>& write)
    {
        ResetEvent(read);
        const ULONGLONG start = GetTickCount64();
        std::thread writer(write);
        for (MSG msg; GetTickCount64() - start < 9000 &&
                      MsgWaitForMultipleObjects(1, &read, FALSE, 20, QS_ALLINPUT) != WAIT_OBJECT_0;)
            while (PeekMessageW(&msg, window, 0, 0, PM_REMOVE))
                msg.message == k_policy_changed_message ? g_on_device_policy_changed()
                                                        : (void)DispatchMessageW(&msg);
        writer.join();
        g_apply_device_policy();
        return GetTickCount64() - start;
    };
    const Bytes stick = record({.id = 1}), pad = record({.id = 2, .id1 = 0x056A, .name = "Pad %1"});
    changed(
        [] {
            set_rules(L"DenyRules", {L"name=pa*", L"not a rule"}, 0, {L"056A:5678", L"1234:5678"});
        });
    reconcile({stick, pad});
    open_reply(1, 0);
    EXPECT_EQ(Ids({1}), open_requests());
    EXPECT_EQ(Entries({{1, S::opened}, {2, S::failed}}), entries());
    // A refresh rewrites the allow list value by value, the stick's last: nothing is unplugged.
    EXPECT_LT(changed([] { set_rules(L"AllowRules", {L"056A:5678", L"1234:5678"}, 600); }), 5000u);
    EXPECT_EQ(Ids(), port_calls(IOCTL_PORT_UNPLUG));
    sim.clear_lines();
    changed([] { set_rules(L"DenyRules", {L"not a rule"}, 0, {L"056A:5678", L"not a rule"}); });
    EXPECT_EQ(Ids({1}), port_calls(IOCTL_PORT_UNPLUG));
    reconcile({stick, pad});
    EXPECT_EQ(Ids({2}), open_requests()); // the pad again, the stick still refused
    // Allow rules none of which can be read allow nothing; a nameless device is "Unknown" to name
    // rules; a key that cannot be read keeps the policy; never share, and a malformed
    // ShareQuestion, share nothing, on a workstation too.
    const Bytes nameless = record({.id = 5, .name = nullptr, .identity = "SN-5"});
    HKEY policy = nullptr; // whose access stays while its DACL grants none
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, k_policy_key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                    &policy, nullptr);
    const Owned_key owned_policy(policy);
    using Row = std::tuple<const wchar_t*, const wchar_t*, DWORD, const wchar_t*, Ids, size_t>;
    for (auto [allow, deny, share, dacl, opened, warnings] :
         {Row{L"not a rule", L"", 0, L"D:(A;;KA;;;WD)", {}, 1},
          Row{L"", L"name=unknown", 0, L"", {1}, 0}, Row{L"", L"name=unknown", 2, L"D:P", {1}, 1},
          Row{L"", L"", 2, L"D:(A;;KA;;;WD)", {}, 0}, Row{L"", L"", 3, L"", {}, 1}})
    {
        sim.clear_lines();
        changed(
            [policy, allow = allow, deny = deny, share = share, dacl = dacl]
            {
                PSECURITY_DESCRIPTOR made = nullptr;
                set_rules(L"DenyRules", {deny}, 0, {allow});
                RegSetValueExW(policy, L"ShareQuestion", 0, REG_DWORD,
                               reinterpret_cast<const BYTE*>(&share), 4);
                if (*dacl &&
                    ConvertStringSecurityDescriptorToSecurityDescriptorW(dacl, 1, &made, nullptr))
                    RegSetKeySecurity(policy, DACL_SECURITY_INFORMATION, made), LocalFree(made);
            });
        reconcile_empty();
        reconcile({nameless, stick});
        EXPECT_EQ(opened, open_requests());
        EXPECT_EQ(Entries({{5, S::failed}, {1, opened.empty() ? S::failed : S::pending_return}}),
                  entries());
        g_read_device_policy(); // each warning once
        const auto lines = sim.lines();
        EXPECT_EQ(warnings, std::ranges::count(lines, 3, &Log_line::level)) << share << dacl;
    }
    // Without an asker nothing is shared unasked.
    changed([] { RegDeleteTreeW(HKEY_LOCAL_MACHINE, k_policy_key); });
    reconcile_empty();
    g_is_server_os = true;
    g_share_asker = nullptr;
    reconcile({record({.id = 4})});
    open_reply(4, 0);
    EXPECT_EQ(Entries({{4, S::failed}}), entries());
    EXPECT_TRUE(sim.has_line(L"device 4 not shared: the user must be asked"));
    EXPECT_TRUE(port_calls(IOCTL_PORT_PLUG_IN) == Ids({1}));
    g_stop_watching_device_policy();
    DestroyWindow(window);
}

} // namespace
