#include "registry_watch.h"

#include "../debug/usb_debug.h"

bool Registry_watch::start(const wchar_t* key, bool subtree, HWND window, UINT message)
{
    stop();
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_NOTIFY | KEY_QUERY_VALUE, &opened) !=
        ERROR_SUCCESS)
        return false;
    m_key.reset(opened);
    m_event.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    m_window = window;
    m_message = message;
    m_subtree = subtree;
    HANDLE wait = nullptr;
    if (!m_event || !arm_again() ||
        !RegisterWaitForSingleObject(&wait, m_event.get(), on_change, this, INFINITE,
                                     WT_EXECUTEDEFAULT))
    {
        g_log(3, L"Registry_watch::start() - no watch of %s - error:%d", key, GetLastError());
        stop();
        return false;
    }
    m_wait.reset(wait);
    return true;
}

bool Registry_watch::arm_again()
{
    const LONG armed = RegNotifyChangeKeyValue(m_key.get(), m_subtree ? TRUE : FALSE,
                                               REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET,
                                               m_event.get(), TRUE);
    if (armed != ERROR_SUCCESS)
        g_log(3, L"Registry_watch::arm_again() - RegNotifyChangeKeyValue failed - error:%d", armed);
    // The call returns its error and need not set the thread's: start() logs this one.
    SetLastError(static_cast<DWORD>(armed));
    return armed == ERROR_SUCCESS;
}

void Registry_watch::stop()
{
    m_wait.reset();
    m_event.reset();
    m_key.reset();
}

void CALLBACK Registry_watch::on_change(PVOID context, BOOLEAN)
{
    const Registry_watch* watch = static_cast<Registry_watch*>(context);
    PostMessageW(watch->m_window, watch->m_message, 0, 0);
}
