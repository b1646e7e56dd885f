// What the installer does to the instances of every session, as LocalSystem: the drain (every
// instance asked to stop through the product key, then waited for) and the start (one instance in
// each session with a user). The system is reached only through Session_system, which a test
// replaces.
#pragma once

#include "../kvUsbRedirector/platform/owned.h"

#include <windows.h>

#include <vector>

constexpr wchar_t k_instance_exe_name[] = L"kvUsbRedirector.exe";
// The whole drain's budget: the package must go on even when an instance never ends.
constexpr DWORD k_drain_timeout_ms = 30000;

enum class Log_level
{
    error,
    warning,
    information,
};

// A running kvUsbRedirector.exe.
struct Instance
{
    DWORD pid;
    DWORD session;
};

// What a process started from this one needs to run in another session: this one may run in a
// job (msiexec's, for a custom action), and all processes of a job run in one session.
enum class Job_exit
{
    not_needed, // no job, or one its children leave by themselves
    breakaway,  // the job lets a child leave it when asked (CREATE_BREAKAWAY_FROM_JOB)
    refused,    // the job keeps its children
};

struct Session_system
{
    virtual ~Session_system() = default;
    // The sessions that might have a user (the enumeration's, and the console's).
    virtual bool list_sessions(std::vector<DWORD>* sessions) = 0;
    // Null when no user is logged on in the session (GetLastError tells why).
    virtual Owned_handle user_token(DWORD session) = 0;
    virtual Job_exit job_exit() = 0;
    // Starts the exe as the token's user on that session's interactive desktop, in folder, and
    // out of this process's job when breakaway.
    virtual bool start_as_user(HANDLE token, const wchar_t* exe, const wchar_t* folder,
                               bool breakaway, DWORD* pid) = 0;
    // Every process named kvUsbRedirector.exe, in any session.
    virtual bool list_instances(std::vector<Instance>* instances) = 0;
    // A handle that is signalled when the process ends; null when it cannot be had.
    virtual Owned_handle open_instance(DWORD pid) = 0;
    // Writes the stop request: the StopInstances value moved on from *before to *after.
    virtual bool request_stop(DWORD* before, DWORD* after) = 0;
    virtual void log(Log_level level, const wchar_t* line) = 0;
};

// The value after `value`: a change the instances see, never 0 (which an absent value reads as).
DWORD g_next_stop_value(DWORD value);

// Asks every instance to stop and waits up to timeout_ms for all of them to end; each one still
// running then is logged with its process and session. True when none is left.
bool g_stop_instances(Session_system& system, DWORD timeout_ms);

// Starts exe in every session with a user and no instance yet. True when no start failed.
bool g_start_instances(Session_system& system, const wchar_t* exe);

// Makes the folder, or takes it over, with a DACL of its own that lets only LocalSystem and the
// administrators in, inherited by what it holds. False when that cannot be had.
bool g_protect_log_folder(const wchar_t* path);
