// The redirection engine: start and stop, and the state its worker threads share.
#pragma once

#include "../platform/seams.h"

#include <windows.h>
#include <atomic>
#include <cstdint>

extern HANDLE g_exit_now_read_event;
extern HANDLE g_exit_now_write_event;
// The engine's workers, in the order they start: the reply pump first, so that the negotiation's
// answer finds it reading.
enum Worker
{
    k_reply_pump,
    k_request_pump,
    k_poller,
    k_workers
};

constexpr const wchar_t* k_worker_names[k_workers] = {L"g_start_process_write_to_driver",
                                                      L"g_start_process_read_from_driver",
                                                      L"g_start_process_device_list"};

// The stop waits this long for the workers, then abandons the unplugs its last pass still has
// with the port driver, and gives up this much later: Windows ends a process that has not
// answered the end of the session within about 5 s.
constexpr DWORD k_stop_budget_ms = 3000;
constexpr DWORD k_stop_grace_ms = 800;

extern std::atomic<bool> g_read_from_driver_running;
extern std::atomic<bool> g_write_to_driver_running;
extern std::atomic<bool> g_device_list_running;
// The engine runs: from a start that succeeded to its stop. The poller reads it as "the session
// is connected".
extern std::atomic<bool> g_threads_started;

// The shell's only way in. Both may be called at any time: a start of a running engine and a
// stop of a stopped one do nothing. A start that fails has stopped what it began. The stop
// returns within k_stop_budget_ms + k_stop_grace_ms; one that gave up on a worker the port
// driver holds leaves the engine as it is, for the next stop or start to finish.
bool g_start_threads();
void g_stop_threads();

DWORD WINAPI g_start_process_read_from_driver(LPVOID);
DWORD WINAPI g_start_process_write_to_driver(LPVOID);
DWORD WINAPI g_start_process_device_list(LPVOID);

// A peer that fails every call at once (a broken channel, a port device gone) would have a
// pump retry at once, spin a core and log each failure. Between failures the pumps wait on
// their exit event: the first pause, doubled up to the longest; a good call sets *delay_ms to 0.
constexpr DWORD k_retry_first_ms = 10;
constexpr DWORD k_retry_longest_ms = 1000;
void g_pause_before_retry(HANDLE exit_event, DWORD* delay_ms);

void g_log_worker_exception(const wchar_t* worker);
// Runs a worker's loop; an exception escaping it is logged and ends the worker, not the process.
template <class Loop> void g_run_worker_loop(const wchar_t* worker, Loop loop)
{
    try
    {
        loop();
    }
    catch (...)
    {
        g_log_worker_exception(worker);
    }
}
