// Transfer data both simulated peers can regenerate and check.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

inline uint8_t g_sim_byte(uint32_t handle, size_t index)
{
    return static_cast<uint8_t>(handle * 31u + index * 7u + (index >> 8));
}

// The bytes of handle 0; they repeat every 64 KiB, and another handle adds its own constant.
// Filling and checking from this table keeps the simulator's share of a benchmark small.
inline const uint8_t* g_sim_pattern()
{
    static const std::array<uint8_t, 65536> pattern = []
    {
        std::array<uint8_t, 65536> p{};
        for (size_t i = 0; i < p.size(); ++i)
            p[i] = g_sim_byte(0, i);
        return p;
    }();
    return pattern.data();
}

inline void g_sim_fill(uint8_t* data, size_t size, uint32_t handle)
{
    const uint8_t* pattern = g_sim_pattern();
    const uint8_t add = static_cast<uint8_t>(handle * 31u);
    for (size_t done = 0; done < size; done += 65536)
    {
        const size_t n = size - done < 65536 ? size - done : 65536;
        for (size_t i = 0; i < n; ++i)
            data[done + i] = static_cast<uint8_t>(pattern[i] + add);
    }
}

inline bool g_sim_check(const uint8_t* data, size_t size, uint32_t handle)
{
    const uint8_t* pattern = g_sim_pattern();
    const uint8_t add = static_cast<uint8_t>(handle * 31u);
    for (size_t done = 0; done < size; done += 65536)
    {
        const size_t n = size - done < 65536 ? size - done : 65536;
        uint8_t differ = 0;
        for (size_t i = 0; i < n; ++i)
            differ |= static_cast<uint8_t>(data[done + i] ^ static_cast<uint8_t>(pattern[i] + add));
        if (differ)
            return false;
    }
    return true;
}
