// The one seam to the peers that a test machine does not have: the virtual channel and its
// reads and writes, device discovery and I/O control of the two drivers, the trace provider and
// the event log.
// Production binds it to the real calls; tests and the simulator install their own binding.
#pragma once

#include <windows.h>
#include <setupapi.h>
#include <wtsapi32.h>
#include <evntrace.h>

class Platform
{
  public:
    virtual ~Platform() = default;

    // Remote desktop services: the static virtual channel.
    virtual HANDLE virtual_channel_open(HANDLE server, DWORD session, LPSTR name) = 0;
    virtual BOOL virtual_channel_query(HANDLE channel, WTS_VIRTUAL_CLASS cls, PVOID* buffer,
                                       DWORD* bytes) = 0;
    virtual BOOL virtual_channel_close(HANDLE channel) = 0;
    virtual void free_memory(PVOID memory) = 0;
    // Overlapped reads and writes on the channel's file handle, and their cancellation.
    virtual BOOL read_file(HANDLE file, LPVOID buffer, DWORD size, OVERLAPPED* overlapped) = 0;
    virtual BOOL write_file(HANDLE file, LPCVOID buffer, DWORD size, OVERLAPPED* overlapped) = 0;
    virtual BOOL cancel_io_ex(HANDLE file, OVERLAPPED* overlapped) = 0;
    // A text of this session (WTSQuerySessionInformation): its user, its client's name.
    virtual bool query_session_text(WTS_INFO_CLASS what, wchar_t* text, DWORD capacity) = 0;

    // Device installation services.
    virtual HDEVINFO get_class_devs(const GUID* cls, DWORD flags) = 0;
    virtual BOOL enum_device_interfaces(HDEVINFO set, const GUID* cls, DWORD index,
                                        SP_DEVICE_INTERFACE_DATA* data) = 0;
    virtual BOOL get_device_interface_detail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                             SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, DWORD size,
                                             DWORD* required, SP_DEVINFO_DATA* devinfo) = 0;
    virtual BOOL get_device_registry_property(HDEVINFO set, SP_DEVINFO_DATA* devinfo,
                                              DWORD property, DWORD* type, BYTE* buffer, DWORD size,
                                              DWORD* required) = 0;
    virtual BOOL destroy_device_info_list(HDEVINFO set) = 0;

    // The two kernel drivers.
    virtual HANDLE create_file(LPCWSTR path, DWORD access, DWORD share, DWORD disposition,
                               DWORD flags) = 0;
    virtual BOOL device_io_control(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                                   DWORD out_size, DWORD* returned, OVERLAPPED* overlapped) = 0;
    virtual BOOL cancel_io(HANDLE device) = 0;
    virtual BOOL close_handle(HANDLE device) = 0;

    // Event tracing.
    virtual ULONG register_trace_guids(WMIDPREQUEST callback, PVOID context, const GUID* control,
                                       ULONG count, TRACE_GUID_REGISTRATION* classes,
                                       TRACEHANDLE* registration) = 0;
    virtual ULONG unregister_trace_guids(TRACEHANDLE registration) = 0;
    virtual ULONG trace_event(TRACEHANDLE logger, EVENT_TRACE_HEADER* record) = 0;
    virtual TRACEHANDLE get_trace_logger_handle(PVOID buffer) = 0;
    virtual UCHAR get_trace_enable_level(TRACEHANDLE logger) = 0;
    virtual ULONG get_trace_enable_flags(TRACEHANDLE logger) = 0;

    // Event log.
    virtual HANDLE register_event_source(LPCWSTR server, LPCWSTR source) = 0;
    // user: the account the event is about (null for none), shown in Event Viewer's User.
    virtual BOOL report_event(HANDLE source, WORD type, WORD category, DWORD id, PSID user,
                              WORD count, LPCWSTR* strings) = 0;
    virtual BOOL deregister_event_source(HANDLE source) = 0;
};

// The binding in use; the production binding until another is installed.
Platform& g_platform();
// Installs a binding (nullptr restores the production one). Call while no engine thread runs.
void g_set_platform(Platform* binding);
