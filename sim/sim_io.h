// The I/O manager's rules for every call the simulator serves (the port and bus drivers' I/O
// controls, the channel's reads and writes), in one place, each as Windows documents it.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

// NTSTATUS values as OVERLAPPED.Internal holds them; GetOverlappedResult turns them back into the
// thread's last error (STATUS_BUFFER_OVERFLOW into ERROR_MORE_DATA, with its byte count valid).
constexpr DWORD k_status_success = 0;
constexpr DWORD k_status_pending = 0x103;
constexpr DWORD k_status_buffer_overflow = 0x80000005;
constexpr DWORD k_status_cancelled = 0xC0000120;
// The status whose last error is error (for the errors the simulator ends calls with).
DWORD g_sim_status_of(DWORD error);

class Sim_io
{
  public:
    Sim_io();
    ~Sim_io();
    Sim_io(const Sim_io&) = delete;
    Sim_io& operator=(const Sim_io&) = delete;

    // CreateFile without FILE_FLAG_OVERLAPPED: "the system serialises I/O on the handle", every
    // call returns only when its operation has ended, and an OVERLAPPED passed is ignored.
    void opened(HANDLE handle, DWORD flags);
    bool synchronous(HANDLE handle);
    // Runs a call of the handle: on a synchronous one with an OVERLAPPED of its own, waiting
    // for the end of an operation that went pending and returning its outcome.
    BOOL call(HANDLE handle, OVERLAPPED* overlapped, const std::function<BOOL(OVERLAPPED*)>& run);

    // "The system resets the event to a nonsignaled state when the I/O operation starts."
    static void start(OVERLAPPED* overlapped);
    // Failed at once: FALSE with the error; neither the event nor the OVERLAPPED is touched.
    static BOOL fail_at_once(DWORD error);
    // Done at once: TRUE, the result in the OVERLAPPED and the event set.
    static BOOL done_at_once(OVERLAPPED* overlapped, DWORD count, DWORD* returned);
    // Done at once with more data waiting: FALSE with ERROR_MORE_DATA, count bytes delivered
    // (a warning status: the result is written and the event set).
    static BOOL more_data_at_once(OVERLAPPED* overlapped, DWORD count);

    // Pending: FALSE with ERROR_IO_PENDING; the operation lasts until ended or cancelled.
    // tag tells the caller's kinds of operation apart; buffer receives what end() delivers.
    uint64_t pend(HANDLE handle, OVERLAPPED* overlapped, int tag, BYTE* buffer = nullptr,
                  DWORD size = 0);
    // Ends a pending operation: its data copied, its status and count written, its event set.
    // False when it has ended already.
    bool end(uint64_t id, DWORD status, const BYTE* data = nullptr, DWORD count = 0);
    void end_later(uint64_t id, DWORD status, DWORD delay_ms, DWORD count = 0);
    // The oldest pending operation of a tag; 0 when none.
    uint64_t oldest(int tag);
    size_t pending(int tag);
    size_t pending();
    // CancelIo ends only the calling thread's operations on the handle, CancelIoEx any thread's
    // (only the one of that OVERLAPPED when given); they end with STATUS_CANCELLED. With none
    // to cancel: FALSE, ERROR_NOT_FOUND.
    BOOL cancel(HANDLE handle, OVERLAPPED* only, bool any_thread);

  private:
    struct Operation
    {
        uint64_t id;
        HANDLE handle;
        DWORD thread;
        OVERLAPPED* overlapped;
        int tag;
        BYTE* buffer;
        DWORD size;
    };
    struct Due
    {
        ULONGLONG at;
        uint64_t id;
        DWORD status;
        DWORD count;
    };
    void end_locked(std::vector<Operation>::iterator it, DWORD status, const BYTE* data,
                    DWORD count);
    void run_timer();

    std::mutex m_mutex;
    std::condition_variable m_timer_wake;
    std::vector<Operation> m_operations;
    std::vector<Due> m_due;
    std::set<HANDLE> m_synchronous;
    uint64_t m_next_id = 1;
    bool m_closing = false;
    std::thread m_timer;
};
