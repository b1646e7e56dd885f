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
        return ReadFile(call.file, call.out, call.out_size, nullptr, overlapped);
    case Io_kind::write:
        return WriteFile(call.file, call.in, call.in_size, nullptr, overlapped);
    case Io_kind::control:
        break;
    }
    return g_platform().device_io_control(call.file, call.code, const_cast<void*>(call.in),
                                          call.in_size, call.out, call.out_size, transferred,
                                          overlapped);
}

// Cancels the operation and waits for its end.
void cancel(const Io_call& call, OVERLAPPED* overlapped)
{
    DWORD ignored = 0;
    if (call.kind == Io_kind::control)
    {
        g_platform().cancel_io(call.file);
        WaitForSingleObject(overlapped->hEvent, INFINITE);
    }
    else
    {
        CancelIoEx(call.file, overlapped);
        GetOverlappedResult(call.file, overlapped, &ignored, TRUE);
    }
}

} // namespace

Thread_io_scope::Thread_io_scope(HANDLE stop_event)
{
    t_io_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    t_stop_event = stop_event;
}

Thread_io_scope::~Thread_io_scope()
{
    if (t_io_event)
        CloseHandle(t_io_event);
    t_io_event = nullptr;
    t_stop_event = nullptr;
}

HANDLE g_thread_stop_event()
{
    return t_stop_event;
}

Io_result g_overlapped_call(const Io_call& call, HANDLE abort_event, DWORD* transferred)
{
    *transferred = 0;
    // A thread without its own event (or whose event could not be made) gets one for the call.
    const Owned_handle own_event(t_io_event ? nullptr
                                            : CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED overlapped{};
    overlapped.hEvent = t_io_event ? t_io_event : own_event.get();
    if (overlapped.hEvent == INVALID_HANDLE_VALUE)
        return Io_result::no_event;
    if (start(call, &overlapped, transferred))
    {
        if (call.kind != Io_kind::control)
            *transferred = static_cast<DWORD>(overlapped.InternalHigh);
        return Io_result::done;
    }
    // A channel read whose buffer is smaller than the message has started all the same.
    const DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING && error != ERROR_INSUFFICIENT_BUFFER)
        return Io_result::start_failed;
    if (call.kind != Io_kind::control && !abort_event)
        return GetOverlappedResult(call.file, &overlapped, transferred, TRUE)
                   ? Io_result::done
                   : Io_result::result_failed;
    HANDLE objects[2] = {overlapped.hEvent, abort_event};
    const DWORD wait = WaitForMultipleObjects(abort_event ? 2 : 1, objects, FALSE, INFINITE);
    if (wait == WAIT_OBJECT_0)
    {
        if (call.kind == Io_kind::control)
            return Io_result::done;
        return GetOverlappedResult(call.file, &overlapped, transferred, FALSE)
                   ? Io_result::done
                   : Io_result::result_failed;
    }
    const DWORD wait_error = wait == WAIT_FAILED ? GetLastError() : ERROR_OPERATION_ABORTED;
    cancel(call, &overlapped);
    SetLastError(wait_error);
    return wait == WAIT_OBJECT_0 + 1 ? Io_result::aborted : Io_result::wait_failed;
}
