// One overlapped ReadFile, WriteFile or DeviceIoControl (through the binding), waited for with
// an optional abort event. Every call of a thread uses that thread's own I/O event, made at its
// first call and closed when the thread ends; each call has its own OVERLAPPED, so concurrent
// calls never share an event. An abort cancels the operation and waits for its end, so that its
// OVERLAPPED and buffers outlive it.
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
    DWORD code = 0;                            // control
    const void* in = nullptr;                  // write, control
    DWORD in_size = 0;
    void* out = nullptr;                       // read, control
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

// A worker registers its exit event once; the calls its handlers make with this event end when
// a stop sets it. Other threads get none.
void g_set_thread_stop_event(HANDLE event);
HANDLE g_thread_stop_event();

// GetLastError holds the failing step's error when the result is not done; *transferred the
// bytes a read or write moved.
Io_result g_overlapped_call(const Io_call& call, HANDLE abort_event, DWORD* transferred);
