// One overlapped ReadFile, WriteFile or DeviceIoControl (through the binding), waited for with
// an optional abort event. Each call has its own OVERLAPPED, so concurrent calls never share an
// event. An abort cancels the operation and waits for its end, so that its OVERLAPPED and
// buffers outlive it.
#pragma once

#include <windows.h>

enum class Io_kind
{
    read,
    write,
    control
};

struct Io_call
{
    Io_kind kind;
    HANDLE file;
    DWORD code = 0;           // control
    const void* in = nullptr; // write, control
    DWORD in_size = 0;
    void* out = nullptr; // read, control
    DWORD out_size = 0;
};

enum class Io_result
{
    done,
    no_event,      // the thread's I/O event could not be made
    start_failed,  // the call failed at once
    wait_failed,   // the wait failed: the operation was cancelled and has ended
    result_failed, // the operation ended in failure
    aborted        // the abort event ended the wait: the operation was cancelled and has ended
};

// For its lifetime, the calling thread's own I/O event, which every overlapped call of the thread
// uses, and its stop event (may be null), which ends the calls that its handlers make with
// g_thread_stop_event(). Workers and the share dialog's thread make one at their start; other
// threads get an event for each call.
class Thread_io_scope
{
  public:
    explicit Thread_io_scope(HANDLE stop_event = nullptr);
    ~Thread_io_scope();
    Thread_io_scope(const Thread_io_scope&) = delete;
    Thread_io_scope& operator=(const Thread_io_scope&) = delete;
};
HANDLE g_thread_stop_event();

// GetLastError holds the failing step's error when the result is not done; *transferred the
// bytes a read or write moved.
Io_result g_overlapped_call(const Io_call& call, HANDLE abort_event, DWORD* transferred);
