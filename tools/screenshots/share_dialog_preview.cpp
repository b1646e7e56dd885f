// Shows the share dialog in one UI language for a screenshot, then lets it end by itself.
// Usage: kv_share_dialog_preview <language id in hex> <milliseconds shown>
#include "packets/usb_device_list.h"
#include "shell/warning_popup.h"
#include "portable/frame.h"
#include "shell/app_globals.h"

#include <cstdlib>
#include <cstring>

namespace
{

constexpr uint32_t k_device_id = 7;
LANGID g_language = 0x0409;

// A record as the terminal sends it, named "USB Flash Disk".
Usb_device_record* make_record()
{
    const char name[] = "USB Flash Disk";
    const char identity[] = "0001";
    const size_t size = 25 + sizeof name + sizeof identity;
    auto* bytes = static_cast<BYTE*>(std::calloc(1, size));
    bytes[0] = static_cast<BYTE>(size);
    kv::store_u32(bytes + 2, k_device_id);
    bytes[19] = 25;
    bytes[21] = static_cast<BYTE>(25 + sizeof name);
    std::memcpy(bytes + 25, name, sizeof name);
    std::memcpy(bytes + 25 + sizeof name, identity, sizeof identity);
    return reinterpret_cast<Usb_device_record*>(bytes);
}

// The dialog loads its strings on its own thread, in that thread's language.
DWORD WINAPI show_in_language(LPVOID)
{
    SetThreadUILanguage(g_language);
    SetThreadLocale(MAKELCID(g_language, SORT_DEFAULT));
    auto* context = static_cast<uint32_t*>(std::malloc(sizeof(uint32_t)));
    *context = k_device_id;
    return g_start_warning_popup(context);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    g_language = argc > 1 ? static_cast<LANGID>(wcstoul(argv[1], nullptr, 16)) : 0x0409;
    DWORD shown_ms = argc > 2 ? wcstoul(argv[2], nullptr, 10) : 4000;
    g_instance = GetModuleHandleW(nullptr);
    g_device_list.push_back(
        {Usb_device_state::pending_return, Owned_block<Usb_device_record>(make_record()), 1});
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
