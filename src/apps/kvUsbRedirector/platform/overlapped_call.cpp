#include "overlapped_call.h"

#include "owned.h"
#include "platform.h"

namespace
{

// Manual reset: each operation resets it when it starts and sets it when it ends.
thread_local HANDLE t_io_event = nullptr;
thread_local HANDLE t_stop_event = nullptr;

BOOL start(const Io_call& call, OVERLAPPED* overlapped, DWORD* transferred)
{
    switch (call.kind)
    {
    case Io_kind::read:
        return g_platform().read_file(call.file, call.out, call.out_size, overlapped);
    case Io_kind::write:
        return g_platform().write_file(call.file, call.in, call.in_size, overlapped);
    case Io_kind::control:
        break;
    }
    return g_platform().device_io_control(call.file, call.code, const_cast<void*>(call.in),
                                          call.in_size, call.out, call.out_size, transferred,
                                          overlapped);
}

void trace(const Io_call& call, Io_step step)
{
    if (call.trace)
        call.trace(step);
}

// The ended operation's outcome. A read that ended with more data waiting delivered its bytes.
Io_result outcome(const Io_call& call, OVERLAPPED* overlapped, DWORD* transferred)
{
    DWORD count = 0;
    const bool succeeded = GetOverlappedResult(call.file, overlapped, &count, FALSE) ||
                           (call.kind == Io_kind::read && GetLastError() == ERROR_MORE_DATA);
    if (succeeded && call.kind != Io_kind::control)
        *transferred = count;
    return succeeded ? Io_result::done : Io_result::result_failed;
}

} // namespace

Thread_io_scope::Thread_io_scope(HANDLE stop_event)
    : m_event(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    t_io_event = m_event.get();
    t_stop_event = stop_event;
}

Thread_io_scope::~Thread_io_scope()
{
    t_io_event = nullptr;
    t_stop_event = nullptr;
}

HANDLE g_thread_stop_event()
{
    return t_stop_event;
}

Io_result g_overlapped_call(const Io_call& call, HANDLE abort_event, DWORD* transferred)
{
    if (call.kind != Io_kind::control)
        *transferred = 0;
    // A thread without its own event (or whose event could not be made) gets one for the call.
    const Owned_handle own_event(t_io_event ? nullptr
                                            : CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!t_io_event && !own_event)
        return Io_result::no_event;
    OVERLAPPED overlapped{};
    overlapped.hEvent = t_io_event ? t_io_event : own_event.get();
    trace(call, Io_step::issuing);
    const BOOL started = start(call, &overlapped, transferred);
    const DWORD error = GetLastError();
    trace(call, Io_step::issued);
    // Done at once, or (a read) done at once with more data waiting: the result is written.
    if (started || (call.kind == Io_kind::read && error == ERROR_MORE_DATA))
    {
        if (call.kind != Io_kind::control)
            *transferred = static_cast<DWORD>(overlapped.InternalHigh);
        return Io_result::done;
    }
    if (error != ERROR_IO_PENDING)
    {
        SetLastError(error);
        return Io_result::start_failed;
    }
    HANDLE objects[2] = {overlapped.hEvent, abort_event};
    const DWORD wait = WaitForMultipleObjects(abort_event ? 2 : 1, objects, FALSE, INFINITE);
    if (wait == WAIT_OBJECT_0)
        return outcome(call, &overlapped, transferred);
    trace(call, Io_step::cancelling);
    // CancelIo ends only this thread's operations on the port driver; the channel's reads and
    // writes are cancelled one by one. Either way the operation ends before its OVERLAPPED goes.
    if (call.kind == Io_kind::control)
        g_platform().cancel_io(call.file);
    else
        g_platform().cancel_io_ex(call.file, &overlapped);
    WaitForSingleObject(overlapped.hEvent, INFINITE);
    // An operation that completed before the cancel reached it is done: its result counts (a
    // query's request must be answered, a completion was delivered).
    if (outcome(call, &overlapped, transferred) == Io_result::done)
        return Io_result::done;
    SetLastError(wait == WAIT_OBJECT_0 + 1 ? ERROR_OPERATION_ABORTED : wait);
    return wait == WAIT_OBJECT_0 + 1 ? Io_result::aborted : Io_result::wait_failed;
}
