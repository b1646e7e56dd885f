// The redirection engine: start and stop, and the state its worker threads share.
#pragma once

#include <windows.h>
#include <atomic>
#include <cstdint>

extern HANDLE g_exit_now_read_event;
extern HANDLE g_exit_now_write_event;
extern HANDLE g_device_list_mutex;
extern HANDLE g_mdl_urb_list_mutex;
extern HANDLE g_thread_ended_events[3];

extern std::atomic<bool> g_read_from_driver_running;
extern std::atomic<bool> g_write_to_driver_running;
extern std::atomic<bool> g_device_list_running;
// Written only by the window thread; the poller reads it as "the session is connected".
extern std::atomic<bool> g_threads_started;

bool g_start_threads();
void g_stop_threads();

DWORD WINAPI g_start_process_read_from_driver(LPVOID);
DWORD WINAPI g_start_process_write_to_driver(LPVOID);
DWORD WINAPI g_start_process_device_list(LPVOID);

// Waits the engine makes between steps; tests shorten them, production keeps these values.
struct Engine_timing
{
    DWORD device_list_period_ms = 3000;
    DWORD port_driver_idle_ms = 300;
    DWORD port_open_first_wait_ms = 5000;
    DWORD port_open_retry_wait_ms = 3000;
    DWORD port_open_retries = 20;
};
extern Engine_timing g_engine_timing;
void g_engine_sleep(DWORD milliseconds);
// Replaces the sleep (nullptr restores Sleep) so tests can record the waits.
using Sleep_function = void (*)(DWORD milliseconds);
void g_set_sleep_function(Sleep_function sleep);

// Ends the application by posting the hidden window a close request, whose default handling
// destroys it on its own thread. Returns at once: the window's teardown stops the engine,
// which waits for the very worker thread that may be asking.
void g_end_application();

// A peer that fails every call at once (a broken channel, a port device gone) would have a
// pump retry at once, spin a core and log each failure. Between failures the pumps wait on
// their exit event: the first pause, doubled up to the longest; a good call sets *delay_ms to 0.
constexpr DWORD k_retry_first_ms = 10;
constexpr DWORD k_retry_longest_ms = 1000;
void g_pause_before_retry(HANDLE exit_event, DWORD* delay_ms);

// Longest terminal frame the reply pump accepts; longer ones are drained unread.
extern uint32_t g_max_reply_length;

// Creates a worker thread; replaceable so a test can make a creation fail.
using Thread_creator = HANDLE (*)(LPTHREAD_START_ROUTINE routine);
void g_set_thread_creator(Thread_creator creator);
// Creates the engine's manual-reset events; replaceable so a test can make a creation fail.
using Event_creator = HANDLE (*)();
void g_set_event_creator(Event_creator creator);

// Every exit of worker index (0 request pump, 1 reply pump, 2 poller) ends here: it sets the
// thread-ended event that the stop waits for.
void g_worker_ended(int index);
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
