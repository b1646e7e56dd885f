// The bus driver (session registration) and the port driver (the session's virtual USB host).
#pragma once

#include <windows.h>

constexpr DWORD IOCTL_PORT_QUERY = 0x2A2004;
constexpr DWORD IOCTL_PORT_COMPLETE = 0x2A2008;
constexpr DWORD IOCTL_PORT_PLUG_IN = 0x2A200C;
constexpr DWORD IOCTL_PORT_UNPLUG = 0x2A2010;
constexpr DWORD IOCTL_BUS_REGISTER_SESSION = 0x2A6004;
constexpr DWORD IOCTL_BUS_UNREGISTER_SESSION = 0x2A6008;

constexpr DWORD k_port_query_buffer_size = 5152;

extern const GUID g_bus_driver_interface_class;
extern const GUID g_port_driver_interface_class;

extern HANDLE g_bus_driver_handle;
extern HANDLE g_port_driver_handle;

bool g_open_bus_driver();
bool g_open_port_driver();
bool g_close_bus_driver();
bool g_close_port_driver();

// An overlapped call on the port driver, its buffer both input and output; waited for without
// limit, or until abort_event (when given) is set, which cancels it.
bool g_call_port_driver(DWORD code, void* buffer, DWORD size, DWORD* bytes_returned,
                        HANDLE abort_event = nullptr);
// Synchronous call on the bus driver with the 32-bit session id as buffer.
bool g_call_bus_driver(DWORD code, DWORD session_id);
