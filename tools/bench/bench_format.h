// Formatting shared by the benchmark's tables.
#pragma once

#include "sim_session.h"

#include <cstdint>
#include <cstdio>
#include <string>

inline bool is_out(Sim_transfer kind)
{
    return kind == Sim_transfer::plain_out || kind == Sim_transfer::mdl_out;
}

inline bool is_mdl(Sim_transfer kind)
{
    return kind == Sim_transfer::mdl_in || kind == Sim_transfer::mdl_out;
}

inline double per_mib(double ms, uint64_t bytes)
{
    return bytes ? ms / (bytes / 1048576.0) : 0;
}

// Milliseconds of the Wine server per MiB, or "?" when its time is not known.
inline std::string server_per_mib(double server_ms, uint64_t bytes)
{
    if (server_ms < 0)
        return "?";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", per_mib(server_ms, bytes));
    return text;
}
