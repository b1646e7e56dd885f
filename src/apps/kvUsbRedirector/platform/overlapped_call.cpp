#include "overlapped_call.h"

#include "platform.h"

namespace
{

// The thread's I/O event, closed when the thread ends. Manual reset: each operation resets it
// when it starts and sets it when it ends.
class Thread_io_event
{
  public:
    ~Thread_io_event()
    {
        if (m_event)
            CloseHandle(m_event);
    }
    HANDLE get()
    {
        if (!m_event)
            m_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        return m_event;
    }

  private:
    HANDLE m_event = nullptr;
};

thread_local Thread_io_event t_io_event;
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

void g_set_thread_stop_event(HANDLE event)
{
    t_stop_event = event;
}

HANDLE g_thread_stop_event()
{
    return t_stop_event;
}

Io_result g_overlapped_call(const Io_call& call, HANDLE abort_event, DWORD* transferred)
{
    *transferred = 0;
    OVERLAPPED overlapped{};
    overlapped.hEvent = t_io_event.get();
    if (!overlapped.hEvent)
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
