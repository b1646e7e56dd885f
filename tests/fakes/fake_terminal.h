// The terminal's end of the fake virtual channel, driven by the test.
#pragma once

#include <windows.h>
#include <vector>

// Writes bytes as one pipe write.
bool g_terminal_send(HANDLE terminal, const std::vector<BYTE>& bytes);
// Reads exactly count bytes, giving up after timeout_ms (tests must not hang).
std::vector<BYTE> g_terminal_receive(HANDLE terminal, size_t count, DWORD timeout_ms = 10000);
// Bytes waiting on the terminal's side.
DWORD g_terminal_available(HANDLE terminal);
std::vector<BYTE> g_bytes(std::initializer_list<int> values);
