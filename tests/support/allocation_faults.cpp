#include "allocation_faults.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace
{
std::atomic<size_t> g_failing_size{0};
std::atomic<DWORD> g_failing_thread{0};
} // namespace

void g_fail_next_allocation(size_t size, DWORD thread_id)
{
    g_failing_thread = thread_id;
    g_failing_size = size;
}

bool g_allocation_failed()
{
    return g_failing_size == 0;
}

// The nothrow and array forms of the runtime call this one; operator delete stays the
// runtime's, which frees what malloc gave.
void* operator new(size_t size)
{
    size_t armed = g_failing_size.load(std::memory_order_relaxed);
    if (armed != 0 && armed == size &&
        (g_failing_thread == 0 || g_failing_thread == GetCurrentThreadId()) &&
        g_failing_size.compare_exchange_strong(armed, 0))
        throw std::bad_alloc();
    if (void* block = std::malloc(size ? size : 1))
        return block;
    throw std::bad_alloc();
}
