// What the benchmark measures besides time: the Win32 calls and heap allocations of chosen
// threads, counted at this executable's import table and operator new; CPU time of threads,
// of the process and of the Wine server; the working set.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

enum class Thread_group
{
    none,
    engine, // the engine's three workers
    limit,  // the program's side of a bare pipe pattern
};

// Win32 calls that reach kernel objects or I/O, the seam's calls (the drivers) and operator new.
enum Counted_call
{
    call_create_event,
    call_close_handle,
    call_read_file,
    call_write_file,
    call_overlapped_result,
    call_wait_single,
    call_wait_multiple,
    call_release_mutex,
    call_set_event,
    call_reset_event,
    call_cancel_io,
    call_virtual_query,
    call_sleep,
    call_device_io_control, // through the platform seam
    call_heap,              // operator new
    k_counted_calls
};

const char* g_call_name(int call);

struct Call_counts
{
    uint64_t n[k_counted_calls] = {};
    // Every counted call but the heap.
    uint64_t system_calls() const;
    Call_counts operator-(const Call_counts& earlier) const;
    Call_counts operator+(const Call_counts& more) const;
};

// Patches the import table; false when a function to count was not found there.
bool g_install_call_counting();
// The thread's calls are counted in group from now on; thread stays open for its CPU time.
void g_count_thread(DWORD thread_id, Thread_group group, HANDLE thread);
void g_stop_counting_thread(DWORD thread_id);
Call_counts g_counted_calls(Thread_group group);
// Calls made while the simulated drivers run on a counted thread are theirs, not the thread's:
// the seam binding marks them with this scope.
class Seam_scope
{
  public:
    // call: what the seam call stands for, or k_counted_calls to count nothing.
    explicit Seam_scope(int call);
    ~Seam_scope();
};
// The engine's thread creator: its workers are counted as Thread_group::engine.
HANDLE g_counted_engine_thread(LPTHREAD_START_ROUTINE routine, LPVOID parameter);

// CPU time in milliseconds: of the group's threads, of this thread, of this process (the
// system's times, in 10 ms steps under Wine), of a Linux process from its threads' schedstat
// (nanoseconds; -1 when unknown), and of the Wine server (the KV_WINESERVER_PID environment
// variable).
double g_group_cpu_ms(Thread_group group);
double g_thread_cpu_ms(HANDLE thread);
double g_process_cpu_ms();
double g_linux_process_cpu_ms(unsigned long pid);
double g_wineserver_cpu_ms();
// The Linux process whose command line contains these arguments; 0 when none.
unsigned long g_linux_pid_with_arguments(const std::string& arguments);

struct Memory_use
{
    double working_set_mib = 0, peak_working_set_mib = 0, private_mib = 0;
};
Memory_use g_memory_use();

double g_now_seconds();
