// memcpy_s semantics without the C runtime's invalid-parameter handler, which may end the
// process: EINVAL for a null pointer, ERANGE (destination cleared) when the count exceeds it.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace kv
{

inline int bounded_copy(void* destination, size_t destination_size, const void* source,
                        size_t count)
{
    if (count == 0)
        return 0;
    if (!destination)
        return EINVAL;
    if (!source)
    {
        std::memset(destination, 0, destination_size);
        return EINVAL;
    }
    if (count > destination_size)
    {
        std::memset(destination, 0, destination_size);
        return ERANGE;
    }
    std::memmove(destination, source, count);
    return 0;
}

} // namespace kv
