#include "session_control.h"

#include <aclapi.h>
#include <sddl.h>
#include <strsafe.h>

#include <algorithm>
#include <cstdarg>
#include <string>

namespace
{

// A drain looks again at least this often: an instance started during it, or one whose handle
// could not be had, is seen within this time.
constexpr DWORD k_drain_slice_ms = 500;

void log_line(Session_system& system, Log_level level, const wchar_t* format, ...)
{
    wchar_t line[512];
    va_list args;
    va_start(args, format);
    // A line cut at the buffer's end is still worth writing.
    StringCchVPrintfW(line, ARRAYSIZE(line), format, args);
    va_end(args);
    system.log(level, line);
}

// Waits up to milliseconds for the listed instances to end (at most as many as one wait takes;
// the others are seen at the next listing).
void wait_for_instances(Session_system& system, const std::vector<Instance>& running,
                        DWORD milliseconds)
{
    Owned_handle owned[MAXIMUM_WAIT_OBJECTS];
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    DWORD count = 0;
    for (const Instance& instance : running)
    {
        if (count == MAXIMUM_WAIT_OBJECTS)
            break;
        owned[count] = system.open_instance(instance.pid);
        if (owned[count])
        {
            handles[count] = owned[count].get();
            ++count;
        }
    }
    if (count == 0)
        Sleep(milliseconds);
    else
        WaitForMultipleObjects(count, handles, TRUE, milliseconds);
}

} // namespace

DWORD g_next_stop_value(DWORD value)
{
    return value == MAXDWORD ? 1 : value + 1;
}

bool g_stop_instances(Session_system& system, DWORD timeout_ms)
{
    DWORD before = 0;
    DWORD after = 0;
    if (!system.request_stop(&before, &after))
    {
        log_line(system, Log_level::error,
                 L"stop: the stop request could not be written (error %lu): no instance was asked "
                 L"to stop",
                 GetLastError());
        return false;
    }
    log_line(system, Log_level::information, L"stop: StopInstances %lu -> %lu", before, after);
    const ULONGLONG start = GetTickCount64();
    std::vector<Instance> running;
    for (;;)
    {
        running.clear();
        if (!system.list_instances(&running))
        {
            log_line(system, Log_level::error,
                     L"stop: the processes could not be listed (error %lu): not waited for",
                     GetLastError());
            return false;
        }
        const ULONGLONG elapsed = GetTickCount64() - start;
        if (running.empty())
        {
            log_line(system, Log_level::information, L"stop: no instance left after %llu ms",
                     elapsed);
            return true;
        }
        if (elapsed >= timeout_ms)
            break;
        wait_for_instances(
            system, running,
            static_cast<DWORD>(std::min<ULONGLONG>(timeout_ms - elapsed, k_drain_slice_ms)));
    }
    // The package goes on: the files in use are replaced at the next restart of the machine.
    for (const Instance& instance : running)
        log_line(system, Log_level::warning,
                 L"stop: instance %lu of session %lu did not end within %lu ms of the stop "
                 L"request; its files are replaced at the next restart",
                 instance.pid, instance.session, timeout_ms);
    return false;
}

bool g_start_instances(Session_system& system, const wchar_t* exe)
{
    std::vector<DWORD> sessions;
    if (!system.list_sessions(&sessions))
    {
        log_line(system, Log_level::error,
                 L"start: the sessions could not be listed (error %lu): no instance started",
                 GetLastError());
        return false;
    }
    // A process of a job runs in the job's session (AssignProcessToJobObject): a start in another
    // session leaves the job where the job allows it.
    const Job_exit job = system.job_exit();
    if (job == Job_exit::refused)
        log_line(system, Log_level::warning,
                 L"start: this process's job allows no breakaway: each instance starts inside it, "
                 L"and a start in another session may fail");
    // The program folder, not the custom action's current one.
    const wchar_t* name = wcsrchr(exe, L'\\');
    const std::wstring folder(exe, name ? name - exe : 0);
    // A session that kept its instance (one that outlived the drain) needs none: a second one
    // would only leave again with a warning.
    std::vector<Instance> running;
    if (!system.list_instances(&running))
        running.clear();
    bool started_all = true;
    for (const DWORD session : sessions)
    {
        const auto kept =
            std::find_if(running.begin(), running.end(),
                         [session](const Instance& i) { return i.session == session; });
        if (kept != running.end())
        {
            log_line(system, Log_level::information,
                     L"start: session %lu still has instance %lu: none started", session,
                     kept->pid);
            continue;
        }
        const Owned_handle token = system.user_token(session);
        if (!token)
        {
            log_line(system, Log_level::information, L"start: session %lu has no user (error %lu)",
                     session, GetLastError());
            continue;
        }
        DWORD pid = 0;
        if (system.start_as_user(token.get(), exe, folder.empty() ? nullptr : folder.c_str(),
                                 job == Job_exit::breakaway, &pid))
            log_line(system, Log_level::information, L"start: %ls started in session %lu as %lu",
                     exe, session, pid);
        else
        {
            log_line(system, Log_level::warning,
                     L"start: %ls could not be started in session %lu (error %lu); it starts at "
                     L"the user's next logon",
                     exe, session, GetLastError());
            started_all = false;
        }
    }
    return started_all;
}

bool g_protect_log_folder(const wchar_t* path)
{
    PSECURITY_DESCRIPTOR made = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", SDDL_REVISION_1, &made, nullptr))
        return false;
    const Owned_local descriptor(made);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, made, FALSE};
    if (CreateDirectoryW(path, &attributes))
        return true;
    if (GetLastError() != ERROR_ALREADY_EXISTS)
        return false;
    // Made before, by whoever: its DACL is set again, and reaches what it holds by inheritance.
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    return GetSecurityDescriptorDacl(made, &present, &dacl, &defaulted) &&
           SetNamedSecurityInfoW(const_cast<wchar_t*>(path), SE_FILE_OBJECT,
                                 DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                 nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS;
}
