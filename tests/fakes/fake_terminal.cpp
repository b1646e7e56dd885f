#include "fake_terminal.h"

bool g_terminal_send(HANDLE terminal, const std::vector<BYTE>& bytes)
{
    DWORD written = 0;
    return WriteFile(terminal, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

DWORD g_terminal_available(HANDLE terminal)
{
    DWORD available = 0;
    if (!PeekNamedPipe(terminal, nullptr, 0, nullptr, &available, nullptr))
        return 0;
    return available;
}

std::vector<BYTE> g_terminal_receive(HANDLE terminal, size_t count, DWORD timeout_ms)
{
    std::vector<BYTE> bytes;
    ULONGLONG deadline = GetTickCount64() + timeout_ms;
    while (bytes.size() < count && GetTickCount64() < deadline)
    {
        DWORD available = g_terminal_available(terminal);
        if (available == 0)
        {
            Sleep(1);
            continue;
        }
        DWORD wanted = static_cast<DWORD>(count - bytes.size());
        if (available < wanted)
            wanted = available;
        std::vector<BYTE> chunk(wanted);
        DWORD got = 0;
        if (!ReadFile(terminal, chunk.data(), wanted, &got, nullptr))
            break;
        bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + got);
    }
    return bytes;
}

std::vector<BYTE> g_bytes(std::initializer_list<int> values)
{
    std::vector<BYTE> bytes;
    for (int v : values)
        bytes.push_back(static_cast<BYTE>(v));
    return bytes;
}
