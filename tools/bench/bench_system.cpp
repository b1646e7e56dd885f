// Times and memory from the system: the process's own, and Linux's view of the process and of
// the Wine server through drive Z:.
#include "bench_meter.h"

#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace
{

double filetime_ms(const FILETIME& t)
{
    return (static_cast<uint64_t>(t.dwHighDateTime) << 32 | t.dwLowDateTime) / 10000.0;
}

} // namespace

double g_process_cpu_ms()
{
    FILETIME created, ended, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user))
        return 0;
    return filetime_ms(kernel) + filetime_ms(user);
}

namespace
{

// A file of Linux's /proc, reached through drive Z: (the Wine server opens it); "" if none.
std::string proc_file(const std::string& path)
{
    HANDLE file =
        CreateFileA(("Z:\\proc\\" + path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "";
    std::string text;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got != 0)
        text.append(chunk, got);
    CloseHandle(file);
    return text;
}

// The names in a folder of /proc.
std::vector<std::string> proc_folder(const std::string& path)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA entry;
    const std::string folder = path.empty() ? "Z:\\proc" : "Z:\\proc\\" + path;
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do
        if (entry.cFileName[0] != '.')
            names.push_back(entry.cFileName);
    while (FindNextFileA(find, &entry));
    FindClose(find);
    return names;
}

} // namespace

double g_linux_process_cpu_ms(unsigned long pid)
{
    if (pid == 0)
        return -1;
    const std::string folder = std::to_string(pid) + "\\task";
    double ms = 0;
    bool any = false;
    for (const std::string& task : proc_folder(folder))
    {
        // schedstat: nanoseconds on a processor, nanoseconds waiting, time slices.
        const std::string text = proc_file(folder + "\\" + task + "\\schedstat");
        if (text.empty())
            continue;
        ms += std::strtod(text.c_str(), nullptr) / 1e6;
        any = true;
    }
    return any ? ms : -1;
}

unsigned long g_linux_pid_with_arguments(const std::string& arguments)
{
    for (const std::string& name : proc_folder(""))
    {
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::string command = proc_file(name + "\\cmdline");
        std::replace(command.begin(), command.end(), '\0', ' ');
        if (command.find(arguments) != std::string::npos)
            return std::strtoul(name.c_str(), nullptr, 10);
    }
    return 0;
}

double g_wineserver_cpu_ms()
{
    static const char* pid = std::getenv("KV_WINESERVER_PID");
    return pid ? g_linux_process_cpu_ms(std::strtoul(pid, nullptr, 10)) : -1;
}

Memory_use g_memory_use()
{
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    Memory_use use;
    if (GetProcessMemoryInfo(GetCurrentProcess(),
                             reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                             sizeof counters))
    {
        use.working_set_mib = counters.WorkingSetSize / 1048576.0;
        use.peak_working_set_mib = counters.PeakWorkingSetSize / 1048576.0;
        use.private_mib = counters.PrivateUsage / 1048576.0;
    }
    return use;
}

double g_now_seconds()
{
    static const double frequency = []
    {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart / frequency;
}
