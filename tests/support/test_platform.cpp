#include "test_platform.h"

#include "manager/usb_driver.h"

#include <algorithm>
#include <cstring>

namespace
{

constexpr DWORD k_fail_error = ERROR_GEN_FAILURE;

} // namespace

std::vector<Log_line> Test_platform::lines()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
}

void Test_platform::clear_lines()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.clear();
        m_traces.clear();
    }
    clear_events();
}

size_t Test_platform::count_lines_locked(const std::wstring& text) const
{
    return static_cast<size_t>(std::count_if(
        m_lines.begin(), m_lines.end(),
        [&](const Log_line& line) { return line.text.find(text) != std::wstring::npos; }));
}

size_t Test_platform::count_lines(const std::wstring& text)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return count_lines_locked(text);
}

bool Test_platform::wait_for_line(const std::wstring& text, DWORD timeout_ms)
{
    return wait_until(timeout_ms, [&] { return count_lines_locked(text) > 0; });
}

std::vector<Test_platform::Trace_record> Test_platform::trace_records()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_traces;
}

ULONG Test_platform::trace_event(TRACEHANDLE logger, EVENT_TRACE_HEADER* record)
{
    auto* bytes = reinterpret_cast<BYTE*>(record);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_traces.push_back({std::vector<BYTE>(bytes, bytes + record->Size)});
        m_lines.push_back(
            {record->Class.Level, reinterpret_cast<const wchar_t*>(bytes + sizeof *record)});
    }
    m_changed.notify_all();
    Sim_platform::trace_event(logger, record);
    SetLastError(ERROR_SUCCESS); // as a real sink may: the logger must keep the caller's error
    return trace_status;
}

HANDLE Test_platform::virtual_channel_open(HANDLE server, DWORD session, LPSTR name)
{
    if (channel_fails)
    {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    HANDLE channel = Sim_platform::virtual_channel_open(server, session, name);
    channel_opens += channel != nullptr;
    return channel;
}

BOOL Test_platform::device_io_control(HANDLE device, DWORD code, LPVOID in, DWORD in_size,
                                      LPVOID out, DWORD out_size, DWORD* returned,
                                      OVERLAPPED* overlapped)
{
    auto call = [&]
    {
        return Ioctl_call{
            device, code,
            std::vector<BYTE>(static_cast<BYTE*>(in), static_cast<BYTE*>(in) + in_size),
            GetCurrentThreadId()};
    };
    if (is_port(device))
    {
        if (port_behaviour)
            return scripted_call(call(), out, out_size, returned, overlapped);
        std::lock_guard<std::mutex> lock(m_port_mutex);
        if (code == IOCTL_PORT_QUERY)
            ++queries;
        if (m_removed)
        {
            SetLastError(ERROR_DEVICE_NOT_CONNECTED);
            return FALSE;
        }
        if (code == IOCTL_PORT_COMPLETE && completions_fail)
        {
            ++refused_completions;
            SetLastError(k_fail_error);
            return FALSE;
        }
        return Sim_platform::device_io_control(device, code, in, in_size, out, out_size, returned,
                                               overlapped);
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.push_back(call());
    }
    m_changed.notify_all();
    if ((code == IOCTL_BUS_REGISTER_SESSION && bus_register_fails) ||
        (code == IOCTL_BUS_UNREGISTER_SESSION && bus_unregister_fails))
    {
        SetLastError(k_fail_error);
        return FALSE;
    }
    return Sim_platform::device_io_control(device, code, in, in_size, out, out_size, returned,
                                           overlapped);
}

BOOL Test_platform::scripted_call(Ioctl_call call, LPVOID out, DWORD out_size, DWORD* returned,
                                  OVERLAPPED* overlapped)
{
    const Port_outcome outcome = port_behaviour(call);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.push_back(call);
    m_changed.notify_all();
    switch (outcome)
    {
    case Port_outcome::complete:
        if (returned)
            *returned = 0;
        return TRUE;
    case Port_outcome::fail:
        SetLastError(k_fail_error);
        return FALSE;
    case Port_outcome::pend_done:
        overlapped->Internal = 0;
        SetEvent(overlapped->hEvent);
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    case Port_outcome::pend:
        break;
    }
    overlapped->Internal = 0x103; // STATUS_PENDING
    m_pending.push_back(Pending{std::move(call), overlapped, static_cast<BYTE*>(out), out_size});
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

bool Test_platform::complete_pending(DWORD code, const std::vector<BYTE>& reply)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = std::find_if(m_pending.begin(), m_pending.end(),
                           [code](const Pending& p) { return p.call.code == code; });
    if (it == m_pending.end())
        return false;
    const size_t n = std::min<size_t>(reply.size(), it->size);
    if (n)
        std::memcpy(it->buffer, reply.data(), n);
    it->overlapped->Internal = 0;
    it->overlapped->InternalHigh = n;
    SetEvent(it->overlapped->hEvent);
    m_pending.erase(it);
    return true;
}

// Like CancelIo: also ends the calling thread's pending scripted calls on that device.
BOOL Test_platform::cancel_io(HANDLE device)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++cancel_calls;
        std::erase_if(m_pending,
                      [&](const Pending& p)
                      {
                          if (p.call.device != device || p.call.thread_id != GetCurrentThreadId())
                              return false;
                          p.overlapped->Internal = 0xC0000120; // STATUS_CANCELLED
                          SetEvent(p.overlapped->hEvent);
                          return true;
                      });
    }
    return Sim_platform::cancel_io(device);
}

size_t Test_platform::pending_count()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pending.size();
}

std::vector<Ioctl_call> Test_platform::calls()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

size_t Test_platform::count_calls_locked(DWORD code) const
{
    return static_cast<size_t>(std::count_if(
        m_calls.begin(), m_calls.end(), [code](const Ioctl_call& c) { return c.code == code; }));
}

size_t Test_platform::count_calls(DWORD code)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return count_calls_locked(code);
}

bool Test_platform::wait_for_calls(DWORD code, size_t count, DWORD timeout_ms)
{
    return wait_until(timeout_ms, [&] { return count_calls_locked(code) >= count; });
}

void Test_platform::remove_port_device()
{
    std::lock_guard<std::mutex> lock(m_port_mutex);
    m_removed = true;
    end_pending_calls();
}

bool g_terminal_send(HANDLE terminal, const std::vector<BYTE>& bytes)
{
    DWORD written = 0;
    return WriteFile(terminal, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

DWORD g_terminal_available(HANDLE terminal)
{
    DWORD available = 0;
    if (!PeekNamedPipe(terminal, nullptr, 0, nullptr, &available, nullptr))
        return 0;
    return available;
}

std::vector<BYTE> g_terminal_receive(HANDLE terminal, size_t count, DWORD timeout_ms)
{
    std::vector<BYTE> bytes(count);
    size_t got = 0;
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    while (got < count && GetTickCount64() < deadline)
    {
        DWORD n = static_cast<DWORD>(std::min<size_t>(count - got, g_terminal_available(terminal)));
        if (n == 0)
            Sleep(1);
        else if (!ReadFile(terminal, bytes.data() + got, n, &n, nullptr))
            break;
        got += n;
    }
    bytes.resize(got);
    return bytes;
}

std::vector<BYTE> g_bytes(std::initializer_list<int> values)
{
    return std::vector<BYTE>(values.begin(), values.end());
}

BOOL Test_platform::virtual_channel_query(HANDLE channel, WTS_VIRTUAL_CLASS kind, PVOID* buffer,
                                          DWORD* bytes)
{
    const BOOL given = Sim_platform::virtual_channel_query(channel, kind, buffer, bytes);
    channel_buffers_given += given != FALSE;
    return given;
}

void Test_platform::free_memory(PVOID memory)
{
    ++channel_buffers_freed;
    Sim_platform::free_memory(memory);
}
