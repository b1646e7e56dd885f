// Transfer data both simulated peers can regenerate and check.
#pragma once

#include <cstddef>
#include <cstdint>

inline uint8_t g_sim_byte(uint32_t handle, size_t index)
{
    return static_cast<uint8_t>(handle * 31u + index * 7u + (index >> 8));
}

inline void g_sim_fill(uint8_t* data, size_t size, uint32_t handle)
{
    for (size_t i = 0; i < size; ++i)
        data[i] = g_sim_byte(handle, i);
}

inline bool g_sim_check(const uint8_t* data, size_t size, uint32_t handle)
{
    for (size_t i = 0; i < size; ++i)
        if (data[i] != g_sim_byte(handle, i))
            return false;
    return true;
}
