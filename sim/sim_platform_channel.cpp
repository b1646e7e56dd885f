// The simulator's virtual channel: a named pipe whose far end is the terminal's.
#include "sim_platform.h"

#include <atomic>
#include <cstring>

namespace
{

const HANDLE k_channel_token = reinterpret_cast<HANDLE>(0x5EED);
// Pipe names are unique in the process, so that two simulated channels can be open at once.
std::atomic<int> g_pipe_serial{0};

} // namespace

Sim_platform::~Sim_platform()
{
    close_channel_ends();
}

void Sim_platform::close_channel_ends()
{
    if (m_server != INVALID_HANDLE_VALUE)
        CloseHandle(m_server);
    if (m_terminal != INVALID_HANDLE_VALUE)
        CloseHandle(m_terminal);
    m_server = m_terminal = INVALID_HANDLE_VALUE;
}

void Sim_platform::disconnect_terminal()
{
    if (m_terminal != INVALID_HANDLE_VALUE)
        CloseHandle(m_terminal);
    m_terminal = INVALID_HANDLE_VALUE;
}

void Sim_platform::break_channel()
{
    std::lock_guard<std::mutex> lock(m_channel_mutex);
    m_channel_broken = true;
    disconnect_terminal();
    if (m_server != INVALID_HANDLE_VALUE)
        CancelIoEx(m_server, nullptr);
}

HANDLE Sim_platform::virtual_channel_open(HANDLE, DWORD, LPSTR name)
{
    if (transcript)
        transcript->channel_opened();
    const Sim_ending ending = m_endings.take(Sim_call::channel_open, Sim_driver::any);
    if (ending.end == Sim_end::fail_at_once)
        return Sim_io::fail_at_once(ending.error), nullptr;
    if (std::strcmp(name, "zelvusb") != 0)
    {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(m_channel_mutex);
        m_channel_broken = false;
    }
    close_channel_ends();
    wchar_t pipe_name[96];
    swprintf(pipe_name, 96, L"\\\\.\\pipe\\kv_fake_channel_%lu_%d", GetCurrentProcessId(),
             ++g_pipe_serial);
    m_server = CreateNamedPipeW(pipe_name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 1 << 20,
                                1 << 20, 0, nullptr);
    if (m_server == INVALID_HANDLE_VALUE)
        return nullptr;
    m_terminal =
        CreateFileW(pipe_name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    return k_channel_token;
}

BOOL Sim_platform::virtual_channel_query(HANDLE, WTS_VIRTUAL_CLASS, PVOID* buffer, DWORD* bytes)
{
    auto* block = static_cast<HANDLE*>(LocalAlloc(LMEM_FIXED, sizeof(HANDLE)));
    *block = m_server;
    *buffer = block;
    *bytes = sizeof(HANDLE);
    return TRUE;
}

BOOL Sim_platform::virtual_channel_close(HANDLE channel)
{
    if (channel != k_channel_token)
        return FALSE;
    if (m_server != INVALID_HANDLE_VALUE)
        CloseHandle(m_server);
    m_server = INVALID_HANDLE_VALUE;
    return TRUE;
}

namespace
{

// A real transfer on the channel's pipe, waited for here (a read at most 500 ms: with nothing
// to read it delivers nothing).
bool transfer_now(Sim_call call, HANDLE file, BYTE* buffer, DWORD size, DWORD* count)
{
    OVERLAPPED own{};
    own.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    BOOL done = call == Sim_call::channel_read ? ReadFile(file, buffer, size, nullptr, &own)
                                               : WriteFile(file, buffer, size, nullptr, &own);
    if (!done && GetLastError() == ERROR_IO_PENDING &&
        WaitForSingleObject(own.hEvent, 500) == WAIT_TIMEOUT)
        CancelIoEx(file, &own);
    done = GetOverlappedResult(file, &own, count, TRUE) ||
           (GetLastError() == ERROR_OPERATION_ABORTED && call == Sim_call::channel_read);
    const DWORD error = GetLastError();
    CloseHandle(own.hEvent);
    SetLastError(error);
    return done;
}

} // namespace

// As usual the pipe's own I/O manager ends the call; told otherwise, the simulator does.
BOOL Sim_platform::channel_call(Sim_call call, HANDLE file, BYTE* buffer, DWORD size,
                                OVERLAPPED* overlapped)
{
    const Sim_ending ending = m_endings.take(call, Sim_driver::any);
    if (ending.end == Sim_end::as_usual)
    {
        // A broken channel fails every call at once, as the system's does after a disconnect.
        std::lock_guard<std::mutex> lock(m_channel_mutex);
        if (m_channel_broken)
            return Sim_io::fail_at_once(ERROR_BROKEN_PIPE);
        return call == Sim_call::channel_read ? ReadFile(file, buffer, size, nullptr, overlapped)
                                              : WriteFile(file, buffer, size, nullptr, overlapped);
    }
    if (ending.end == Sim_end::fail_at_once)
        return Sim_io::fail_at_once(ending.error);
    Sim_io::start(overlapped);
    if (ending.end == Sim_end::pend_then_fail || ending.end == Sim_end::pend_until_cancel)
    {
        const uint64_t id = m_io.pend(file, overlapped, k_other);
        if (ending.end == Sim_end::pend_then_fail)
            m_io.end_later(id, g_sim_status_of(ending.error), k_sim_end_delay_ms);
        return FALSE;
    }
    DWORD count = 0;
    const bool partly = ending.end == Sim_end::more_data || ending.end == Sim_end::done_partly;
    if (!transfer_now(call, file, buffer, partly && size > 7 ? 7 : size, &count))
        return Sim_io::fail_at_once(GetLastError());
    if (ending.end == Sim_end::more_data)
        return Sim_io::more_data_at_once(overlapped, count);
    if (ending.end != Sim_end::pend_then_done)
        return Sim_io::done_at_once(overlapped, count, nullptr);
    m_io.end_later(m_io.pend(file, overlapped, k_other), k_status_success, k_sim_end_delay_ms,
                   count);
    return FALSE;
}

BOOL Sim_platform::read_file(HANDLE file, LPVOID buffer, DWORD size, OVERLAPPED* overlapped)
{
    return channel_call(Sim_call::channel_read, file, static_cast<BYTE*>(buffer), size, overlapped);
}

BOOL Sim_platform::write_file(HANDLE file, LPCVOID buffer, DWORD size, OVERLAPPED* overlapped)
{
    BYTE* bytes = static_cast<BYTE*>(const_cast<void*>(buffer));
    const auto write = [&]
    { return channel_call(Sim_call::channel_write, file, bytes, size, overlapped); };
    return transcript ? transcript->channel_write(bytes, size, write) : write();
}

// An operation the simulator keeps is cancelled by it; any other is the pipe's.
BOOL Sim_platform::cancel_io_ex(HANDLE file, OVERLAPPED* overlapped)
{
    return m_io.cancel(file, overlapped, true) || CancelIoEx(file, overlapped);
}
