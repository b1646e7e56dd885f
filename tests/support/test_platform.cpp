#include "test_platform.h"

#include "driver/usb_driver.h"

#include <algorithm>

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
    }
    clear_events();
}

size_t Test_platform::count_lines_locked(const std::wstring& text) const
{
    return std::count_if(m_lines.begin(), m_lines.end(),
                         [&](const Log_line& line)
                         { return line.text.find(text) != std::wstring::npos; });
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

ULONG Test_platform::trace_event(TRACEHANDLE logger, EVENT_TRACE_HEADER* record)
{
    const auto* text = reinterpret_cast<const wchar_t*>(record + 1);
    const size_t room = (record->Size - sizeof *record) / sizeof *text;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.push_back({record->Class.Level, std::wstring(text, wcsnlen(text, room))});
    }
    m_changed.notify_all();
    Sim_platform::trace_event(logger, record);
    SetLastError(ERROR_SUCCESS); // as a real sink may: the logger must keep the caller's error
    return trace_status;
}

BOOL Test_platform::device_io_control(HANDLE device, DWORD code, LPVOID in, DWORD in_size,
                                      LPVOID out, DWORD out_size, DWORD* returned,
                                      OVERLAPPED* overlapped)
{
    if (code == IOCTL_PORT_QUERY)
        ++queries;
    else
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.push_back(
            {code, std::vector<BYTE>(static_cast<BYTE*>(in), static_cast<BYTE*>(in) + in_size)});
        m_changed.notify_all();
    }
    return Sim_platform::device_io_control(device, code, in, in_size, out, out_size, returned,
                                           overlapped);
}

void Test_platform::queue_request(const std::vector<BYTE>& request)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    enqueue(request);
}

bool Test_platform::hand_request(const std::vector<BYTE>& request)
{
    if (!wait_until(10000, [this] { return pending_queries() > 0; }))
        return false;
    const uint64_t next = queries + 1;
    queue_request(request);
    for (int i = 0; i < 2000 && queries < next; ++i)
        Sleep(5);
    return queries >= next;
}

std::vector<Ioctl_call> Test_platform::calls()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

std::vector<std::vector<BYTE>> Test_platform::inputs(DWORD code)
{
    std::vector<std::vector<BYTE>> found;
    for (const Ioctl_call& call : calls())
        if (call.code == code)
            found.push_back(call.input);
    return found;
}

bool Test_platform::wait_for_calls(DWORD code, size_t count, DWORD timeout_ms)
{
    return wait_until(
        timeout_ms, [&]
        { return std::ranges::count(m_calls, code, &Ioctl_call::code) >= std::ptrdiff_t(count); });
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

bool g_terminal_send(HANDLE terminal, const std::vector<BYTE>& bytes)
{
    DWORD written = 0;
    return WriteFile(terminal, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

DWORD g_terminal_available(HANDLE terminal)
{
    DWORD available = 0;
    return PeekNamedPipe(terminal, nullptr, 0, nullptr, &available, nullptr) ? available : 0;
}

std::vector<BYTE> g_terminal_receive(HANDLE terminal, size_t count, DWORD timeout_ms)
{
    std::vector<BYTE> bytes(count);
    size_t got = 0;
    for (const ULONGLONG deadline = GetTickCount64() + timeout_ms;
         got < count && GetTickCount64() < deadline;)
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

std::vector<BYTE> g_terminal_drain(HANDLE terminal)
{
    return g_terminal_receive(terminal, g_terminal_available(terminal), 1000);
}
