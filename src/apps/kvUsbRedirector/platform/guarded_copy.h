// Bounded copy that reports a bad argument by its error code and an unreadable or unwritable
// range as a fault, instead of crashing the process.
#pragma once

#include <cstddef>
#include <cstdint>

enum class Copy_status
{
    ok,
    failed,  // memcpy_s returned an error code
    faulted, // the source or destination range is not accessible
};

Copy_status g_guarded_copy(void* destination, size_t destination_size, const void* source,
                           size_t count, int* error);
// The same between the program's own buffers, whose ranges are known to be mapped: guarded
// where the compiler catches faults, without the probe that mingw makes of a peer's addresses.
Copy_status g_guarded_copy_own(void* destination, size_t destination_size, const void* source,
                               size_t count, int* error);

// True when every byte of [address, address + size) is committed memory with the access asked.
bool g_range_accessible(const void* address, size_t size, bool for_write);

// An MDL transfer's buffer, which the port driver names by its 64-bit address in the process.
inline void* g_peer_address(uint64_t address)
{
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the driver hands the address as a number
    return reinterpret_cast<void*>(static_cast<uintptr_t>(address));
}
