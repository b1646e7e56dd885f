// One overlapped ReadFile, WriteFile or DeviceIoControl, all through the binding, waited for with
// an optional abort event. Each call has its own OVERLAPPED, so concurrent calls never share an
// event. An abort cancels the operation and waits for its end, so that its OVERLAPPED and
// buffers outlive it. Only ERROR_IO_PENDING means started: a call that fails at once never
// signals its event. An operation that went pending is done only if its result says so.
#pragma once

#include "owned.h"

#include <windows.h>

enum class Io_kind
{
    read,
    write,
    control
};

// The steps a caller traces: the call about to be issued, issued, and a cancel about to be made.
enum class Io_step
{
    issuing,
    issued,
    cancelling
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
    void (*trace)(Io_step step) = nullptr;
};

enum class Io_result
{
    done,
    no_event,      // the thread's I/O event could not be made
    start_failed,  // the call failed at once
    wait_failed,   // the wait failed (its return value is the last error): cancelled and ended
    result_failed, // the operation ended in failure
    aborted // the abort event ended the wait: the operation was cancelled before it completed
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

  private:
    Owned_handle m_event;
};
HANDLE g_thread_stop_event();

// GetLastError holds the failing step's error when the result is not done. *transferred: the
// bytes a read or write moved (a read that ended with ERROR_MORE_DATA is done with what it
// delivered); for a control call, what DeviceIoControl left there, filled only by a call done
// at once.
Io_result g_overlapped_call(const Io_call& call, HANDLE abort_event, DWORD* transferred);
