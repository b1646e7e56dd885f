// The administrator's device policy, read from the registry as Group Policy writes it.
#include "support/fixtures.h"
#include "channel/server_channel.h"
#include "debug/usb_debug.h"
#include "driver/usb_driver.h"
#include "packets/device_policy.h"
#include "packets/usb_packet_open.h"
#include "shell/device_policy_reader.h"

#include <gtest/gtest.h>

namespace
{

using Policy_test = Device_fixture;

void set_rules(const wchar_t* list, std::initializer_list<const wchar_t*> rules)
{
    const std::wstring key = std::wstring(k_policy_key) + L"\\" + list;
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
    DWORD n = 0;
    for (const wchar_t* rule : rules)
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), std::to_wstring(++n).c_str(), REG_SZ, rule,
                        static_cast<DWORD>((wcslen(rule) + 1) * sizeof(wchar_t)));
}

// A rule refuses a device before its open request; a change arrives as the window's message
// without polling and applies at once: a shared device now refused is unplugged, one refused
// only by the policy is considered again at the next reply. Malformed rules are logged once.
TEST_F(Policy_test, RulesRefuseBeforeTheOpenAndAChangeAppliesAtOnce)
{
    const HWND window =
        CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_TRUE(g_watch_device_policy(window));
    const auto changed = [window]
    {
        MSG msg;
        for (int i = 0; i < 500; ++i, Sleep(10))
            if (PeekMessageW(&msg, window, k_policy_changed_message, k_policy_changed_message,
                             PM_REMOVE))
                return g_on_device_policy_changed(), g_apply_device_policy(), true; // as the poller
        return false;
    };
    const Bytes stick = record({.id = 1}), pad = record({.id = 2, .id1 = 0x056A, .name = "Pad"});
    set_rules(L"DenyRules", {L"name=pa*", L"not a rule"});
    ASSERT_TRUE(changed());
    reconcile({stick, pad});
    open_reply(1, 0);
    EXPECT_EQ(Ids({1}), open_requests());
    EXPECT_EQ(Entries({{1, S::opened}, {2, S::failed}}), entries());
    EXPECT_EQ(Lines({menu_line(L"Stick", L"1", L"shared"),
                     L"Pad (device 2, 056a:5678:0100): blocked by the administrator"}),
              g_device_menu());
    const std::wstring refused = L"KELVRA\\anna|" + std::to_wstring(g_session_id) +
                                 L"|KIOSK-7|Pad|2|056a:5678:0100|SN-1|deny rule \"name=pa*\"";
    EXPECT_EQ(Events({{k_event_id_device_blocked, refused},
                      {k_event_id_device_shared, audit_text(L"Stick", L"1")}}),
              audits(sim));
    sim.clear_lines();
    set_rules(L"AllowRules", {L"056A:5678", L"not a rule"});
    set_rules(L"DenyRules", {L"not a rule"});
    ASSERT_TRUE(changed());
    EXPECT_EQ(Ids({1}), port_calls(IOCTL_PORT_UNPLUG));
    EXPECT_EQ(
        Events({{k_event_id_device_removed, audit_text(L"Stick", L"1")},
                {k_event_id_device_blocked, audit_text(L"Stick", L"1", L"no allow rule matches")}}),
        audits(sim));
    g_read_device_policy();                                     // read again: nothing new to report
    EXPECT_EQ(2u, sim.count_lines(L"ignored: malformed rule")); // each list's once
    reconcile({stick, pad});
    EXPECT_EQ(Ids({2}), open_requests()); // the pad again, the stick still refused
    // Never share refuses on a workstation too; without an asker nothing is shared unasked.
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, k_policy_key);
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, k_policy_key, L"ShareQuestion", REG_DWORD,
                    std::data({DWORD{2}}), sizeof(DWORD));
    ASSERT_TRUE(changed());
    reconcile_empty();
    reconcile({record({.id = 3})});
    EXPECT_EQ(Entries({{3, S::failed}}), entries());
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, k_policy_key);
    ASSERT_TRUE(changed());
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
