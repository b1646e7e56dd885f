#include "stop_request.h"

#include "../debug/usb_debug.h"
#include "registry_watch.h"

namespace
{

// The window thread's only.
Registry_watch g_stop_watch;
DWORD g_value_at_start = 0;

// False when the value is absent or not a DWORD.
bool read_value(DWORD* value)
{
    DWORD bytes = sizeof *value;
    return RegGetValueW(g_stop_watch.key(), nullptr, k_stop_instances_value, RRF_RT_REG_DWORD,
                        nullptr, value, &bytes) == ERROR_SUCCESS;
}

} // namespace

void g_watch_stop_request(HWND window)
{
    if (!g_stop_watch.start(k_product_key, false, window, k_stop_request_message))
    {
        g_log(4, L"kvUsbRedirector::g_watch_stop_request (no product key: not watched)");
        return;
    }
    // A value left by an earlier drain is no request: only a change after this start is.
    if (!read_value(&g_value_at_start))
        g_value_at_start = 0;
    g_log(4, L"kvUsbRedirector::g_watch_stop_request (StopInstances:%u)", g_value_at_start);
}

bool g_stop_requested()
{
    if (!g_stop_watch.key())
        return false;
    g_stop_watch.arm_again(); // before the read: a request written in between is noticed
    DWORD value = 0;
    if (!read_value(&value) || value == g_value_at_start)
        return false;
    g_log(4, L"kvUsbRedirector::g_stop_requested (StopInstances %u -> %u)", g_value_at_start,
          value);
    return true;
}

void g_stop_watching_stop_request()
{
    g_stop_watch.stop();
}
