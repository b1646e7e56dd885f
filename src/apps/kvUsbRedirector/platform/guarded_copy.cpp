#include "guarded_copy.h"

#include <windows.h>
#include <string.h>

#include "../portable/bounded_copy.h"

namespace
{

Copy_status status_of(int code)
{
    return code == 0 ? Copy_status::ok : Copy_status::failed;
}

} // namespace

bool g_range_accessible(const void* address, size_t size, bool for_write)
{
    if (size == 0)
        return true;
    auto start = reinterpret_cast<uintptr_t>(address);
    if (start == 0 || start + size < start)
        return false;
    const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                           PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    const DWORD writable =
        PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    uintptr_t cursor = start;
    const uintptr_t end = start + size;
    while (cursor < end)
    {
        MEMORY_BASIC_INFORMATION info;
        const void* at = static_cast<const char*>(address) + (cursor - start);
        if (VirtualQuery(at, &info, sizeof info) == 0)
            return false;
        if (info.State != MEM_COMMIT || (info.Protect & (PAGE_GUARD | PAGE_NOACCESS)) ||
            !(info.Protect & (for_write ? writable : readable)))
            return false;
        uintptr_t region_end = reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize;
        if (region_end <= cursor)
            return false;
        cursor = region_end;
    }
    return true;
}

#ifdef _MSC_VER
Copy_status g_guarded_copy(void* destination, size_t destination_size, const void* source,
                           size_t count, int* error)
{
    __try
    {
        int code = kv::bounded_copy(destination, destination_size, source, count);
        *error = code;
        return status_of(code);
    }
    __except (EXCEPTION_EXECUTE_HANDLER)
    {
        *error = static_cast<int>(GetExceptionCode());
        return Copy_status::faulted;
    }
}

Copy_status g_guarded_copy_own(void* destination, size_t destination_size, const void* source,
                               size_t count, int* error)
{
    return g_guarded_copy(destination, destination_size, source, count, error);
}
#else
// mingw has no __try: the ranges are probed first, which catches the unmapped and protected
// addresses a peer can hand us.
Copy_status g_guarded_copy(void* destination, size_t destination_size, const void* source,
                           size_t count, int* error)
{
    if (destination && source && count <= destination_size &&
        (!g_range_accessible(source, count, false) ||
         !g_range_accessible(destination, count, true)))
    {
        SetLastError(ERROR_NOACCESS);
        *error = ERROR_NOACCESS;
        return Copy_status::faulted;
    }
    int code = kv::bounded_copy(destination, destination_size, source, count);
    *error = code;
    return status_of(code);
}

Copy_status g_guarded_copy_own(void* destination, size_t destination_size, const void* source,
                               size_t count, int* error)
{
    int code = kv::bounded_copy(destination, destination_size, source, count);
    *error = code;
    return status_of(code);
}
#endif
