// What only tests add to the simulator: the log lines and trace records kept, every driver call
// but the port driver's queries recorded, requests handed to the port driver's query one at a
// time, and the terminal's end of the channel driven by hand.
#pragma once

#include "sim_platform.h"
#include "sim_session.h"

#include <atomic>
#include <string>
#include <vector>

struct Ioctl_call
{
    DWORD code;
    std::vector<BYTE> input;
};

struct Log_line
{
    int level;
    std::wstring text;
};

class Test_platform : public Sim_platform
{
  public:
    std::vector<Log_line> lines();
    // Also forgets the events.
    void clear_lines();
    size_t count_lines(const std::wstring& text);
    bool has_line(const std::wstring& text)
    {
        return count_lines(text) > 0;
    }
    bool wait_for_line(const std::wstring& text, DWORD timeout_ms = 10000);
    ULONG trace_status = ERROR_SUCCESS;

    int channel_buffers_given = 0, channel_buffers_freed = 0; // the handle query's blocks
    using Sim_platform::port_handle_value;

    std::vector<Ioctl_call> calls();
    std::vector<std::vector<BYTE>> inputs(DWORD code);
    bool wait_for_calls(DWORD code, size_t count, DWORD timeout_ms = 10000);
    std::atomic<uint64_t> queries{0};
    // Calls of this I/O control code (0: none) fail at once with ERROR_GEN_FAILURE.
    void fail_calls(DWORD code)
    {
        end_calls_as_usual();
        if (code)
            end_calls({g_sim_call_of(code), Sim_end::fail_at_once});
    }
    // Queues a request for the port driver's next query.
    void queue_request(const std::vector<BYTE>& request);
    // Hands the request pump one request once it waits, then waits until it has dealt with it.
    bool hand_request(const std::vector<BYTE>& request);
    using Sim_port_driver::end_pending_calls;
    using Sim_port_driver::forget_outstanding;
    using Sim_port_driver::pending_queries;

    BOOL device_io_control(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                           DWORD out_size, DWORD* returned, OVERLAPPED* overlapped) override;
    BOOL virtual_channel_query(HANDLE channel, WTS_VIRTUAL_CLASS kind, PVOID* buffer,
                               DWORD* bytes) override;
    void free_memory(PVOID memory) override;
    ULONG trace_event(TRACEHANDLE logger, EVENT_TRACE_HEADER* record) override;

  private:
    size_t count_lines_locked(const std::wstring& text) const;

    // Guarded by m_mutex.
    std::vector<Log_line> m_lines;
    std::vector<Ioctl_call> m_calls;
};

// A whole session on the test binding.
using Test_session = Sim_session_of<Test_platform>;

bool g_terminal_send(HANDLE terminal, const std::vector<BYTE>& bytes);
// Reads exactly count bytes, giving up after timeout_ms (tests must not hang).
std::vector<BYTE> g_terminal_receive(HANDLE terminal, size_t count, DWORD timeout_ms = 10000);
// Bytes waiting on the terminal's side.
DWORD g_terminal_available(HANDLE terminal);
// Reads whatever the terminal has been sent.
std::vector<BYTE> g_terminal_drain(HANDLE terminal);
