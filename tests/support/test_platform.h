// What only tests add to the simulator: the log lines and trace records kept, every driver call
// but the port driver's queries recorded, a chosen call failing, requests handed to the port
// driver's query one at a time, and the terminal's end of the channel driven by hand.
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

    bool channel_fails = false;
    int channel_buffers_given = 0, channel_buffers_freed = 0; // the handle query's blocks
    using Sim_platform::port_handle_value;

    std::vector<Ioctl_call> calls();
    std::vector<std::vector<BYTE>> inputs(DWORD code);
    bool wait_for_calls(DWORD code, size_t count, DWORD timeout_ms = 10000);
    // Calls of this I/O control code fail at once with ERROR_GEN_FAILURE; failed_calls counts them.
    std::atomic<DWORD> failing_code{0};
    std::atomic<uint64_t> failed_calls{0}, queries{0};
    // Queues a request for the port driver's next query.
    void queue_request(const std::vector<BYTE>& request);
    // Hands the request pump one request once it waits, then waits until it has dealt with it.
    bool hand_request(const std::vector<BYTE>& request);
    size_t pending_queries();
    // The port device goes away (its driver removed or upgraded) while the session stays: every
    // call fails at once, and a pending query ends with its buffer as the engine left it.
    void remove_port_device();
    using Sim_port_driver::forget_outstanding;

    HANDLE virtual_channel_open(HANDLE server, DWORD session, LPSTR name) override;
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
    // Held over a port call, so that no call slips past the device's removal.
    std::mutex m_port_mutex;
    bool m_removed = false;
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
