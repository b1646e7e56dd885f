// Exits with the channel's destructor logging through the production platform binding: with a
// trace session at level 4 that must work whatever order the static destructors run in.
#include "channel/server_channel.h"
#include "debug/usb_debug.h"

int main()
{
    g_trace_logger_handle = 1; // not a real session: TraceEvent fails and switches tracing off
    g_trace_enable_level = 4;
    g_trace_enabled = 1;
    return g_virtual_channel.is_open() ? 1 : 0;
}
