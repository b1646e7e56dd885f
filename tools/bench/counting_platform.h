// A platform binding in front of the simulator's: every call is passed on inside a Seam_scope,
// so that what the simulated drivers do on the engine's threads is not counted as the
// engine's, and the calls that stand for system calls (the drivers' I/O control and CancelIo)
// are counted once each.
#pragma once

#include "bench_meter.h"
#include "platform/platform.h"

class Counting_platform : public Platform
{
  public:
    explicit Counting_platform(Platform& inner) : m_inner(inner) {}

    HANDLE virtual_channel_open(HANDLE server, DWORD session, LPSTR name) override
    {
        Seam_scope scope(k_counted_calls);
        return m_inner.virtual_channel_open(server, session, name);
    }
    BOOL virtual_channel_query(HANDLE channel, WTS_VIRTUAL_CLASS cls, PVOID* buffer,
                               DWORD* bytes) override
    {
        Seam_scope scope(k_counted_calls);
        return m_inner.virtual_channel_query(channel, cls, buffer, bytes);
    }
    BOOL virtual_channel_close(HANDLE channel) override
    {
        Seam_scope scope(k_counted_calls);
        return m_inner.virtual_channel_close(channel);
    }
    void free_memory(PVOID memory) override
    {
        Seam_scope scope(k_counted_calls);
        m_inner.free_memory(memory);
    }
    // The channel's reads and writes are counted where the system's calls are (bench_meter).
    BOOL read_file(HANDLE file, LPVOID buffer, DWORD size, OVERLAPPED* overlapped) override
    {
        return m_inner.read_file(file, buffer, size, overlapped);
    }
    BOOL write_file(HANDLE file, LPCVOID buffer, DWORD size, OVERLAPPED* overlapped) override
    {
        return m_inner.write_file(file, buffer, size, overlapped);
    }
    BOOL cancel_io_ex(HANDLE file, OVERLAPPED* overlapped) override
    {
        return m_inner.cancel_io_ex(file, overlapped);
    }
    bool query_session_text(WTS_INFO_CLASS what, wchar_t* text, DWORD capacity) override
    {
        return m_inner.query_session_text(what, text, capacity);
    }
    HDEVINFO get_class_devs(const GUID* cls, DWORD flags) override
    {
        Seam_scope scope(k_counted_calls);
        return m_inner.get_class_devs(cls, flags);
    }
    BOOL enum_device_interfaces(HDEVINFO set, const GUID* cls, DWORD index,
                                SP_DEVICE_INTERFACE_DATA* data) override
    {
        Seam_scope scope(k_counted_calls);
        return m_inner.enum_device_interfaces(set, cls, index, data);
    }
    BOOL get_device_interface_detail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                     SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, DWORD size,
                                     DWORD* required, SP_DEVINFO_DATA* devinfo) override
    {
        Seam_scope scope(k_counted_calls);
        return m_inner.get_device_interface_detail(set, data, detail, size, required, devinfo);
    }
    BOOL get_device_registry_property(HDEVINFO set, SP_DEVINFO_DATA* devinfo, DWORD property,
                                      DWORD* type, BYTE* buffer, DWORD size,
                                      DWORD* required) override
    {
        Seam_scope scope(k_counted_calls);
        return m_inner.get_device_registry_property(set, devinfo, property, type, buffer, size,
                                                    required);
    }
    BOOL destroy_device_info_list(HDEVINFO set) override
    {
        Seam_scope scope(k_counted_calls);
        return m_inner.destroy_device_info_list(set);
    }
    HANDLE create_file(LPCWSTR path, DWORD access, DWORD share, DWORD disposition,
                       DWORD flags) override
    {
        Seam_scope scope(k_counted_calls);
        return m_inner.create_file(path, access, share, disposition, flags);
    }
    BOOL device_io_control(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                           DWORD out_size, DWORD* returned, OVERLAPPED* overlapped) override
    {
        Seam_scope scope(call_device_io_control);
        return m_inner.device_io_control(device, code, in, in_size, out, out_size, returned,
                                         overlapped);
    }
    BOOL cancel_io(HANDLE device) override
    {
        Seam_scope scope(call_cancel_io);
        return m_inner.cancel_io(device);
    }
    BOOL close_handle(HANDLE device) override
    {
        Seam_scope scope(call_close_handle);
        return m_inner.close_handle(device);
    }
    ULONG register_trace_guids(WMIDPREQUEST callback, PVOID context, const GUID* control,
                               ULONG count, TRACE_GUID_REGISTRATION* classes,
                               TRACEHANDLE* registration) override
    {
        Seam_scope scope(k_counted_calls);
        return m_inner.register_trace_guids(callback, context, control, count, classes,
                                            registration);
    }
    ULONG unregister_trace_guids(TRACEHANDLE registration) override
    {
        Seam_scope scope(k_counted_calls);
        return m_inner.unregister_trace_guids(registration);
    }
    ULONG trace_event(TRACEHANDLE logger, EVENT_TRACE_HEADER* record) override
    {
        Seam_scope scope(k_counted_calls);
        return m_inner.trace_event(logger, record);
    }
    TRACEHANDLE get_trace_logger_handle(PVOID buffer) override
    {
        Seam_scope scope(k_counted_calls);
        return m_inner.get_trace_logger_handle(buffer);
    }
    UCHAR get_trace_enable_level(TRACEHANDLE logger) override
    {
        Seam_scope scope(k_counted_calls);
        return m_inner.get_trace_enable_level(logger);
    }
    ULONG get_trace_enable_flags(TRACEHANDLE logger) override
    {
        Seam_scope scope(k_counted_calls);
        return m_inner.get_trace_enable_flags(logger);
    }
    HANDLE register_event_source(LPCWSTR server, LPCWSTR source) override
    {
        Seam_scope scope(k_counted_calls);
        return m_inner.register_event_source(server, source);
    }
    BOOL report_event(HANDLE source, WORD type, WORD category, DWORD id, PSID user, WORD count,
                      LPCWSTR* strings) override
    {
        Seam_scope scope(k_counted_calls);
        return m_inner.report_event(source, type, category, id, user, count, strings);
    }
    BOOL deregister_event_source(HANDLE source) override
    {
        Seam_scope scope(k_counted_calls);
        return m_inner.deregister_event_source(source);
    }

  private:
    Platform& m_inner;
};
