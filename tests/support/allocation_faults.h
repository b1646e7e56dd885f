// Makes one chosen heap allocation fail, to walk the program's out-of-memory paths: the test
// binary replaces the global operator new, through which every allocation of the program goes.
#pragma once

#include <windows.h>
#include <cstddef>

// The next allocation of exactly size bytes (on that thread; 0: on any thread) fails.
void g_fail_next_allocation(size_t size, DWORD thread_id = 0);
// True once the armed failure has happened.
bool g_allocation_failed();
