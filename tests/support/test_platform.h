// What only tests add to the simulator: a binding that keeps the log lines and trace records,
// records driver calls, scripts the port driver call by call and makes calls fail, and the
// terminal's end of the channel driven by hand.
#pragma once

#include "sim_platform.h"
#include "sim_session.h"

#include <atomic>
#include <functional>
#include <string>
#include <vector>

struct Ioctl_call
{
    HANDLE device;
    DWORD code;
    std::vector<BYTE> input;
    DWORD thread_id;
};

// What a scripted port driver does with one I/O control.
enum class Port_outcome
{
    pend,      // ERROR_IO_PENDING; completed later by complete_pending or cancelled
    pend_done, // ERROR_IO_PENDING with the operation's event already signalled
    complete,  // immediate success
    fail,      // immediate failure
};

struct Log_line
{
    int level;
    std::wstring text;
};

class Test_platform : public Sim_platform
{
  public:
    // The text of each trace record (levels 2..4 while tracing is enabled at level 4).
    std::vector<Log_line> lines();
    // Also forgets the trace records and the events.
    void clear_lines();
    size_t count_lines(const std::wstring& text);
    bool has_line(const std::wstring& text)
    {
        return count_lines(text) > 0;
    }
    bool wait_for_line(const std::wstring& text, DWORD timeout_ms = 10000);
    struct Trace_record
    {
        std::vector<BYTE> bytes;
    };
    std::vector<Trace_record> trace_records();
    ULONG trace_status = ERROR_SUCCESS;

    bool channel_fails = false;
    int channel_opens = 0;
    int channel_buffers_given = 0, channel_buffers_freed = 0; // the handle query's blocks
    bool bus_register_fails = false;
    bool bus_unregister_fails = false;
    using Sim_platform::port_handle_value;

    // Scripted mode when set: every port call is recorded and gets this outcome. Unset, the
    // simulator's port driver serves it.
    std::function<Port_outcome(const Ioctl_call&)> port_behaviour;
    // Calls recorded: all bus calls, and port calls in scripted mode.
    std::vector<Ioctl_call> calls();
    size_t count_calls(DWORD code);
    bool wait_for_calls(DWORD code, size_t count, DWORD timeout_ms = 10000);
    // Completes the oldest pending scripted call of that code, copying reply into its buffer.
    bool complete_pending(DWORD code, const std::vector<BYTE>& reply = {});
    size_t pending_count();
    int cancel_calls = 0;

    // Faults of the serving port driver.
    std::atomic<bool> completions_fail{false}; // the completion I/O control fails
    uint64_t refused_completions = 0;
    std::atomic<uint64_t> queries{0};
    // The port device goes away (its driver removed or upgraded) while the session stays: every
    // call fails at once, and a pending query ends with its buffer as the engine left it.
    void remove_port_device();
    using Sim_port_driver::forget_outstanding;

    HANDLE virtual_channel_open(HANDLE server, DWORD session, LPSTR name) override;
    BOOL device_io_control(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                           DWORD out_size, DWORD* returned, OVERLAPPED* overlapped) override;
    BOOL cancel_io(HANDLE device) override;
    BOOL virtual_channel_query(HANDLE channel, WTS_VIRTUAL_CLASS kind, PVOID* buffer,
                               DWORD* bytes) override;
    void free_memory(PVOID memory) override;
    ULONG trace_event(TRACEHANDLE logger, EVENT_TRACE_HEADER* record) override;

  private:
    struct Pending
    {
        Ioctl_call call;
        OVERLAPPED* overlapped;
        BYTE* buffer;
        DWORD size;
    };
    BOOL scripted_call(Ioctl_call call, LPVOID out, DWORD out_size, DWORD* returned,
                       OVERLAPPED* overlapped);
    size_t count_calls_locked(DWORD code) const;
    size_t count_lines_locked(const std::wstring& text) const;

    // Guarded by m_mutex.
    std::vector<Log_line> m_lines;
    std::vector<Trace_record> m_traces;
    std::vector<Ioctl_call> m_calls;
    std::vector<Pending> m_pending;
    // Held over a served port call, so that no call slips past the device's removal.
    std::mutex m_port_mutex;
    bool m_removed = false;
};

// A whole session on the test binding.
using Test_session = Sim_session_of<Test_platform>;

// Writes bytes as one pipe write.
bool g_terminal_send(HANDLE terminal, const std::vector<BYTE>& bytes);
// Reads exactly count bytes, giving up after timeout_ms (tests must not hang).
std::vector<BYTE> g_terminal_receive(HANDLE terminal, size_t count, DWORD timeout_ms = 10000);
// Bytes waiting on the terminal's side.
DWORD g_terminal_available(HANDLE terminal);
std::vector<BYTE> g_bytes(std::initializer_list<int> values);
