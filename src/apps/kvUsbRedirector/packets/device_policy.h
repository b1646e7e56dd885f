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
    std::vector<std::wstring> deny_texts; // as written, for the refusal's event
};

// Set by the entry before the engine first starts, never changed afterwards.
extern bool g_is_server_os;
extern bool g_warning_popup_disabled;

void g_set_device_policy(Device_policy policy);
Share_setting g_share_setting();
// A server edition asks before a device is plugged in, unless switched off.
bool g_share_question_wanted();
// Refuses the entry when the policy does: failed, blocked, event 21. The caller holds
// g_device_list_mutex.
bool g_refuse_by_policy(Usb_device_entry& entry);
// After a change of the policy: a shared device it now refuses is unplugged, and a device it
// refused is forgotten, so that the next reconciliation considers it again.
void g_apply_device_policy();
