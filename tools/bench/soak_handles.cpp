#include "soak_handles.h"

#include <winternl.h>

namespace
{

// The unicode string that NtQueryObject returns first in its buffer.
std::string text_of(HANDLE handle, int what)
{
    static const auto query = reinterpret_cast<decltype(&NtQueryObject)>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
    alignas(8) BYTE buffer[1024] = {};
    ULONG length = 0;
    if (!query || query(handle, static_cast<OBJECT_INFORMATION_CLASS>(what), buffer,
                        sizeof buffer - 2, &length) < 0)
        return "";
    const auto* text = reinterpret_cast<const UNICODE_STRING*>(buffer);
    std::string narrow;
    for (USHORT i = 0; text->Buffer && i < text->Length / 2; ++i)
        narrow += text->Buffer[i] < 128 ? static_cast<char>(text->Buffer[i]) : '?';
    return narrow;
}

} // namespace

std::map<uintptr_t, std::string> g_open_handles()
{
    std::map<uintptr_t, std::string> handles;
    DWORD flags = 0;
    for (uintptr_t value = 4; value < 0x10000; value += 4)
    {
        const HANDLE handle = reinterpret_cast<HANDLE>(value);
        if (!GetHandleInformation(handle, &flags))
            continue;
        // Only the kind: asking a name waits for a synchronous call pending on the handle.
        handles[value] = text_of(handle, ObjectTypeInformation);
    }
    return handles;
}

std::string g_new_handles(const std::map<uintptr_t, std::string>& before,
                          const std::map<uintptr_t, std::string>& now)
{
    std::map<std::string, int> kinds;
    for (const auto& [value, kind] : now)
        if (auto it = before.find(value); it == before.end() || it->second != kind)
            ++kinds[kind];
    std::string list;
    for (const auto& [kind, count] : kinds)
        list += (list.empty() ? "" : ", ") + kind + (count > 1 ? " x" + std::to_string(count) : "");
    return list;
}
