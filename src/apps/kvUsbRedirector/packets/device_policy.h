// The administrator's policy for sharing devices: whether the user is asked, and which devices
// may be shared at all. The shell reads it from the registry; the reconciliation and the open
// reply apply it.
#pragma once

#include "../portable/device_rules.h"
#include "usb_device_list.h"

#include <string>
#include <vector>

enum class Share_setting : DWORD
{
    ask = 0,           // on server editions, unless DisableWarningPopup exists
    share_unasked = 1, // as DisableWarningPopup
    never = 2          // no device is shared, on any edition
};

struct Device_policy
{
    Share_setting share = Share_setting::ask;
    std::vector<kv::Device_rule> deny, allow;
    bool allow_listed = false; // the AllowRules key holds values, even none of them readable
    std::vector<std::wstring> deny_texts; // as written, for the refusal's event
};

// Set by the entry before the engine first starts, never changed afterwards.
extern bool g_is_server_os;
extern bool g_warning_popup_disabled;

void g_set_device_policy(Device_policy policy);
Share_setting g_share_setting();
// A server edition asks before a device is plugged in, unless switched off.
bool g_share_question_wanted();
// Why the policy refuses the device; empty when it may be shared.
std::wstring g_policy_refusal(const Usb_device_record* record);
// Set by each new policy; the poller then applies it (g_apply_device_policy), so that the
// window thread, which sets the policy, never waits for the device list.
HANDLE g_policy_changed_event();
// A shared device the policy now refuses is unplugged and blocked, and a device it refused is
// forgotten, so that the next reconciliation considers it again. Takes the device list.
void g_apply_device_policy() EXCLUDES(g_device_list_mutex);
