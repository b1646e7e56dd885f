// What the benchmark measures besides time: the Win32 calls, heap allocations and copied bytes
// of chosen threads, counted at this executable's import table and operator new; CPU time of
// threads and of Linux processes (the Wine server's too).
#pragma once

#include "platform/owned.h"

#include <windows.h>

#include <cstdint>
#include <string>

enum class Thread_group
{
    none,
    engine, // the engine's three workers
    limit,  // the program's end of a limit
};

// Win32 calls that reach kernel objects or I/O, the drivers' calls through the binding, and
// operator new.
// clang-format off
enum Counted_call
{
    call_create_event, call_close_handle, call_read_file, call_write_file, call_overlapped_result,
    call_wait_single, call_wait_multiple, call_set_event, call_reset_event, call_cancel_io,
    call_virtual_query, call_sleep, call_device_io_control, call_heap, k_counted_calls
};
// clang-format on
const char* g_call_name(int call);

struct Counts
{
    uint64_t n[k_counted_calls] = {};
    uint64_t channel_bytes = 0;    // copied to or from the channel's own buffers
    uint64_t other_bytes = 0;      // every other memcpy and memmove
    uint64_t system_calls() const; // all but the heap
    Counts operator-(const Counts& earlier) const;
};

// One measured run, of the engine or of a limit: count transfers or frames carrying size bytes.
struct Run
{
    uint32_t size = 0, count = 0;
    double seconds = 0, cpu_ms = 0; // CPU of the group's threads
    double server_ms = -1;          // of the Wine server, -1 when unknown
    Counts counts;                  // of the group's threads
    bool right = true;              // every transfer or frame arrived once, with the right bytes
    double mib_per_s() const
    {
        return static_cast<double>(size) * count / 1048576.0 / seconds;
    }
};

// Measures the group's threads (Thread_group::limit: the calling thread) from its construction
// to end().
class Meter
{
  public:
    explicit Meter(Thread_group group);
    void end(Run* run) const;

  private:
    struct Point
    {
        double at, cpu_ms, server_ms;
        Counts counts;
    };
    Point point() const;
    Thread_group m_group;
    Point m_begin;
};

// Patches the import table; false when a function to count was not found there.
bool g_install_call_counting();
// The calling thread's calls are counted in group from now on (none: not counted).
void g_count_this_thread(Thread_group group);
Counts g_counts(Thread_group group);
// The engine's thread creator: its workers count as Thread_group::engine, their CPU time kept.
HANDLE g_counted_engine_thread(LPTHREAD_START_ROUTINE routine, LPVOID parameter);
double g_engine_cpu_ms();

// What the simulated drivers do on a counted thread is theirs, not the thread's: the binding
// marks it with this scope, counting it once as call (k_counted_calls: not at all).
class Seam_scope
{
  public:
    explicit Seam_scope(int call);
    ~Seam_scope();
};

// CPU milliseconds: of a thread; of a Linux process from its threads' schedstat (nanoseconds,
// -1 when unknown); of the Wine server (KV_WINESERVER_PID, -1 when unset).
double g_thread_cpu_ms(HANDLE thread);
double g_linux_process_cpu_ms(unsigned long pid);
double g_wineserver_cpu_ms();
// The Linux process whose command line contains these arguments; 0 when none.
unsigned long g_linux_pid_with_arguments(const std::string& arguments);
// A file of Linux's /proc through drive Z:, "" when there is none.
std::string g_proc_file(const std::string& path);
double g_now_seconds();
