// Production binding of the platform seam: the real system calls.
#include "platform.h"

#include <strsafe.h>

namespace
{

class Win32_platform final : public Platform
{
  public:
    HANDLE virtual_channel_open(HANDLE server, DWORD session, LPSTR name) override
    {
        return WTSVirtualChannelOpen(server, session, name);
    }
    BOOL virtual_channel_query(HANDLE channel, WTS_VIRTUAL_CLASS cls, PVOID* buffer,
                               DWORD* bytes) override
    {
        return WTSVirtualChannelQuery(channel, cls, buffer, bytes);
    }
    BOOL virtual_channel_close(HANDLE channel) override
    {
        return WTSVirtualChannelClose(channel);
    }
    void free_memory(PVOID memory) override
    {
        WTSFreeMemory(memory);
    }
    BOOL read_file(HANDLE file, LPVOID buffer, DWORD size, OVERLAPPED* overlapped) override
    {
        return ReadFile(file, buffer, size, nullptr, overlapped);
    }
    BOOL write_file(HANDLE file, LPCVOID buffer, DWORD size, OVERLAPPED* overlapped) override
    {
        return WriteFile(file, buffer, size, nullptr, overlapped);
    }
    BOOL cancel_io_ex(HANDLE file, OVERLAPPED* overlapped) override
    {
        return CancelIoEx(file, overlapped);
    }
    bool query_session_text(WTS_INFO_CLASS what, wchar_t* text, DWORD capacity) override
    {
        LPWSTR found = nullptr;
        DWORD bytes = 0;
        if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, what,
                                         &found, &bytes))
            return false;
        const bool copied = SUCCEEDED(StringCchCopyW(text, capacity, found));
        WTSFreeMemory(found);
        return copied;
    }
    HDEVINFO get_class_devs(const GUID* cls, DWORD flags) override
    {
        return SetupDiGetClassDevsW(cls, nullptr, nullptr, flags);
    }
    BOOL enum_device_interfaces(HDEVINFO set, const GUID* cls, DWORD index,
                                SP_DEVICE_INTERFACE_DATA* data) override
    {
        return SetupDiEnumDeviceInterfaces(set, nullptr, cls, index, data);
    }
    BOOL get_device_interface_detail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                     SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, DWORD size,
                                     DWORD* required, SP_DEVINFO_DATA* devinfo) override
    {
        return SetupDiGetDeviceInterfaceDetailW(set, data, detail, size, required, devinfo);
    }
    BOOL get_device_registry_property(HDEVINFO set, SP_DEVINFO_DATA* devinfo, DWORD property,
                                      DWORD* type, BYTE* buffer, DWORD size,
                                      DWORD* required) override
    {
        return SetupDiGetDeviceRegistryPropertyW(set, devinfo, property, type, buffer, size,
                                                 required);
    }
    BOOL destroy_device_info_list(HDEVINFO set) override
    {
        return SetupDiDestroyDeviceInfoList(set);
    }
    HANDLE create_file(LPCWSTR path, DWORD access, DWORD share, DWORD disposition,
                       DWORD flags) override
    {
        return CreateFileW(path, access, share, nullptr, disposition, flags, nullptr);
    }
    BOOL device_io_control(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                           DWORD out_size, DWORD* returned, OVERLAPPED* overlapped) override
    {
        return DeviceIoControl(device, code, in, in_size, out, out_size, returned, overlapped);
    }
    BOOL cancel_io(HANDLE device) override
    {
        return CancelIo(device);
    }
    BOOL close_handle(HANDLE device) override
    {
        return CloseHandle(device);
    }
    ULONG register_trace_guids(WMIDPREQUEST callback, PVOID context, const GUID* control,
                               ULONG count, TRACE_GUID_REGISTRATION* classes,
                               TRACEHANDLE* registration) override
    {
        return RegisterTraceGuidsW(callback, context, control, count, classes, nullptr, nullptr,
                                   registration);
    }
    ULONG unregister_trace_guids(TRACEHANDLE registration) override
    {
        return UnregisterTraceGuids(registration);
    }
    ULONG trace_event(TRACEHANDLE logger, EVENT_TRACE_HEADER* record) override
    {
        return TraceEvent(logger, record);
    }
    TRACEHANDLE get_trace_logger_handle(PVOID buffer) override
    {
        return GetTraceLoggerHandle(buffer);
    }
    UCHAR get_trace_enable_level(TRACEHANDLE logger) override
    {
        return GetTraceEnableLevel(logger);
    }
    ULONG get_trace_enable_flags(TRACEHANDLE logger) override
    {
        return GetTraceEnableFlags(logger);
    }
    HANDLE register_event_source(LPCWSTR server, LPCWSTR source) override
    {
        return RegisterEventSourceW(server, source);
    }
    BOOL report_event(HANDLE source, WORD type, WORD category, DWORD id, PSID user, WORD count,
                      LPCWSTR* strings) override
    {
        return ReportEventW(source, type, category, id, user, count, 0, strings, nullptr);
    }
    BOOL deregister_event_source(HANDLE source) override
    {
        return DeregisterEventSource(source);
    }
};

// Built on first use and never destroyed: static destructors (the channel's at exit) log and
// close through it, in whatever order the runtime runs them.
Platform& production_binding()
{
    static Platform* const binding = new Win32_platform;
    return *binding;
}

Platform* g_binding = nullptr; // constant-initialised: valid before any constructor runs

} // namespace

Platform& g_platform()
{
    return g_binding ? *g_binding : production_binding();
}

void g_set_platform(Platform* binding)
{
    g_binding = binding;
}
