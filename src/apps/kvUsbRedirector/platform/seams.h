// What tests and the benchmark replace, in one place: besides the platform binding (platform.h),
// the waits the engine makes, the longest reply it reads, how it creates its threads and events,
// the edition query, the restart registration and the single-instance name. Production keeps the
// defaults; g_reset_seams() restores all of them and the production binding.
#pragma once

#include "../portable/reply_frame.h"

#include <windows.h>

#include <cstdint>

constexpr wchar_t k_single_instance_name[] = L"Local\\kvUsbRedirector.SingleInstance";

// Waits the engine makes between steps.
struct Engine_timing
{
    DWORD device_list_period_ms = 3000;
    DWORD port_driver_idle_ms = 300;
    DWORD port_open_first_wait_ms = 5000;
    DWORD port_open_retry_wait_ms = 3000;
    DWORD port_open_retries = 20;
};

HANDLE g_create_detached_thread(LPTHREAD_START_ROUTINE routine, LPVOID parameter);
// Waits milliseconds, or until stop_event is set: true when the stop ended the wait.
bool g_wait_unless_stopped(HANDLE stop_event, DWORD milliseconds);
HANDLE g_create_manual_event();
BOOL g_query_system_version(OSVERSIONINFOEXW* info);

struct Seams
{
    Engine_timing timing;
    // Longest terminal frame the reply pump accepts; longer ones are drained unread.
    uint32_t max_reply_length = kv::k_default_max_reply_length;
    // The engine's workers and the share dialogs' threads.
    using Thread_creator = HANDLE (*)(LPTHREAD_START_ROUTINE routine, LPVOID parameter);
    Thread_creator create_thread = g_create_detached_thread;
    HANDLE (*create_event)() = g_create_manual_event; // the engine's manual-reset events
    // The engine's waits between steps, each ended at once by the stop.
    bool (*wait)(HANDLE stop_event, DWORD milliseconds) = g_wait_unless_stopped;
    BOOL (*query_version)(OSVERSIONINFOEXW* info) = g_query_system_version;
    HRESULT (*register_restart)(PCWSTR command_line, DWORD flags) = RegisterApplicationRestart;
    const wchar_t* single_instance_name = k_single_instance_name;
};

extern Seams g_seams;
void g_reset_seams();
