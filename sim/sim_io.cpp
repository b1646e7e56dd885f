#include "sim_io.h"

#include <algorithm>
#include <cstring>

DWORD g_sim_status_of(DWORD error)
{
    switch (error)
    {
    case ERROR_SUCCESS:
        return k_status_success;
    case ERROR_INVALID_HANDLE:
        return 0xC0000008; // STATUS_INVALID_HANDLE
    case ERROR_INSUFFICIENT_BUFFER:
        return 0xC0000023; // STATUS_BUFFER_TOO_SMALL
    case ERROR_ACCESS_DENIED:
        return 0xC0000022; // STATUS_ACCESS_DENIED
    case ERROR_NO_SYSTEM_RESOURCES:
        return 0xC000009A; // STATUS_INSUFFICIENT_RESOURCES
    case ERROR_MORE_DATA:
        return k_status_buffer_overflow;
    case ERROR_OPERATION_ABORTED:
        return k_status_cancelled;
    default:
        return 0xC0000001; // STATUS_UNSUCCESSFUL: ERROR_GEN_FAILURE
    }
}

Sim_io::Sim_io() : m_timer([this] { run_timer(); }) {}

Sim_io::~Sim_io()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closing = true;
    }
    m_timer_wake.notify_all();
    m_timer.join();
}

void Sim_io::opened(HANDLE handle, DWORD flags)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (flags & FILE_FLAG_OVERLAPPED)
        m_synchronous.erase(handle);
    else
        m_synchronous.insert(handle);
}

bool Sim_io::synchronous(HANDLE handle)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_synchronous.count(handle) != 0;
}

BOOL Sim_io::call(HANDLE handle, OVERLAPPED* overlapped,
                  const std::function<BOOL(OVERLAPPED*)>& run)
{
    if (!synchronous(handle))
        return run(overlapped);
    OVERLAPPED own{};
    own.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    BOOL result = run(&own);
    if (!result && GetLastError() == ERROR_IO_PENDING)
    {
        WaitForSingleObject(own.hEvent, INFINITE);
        DWORD count = 0;
        result = GetOverlappedResult(handle, &own, &count, FALSE);
    }
    const DWORD error = GetLastError();
    CloseHandle(own.hEvent);
    SetLastError(error);
    return result;
}

void Sim_io::start(OVERLAPPED* overlapped)
{
    if (overlapped && overlapped->hEvent)
        ResetEvent(overlapped->hEvent);
}

BOOL Sim_io::fail_at_once(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

BOOL Sim_io::done_at_once(OVERLAPPED* overlapped, DWORD count, DWORD* returned)
{
    if (returned)
        *returned = count;
    if (overlapped)
    {
        overlapped->Internal = k_status_success;
        overlapped->InternalHigh = count;
        if (overlapped->hEvent)
            SetEvent(overlapped->hEvent);
    }
    return TRUE;
}

BOOL Sim_io::more_data_at_once(OVERLAPPED* overlapped, DWORD count)
{
    overlapped->Internal = k_status_buffer_overflow;
    overlapped->InternalHigh = count;
    SetEvent(overlapped->hEvent);
    SetLastError(ERROR_MORE_DATA);
    return FALSE;
}

uint64_t Sim_io::pend(HANDLE handle, OVERLAPPED* overlapped, int tag, BYTE* buffer, DWORD size)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    overlapped->Internal = k_status_pending;
    const uint64_t id = m_next_id++;
    m_operations.push_back({id, handle, GetCurrentThreadId(), overlapped, tag, buffer, size});
    SetLastError(ERROR_IO_PENDING);
    return id;
}

void Sim_io::end_locked(std::vector<Operation>::iterator it, DWORD status, const BYTE* data,
                        DWORD count)
{
    const DWORD n = std::min(count, it->size);
    if (n && data)
        std::memcpy(it->buffer, data, n);
    it->overlapped->InternalHigh = data ? n : count;
    it->overlapped->Internal = status;
    SetEvent(it->overlapped->hEvent);
    m_operations.erase(it);
}

bool Sim_io::end(uint64_t id, DWORD status, const BYTE* data, DWORD count)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = std::ranges::find(m_operations, id, &Operation::id);
    if (it == m_operations.end())
        return false;
    end_locked(it, status, data, count);
    return true;
}

void Sim_io::end_later(uint64_t id, DWORD status, DWORD delay_ms, DWORD count)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_due.push_back({GetTickCount64() + delay_ms, id, status, count});
    }
    m_timer_wake.notify_all();
}

void Sim_io::run_timer()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_closing)
    {
        const ULONGLONG now = GetTickCount64();
        for (auto due = m_due.begin(); due != m_due.end();)
            if (due->at <= now)
            {
                auto it = std::ranges::find(m_operations, due->id, &Operation::id);
                if (it != m_operations.end())
                    end_locked(it, due->status, nullptr, due->count);
                due = m_due.erase(due);
            }
            else
                ++due;
        m_timer_wake.wait_for(lock, std::chrono::milliseconds(m_due.empty() ? 1000 : 2));
    }
}

uint64_t Sim_io::oldest(int tag)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = std::ranges::find(m_operations, tag, &Operation::tag);
    return it == m_operations.end() ? 0 : it->id;
}

size_t Sim_io::pending(int tag)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::ranges::count(m_operations, tag, &Operation::tag);
}

size_t Sim_io::pending()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_operations.size();
}

BOOL Sim_io::cancel(HANDLE handle, OVERLAPPED* only, bool any_thread)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const DWORD thread = GetCurrentThreadId();
    bool found = false;
    for (auto it = m_operations.begin(); it != m_operations.end();)
        if (it->handle == handle && (any_thread || it->thread == thread) &&
            (!only || it->overlapped == only))
        {
            found = true;
            end_locked(it, k_status_cancelled, nullptr, 0);
            it = m_operations.begin();
        }
        else
            ++it;
    if (!found)
        SetLastError(ERROR_NOT_FOUND);
    return found ? TRUE : FALSE;
}
