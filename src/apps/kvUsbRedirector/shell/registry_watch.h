// A key of HKEY_LOCAL_MACHINE watched for changes: a change notification, whose event a
// registered wait turns into a message to the hidden window (no polling, no thread of ours).
#pragma once

#include "../platform/owned.h"

#include <windows.h>

class Registry_watch
{
  public:
    // From now on a change of the key (and of its subkeys when subtree) posts message to window.
    // False when the key cannot be opened or watched; the caller logs why it wanted it.
    bool start(const wchar_t* key, bool subtree, HWND window, UINT message);
    // The notification is one-shot: armed again at each change message.
    bool arm_again();
    // Ends the wait, and waits for a callback that is running.
    void stop();
    HKEY key() const
    {
        return m_key.get();
    }

  private:
    static void CALLBACK on_change(PVOID context, BOOLEAN);
    Owned_key m_key;
    Owned_handle m_event;
    Owned_wait m_wait;
    HWND m_window = nullptr;
    UINT m_message = 0;
    bool m_subtree = false;
};
