// Levelled logging to the event log (errors, warnings) and to the trace provider.
#pragma once

#include <windows.h>
#include <evntrace.h>
#include <cstdarg>

// Level 2 error, 3 warning, 4 trace; other levels are dropped.
bool g_log(int level, const wchar_t* format, ...);
bool g_report_event(int level, const wchar_t* format, va_list args);
bool g_trace_event(UCHAR level, const wchar_t* format, va_list args);

ULONG WINAPI g_control_callback(WMIDPREQUESTCODE request, PVOID context, ULONG* reserved,
                                PVOID buffer);
// Each returns false when its registration call failed (already logged).
bool g_register_trace_guid();
bool g_unregister_trace_guid();
bool g_register_event_source();
// Writes the count of errors and warnings held back from the event log first, if any.
void g_deregister_event_source();

extern TRACEHANDLE g_trace_registration_handle;
extern TRACEHANDLE g_trace_logger_handle;
extern volatile UCHAR g_trace_enable_level;
extern volatile LONG g_trace_enabled;
extern HANDLE g_event_source_handle;

extern const GUID g_trace_control_guid;
extern const GUID g_trace_event_class_guid;
constexpr DWORD k_event_id_error = 0xC0020001;
constexpr DWORD k_event_id_warning = 0x80020002;
// Information events, made of a message of the table and its inserts.
constexpr DWORD k_event_id_no_channel = 0x40020010;      // session
constexpr DWORD k_event_id_device_shared = 0x40020011;   // user, session, client, device, id
constexpr DWORD k_event_id_device_declined = 0x40020012; // the same five
constexpr DWORD k_event_id_device_refused = 0x40020013;  // the same five
constexpr DWORD k_event_id_device_removed = 0x40020014;  // the same five
constexpr DWORD k_event_id_device_blocked = 0x40020015;  // the same five and why
bool g_report_information(DWORD id, const wchar_t* const* inserts, WORD count);

// The longest message a trace record can carry: its 16-bit Size must hold 48 + 2(n + 1) + 4.
constexpr size_t k_max_trace_message = (0xFFFF - 48 - 4) / 2 - 1;
