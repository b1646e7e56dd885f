// Idle sessions, each in a process of its own as on a terminal server with one instance per
// session; the parent measures them through Linux's /proc, so that measuring costs them nothing.
#include "bench_report.h"

#include "platform/seams.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace
{

// A figure of a /proc file of the process, "name:  value kB", in MiB.
double mib_of(unsigned long pid, const char* file, const char* name)
{
    const std::string text = g_proc_file(std::to_string(pid) + "\\" + file);
    const size_t at = text.find(name);
    return at == std::string::npos ? 0 : std::atof(text.c_str() + at + std::strlen(name)) / 1024;
}

} // namespace

int g_idle_child(const char* name)
{
    const Owned_handle ready(
        OpenSemaphoreA(SEMAPHORE_MODIFY_STATE, FALSE, (std::string(name) + "_ready").c_str()));
    const Owned_handle done(OpenEventA(SYNCHRONIZE, FALSE, name));
    Bench_session session;
    if (!ready || !done || !session.start_quickly())
        return 1;
    g_seams.timing = Engine_timing{}; // production's waits throughout
    ReleaseSemaphore(ready.get(), 1, nullptr);
    WaitForSingleObject(done.get(), INFINITE);
    return 0;
}

Idle_figures g_idle_sessions(int processes, int seconds)
{
    Idle_figures f;
    f.processes = processes;
    f.seconds = seconds;
    // The event that ends the children; each releases the semaphore once ready.
    const std::string name = "kv_bench_idle_" + std::to_string(GetCurrentProcessId());
    const Owned_handle ready(CreateSemaphoreA(nullptr, 0, processes, (name + "_ready").c_str()));
    const Owned_handle done(CreateEventA(nullptr, TRUE, FALSE, name.c_str()));
    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::vector<Owned_handle> children;
    for (int i = 0; i < processes; ++i)
    {
        std::wstring command = L"\"" + std::wstring(exe) + L"\" --idle " +
                               std::wstring(name.begin(), name.end()) + L" child" +
                               std::to_wstring(i) + L" ";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        if (CreateProcessW(exe, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                           &startup, &process))
        {
            children.emplace_back(process.hProcess);
            const Owned_handle thread(process.hThread);
        }
    }
    for (size_t i = 0; i < children.size(); ++i)
        WaitForSingleObject(ready.get(), 120000);
    Sleep(5000); // the last ones' start settles
    std::vector<std::pair<unsigned long, double>> before;
    for (int i = 0; i < processes; ++i)
        if (const unsigned long pid =
                g_linux_pid_with_arguments(" child" + std::to_string(i) + " "))
            before.push_back({pid, g_linux_process_cpu_ms(pid)});
    const double server = g_wineserver_cpu_ms();
    Sleep(static_cast<DWORD>(seconds) * 1000);
    for (const auto& [pid, cpu] : before)
        if (const double now = g_linux_process_cpu_ms(pid); now >= 0 && cpu >= 0)
        {
            ++f.reported;
            f.cpu_ms += now - cpu;
            f.resident_mib += mib_of(pid, "status", "VmRSS:");
            f.proportional_mib += mib_of(pid, "smaps_rollup", "Pss:");
        }
    if (server >= 0)
        f.server_cpu_ms = g_wineserver_cpu_ms() - server;
    SetEvent(done.get());
    for (const Owned_handle& child : children)
        WaitForSingleObject(child.get(), 60000);
    return f;
}
