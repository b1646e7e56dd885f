#include "bench_idle.h"

#include "bench_engine.h"
#include "bench_meter.h"
#include "manager/usb_manager.h"

#include <cstdio>
#include <string>
#include <vector>

namespace
{

struct Child
{
    PROCESS_INFORMATION process{};
    HANDLE output = nullptr;
    std::string pending;
};

// Reads the child's output up to the end of the next line (its text mode ends lines in \r\n).
bool read_line(Child& child, std::string* line)
{
    for (;;)
    {
        size_t end = child.pending.find('\n');
        if (end != std::string::npos)
        {
            *line = child.pending.substr(0, end);
            child.pending.erase(0, end + 1);
            if (!line->empty() && line->back() == '\r')
                line->pop_back();
            return true;
        }
        char chunk[256];
        DWORD got = 0;
        if (!ReadFile(child.output, chunk, sizeof chunk, &got, nullptr) || got == 0)
            return false;
        child.pending.append(chunk, got);
    }
}

bool start_child(int seconds, const std::string& go_event, int index, Child* child)
{
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE write_end = nullptr;
    if (!CreatePipe(&child->output, &write_end, &inherit, 0))
        return false;
    SetHandleInformation(child->output, HANDLE_FLAG_INHERIT, 0);
    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    wchar_t name[16];
    swprintf(name, 16, L"child%03d", index);
    std::wstring command = L"\"" + std::wstring(exe) + L"\" --idle " + std::to_wstring(seconds) +
                           L" " + std::wstring(go_event.begin(), go_event.end()) + L" " + name;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = write_end;
    startup.hStdError = write_end;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    bool ok = CreateProcessW(exe, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                             &startup, &child->process) != FALSE;
    CloseHandle(write_end);
    return ok;
}

} // namespace

int g_idle_child(int seconds, const char* go_event, const char* name)
{
    // Its own process as Linux sees it, for times to the nanosecond.
    const unsigned long pid = g_linux_pid_with_arguments(std::string(go_event) + " " + name + " ");
    HANDLE go = OpenEventA(SYNCHRONIZE, FALSE, go_event);
    Bench_session bench;
    g_seams.timing = Engine_timing{}; // production's waits throughout
    if (!go || !bench.start())
    {
        std::printf("failed\n");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    WaitForSingleObject(go, INFINITE);
    auto process_cpu = [pid] { return pid ? g_linux_process_cpu_ms(pid) : g_process_cpu_ms(); };
    const double process = process_cpu();
    Sleep(static_cast<DWORD>(seconds) * 1000);
    const Memory_use memory = g_memory_use();
    std::printf("idle %.3f %.3f %d\n", process_cpu() - process, memory.working_set_mib,
                pid ? 1 : 0);
    std::fflush(stdout);
    bench.stop();
    CloseHandle(go);
    return 0;
}

Idle_figures g_idle_sessions(int processes, int seconds)
{
    Idle_figures figures;
    figures.processes = processes;
    figures.seconds = seconds;
    const std::string go_name = "kv_bench_idle_go_" + std::to_string(GetCurrentProcessId());
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, go_name.c_str());
    std::vector<Child> children(processes);
    for (int i = 0; i < processes; ++i)
        if (!start_child(seconds, go_name, i, &children[i]))
            children[i].output = nullptr;
    std::string line;
    for (Child& child : children)
        if (child.output && (!read_line(child, &line) || line != "ready"))
        {
            CloseHandle(child.output);
            child.output = nullptr;
        }
    const double server = g_wineserver_cpu_ms();
    SetEvent(go);
    for (Child& child : children)
    {
        double process = 0, working_set = 0;
        int exact = 0;
        if (child.output && read_line(child, &line) &&
            std::sscanf(line.c_str(), "idle %lf %lf %d", &process, &working_set, &exact) == 3)
        {
            ++figures.reported;
            figures.exact += exact;
            figures.process_cpu_ms += process;
            figures.working_set_mib += working_set;
        }
    }
    if (server >= 0)
        figures.server_cpu_ms = g_wineserver_cpu_ms() - server;
    for (Child& child : children)
    {
        if (child.process.hProcess)
        {
            WaitForSingleObject(child.process.hProcess, 60000);
            CloseHandle(child.process.hProcess);
            CloseHandle(child.process.hThread);
        }
        if (child.output)
            CloseHandle(child.output);
    }
    CloseHandle(go);
    return figures;
}
