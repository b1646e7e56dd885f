// Shows the share dialog in one UI language for a screenshot, then lets it end by itself.
// Usage: kv_share_dialog_preview <language id in hex> <milliseconds shown>
#include "packets/device_life.h"
#include "shell/warning_popup.h"
#include "preview_record.h"
#include "shell/app_globals.h"

#include <cstdlib>

namespace
{

constexpr uint32_t k_device_id = 7;
LANGID g_language = 0x0409;

// The dialog loads its strings on its own thread, in that thread's language.
DWORD WINAPI show_in_language(LPVOID)
{
    SetThreadUILanguage(g_language);
    SetThreadLocale(MAKELCID(g_language, SORT_DEFAULT));
    auto* context = static_cast<Share_question*>(std::malloc(sizeof(Share_question)));
    *context = {k_device_id, g_device_ask(k_device_id)};
    return g_start_warning_popup(context);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    g_language = argc > 1 ? static_cast<LANGID>(wcstoul(argv[1], nullptr, 16)) : 0x0409;
    DWORD shown_ms = argc > 2 ? wcstoul(argv[2], nullptr, 10) : 4000;
    g_instance = GetModuleHandleW(nullptr);
    {
        Lock_hold hold(g_device_list_mutex);
        g_device_list.push_back(
            {Usb_device_state::pending_return, g_preview_record(k_device_id, "USB Flash Disk"), 1});
    }
    HANDLE thread = CreateThread(nullptr, 0, show_in_language, nullptr, 0, nullptr);
    if (!thread)
        return 1;
    Sleep(shown_ms);
    // The device leaves: the dialog's timer ends it.
    {
        Lock_hold hold(g_device_list_mutex);
        g_device_list.clear();
    }
    WaitForSingleObject(thread, 10000);
    CloseHandle(thread);
    return 0;
}
