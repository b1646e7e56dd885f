#include "bench_meter.h"

#include "channel/server_channel.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

namespace
{

// Zero-initialised, so that the runtime makes them without a copy (which is counted here).
thread_local Thread_group t_group;
thread_local int t_seam_depth;
std::atomic<uint64_t> g_calls[3][k_counted_calls];
std::atomic<uint64_t> g_channel_bytes[3], g_other_bytes[3];

int counted_group()
{
    return t_group == Thread_group::none || t_seam_depth != 0 ? -1 : static_cast<int>(t_group);
}

void count(int call)
{
    const int group = counted_group();
    if (group >= 0)
        g_calls[group][call].fetch_add(1, std::memory_order_relaxed);
}

bool in_channel(const void* address)
{
    const auto* channel = reinterpret_cast<const BYTE*>(&g_virtual_channel);
    const auto* at = static_cast<const BYTE*>(address);
    return at >= channel && at < channel + sizeof g_virtual_channel;
}

void count_copy(void* destination, const void* source, size_t size)
{
    const int group = counted_group();
    if (group >= 0)
        (in_channel(destination) || in_channel(source) ? g_channel_bytes : g_other_bytes)[group] +=
            size;
}

// One hook per counted function: counts, then calls the original read from the import table.
template <int Call, class F> struct Hook;
template <int Call, class R, class... A> struct Hook<Call, R (*)(A...)>
{
    static inline R (*real)(A...) = nullptr;
    static R WINAPI hook(A... arguments)
    {
        count(Call);
        return real(arguments...);
    }
};

using Copy = void* (*)(void*, const void*, size_t);
template <int Which> struct Copy_hook
{
    static inline Copy real = nullptr;
    static void* hook(void* destination, const void* source, size_t size)
    {
        count_copy(destination, source, size);
        return real(destination, source, size);
    }
};

// Points the import slots of name at hook, keeping the original; false when not imported.
template <class F> bool patch(const char* name, F hook, F* original)
{
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    bool found = false;
    for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); d->Name;
         ++d)
    {
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots)
        {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal) ||
                std::strcmp(
                    reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)->Name,
                    name) != 0)
                continue;
            DWORD old = 0;
            VirtualProtect(&slots->u1.Function, sizeof(void*), PAGE_READWRITE, &old);
            *original = reinterpret_cast<F>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(hook);
            VirtualProtect(&slots->u1.Function, sizeof(void*), old, &old);
            found = true;
        }
    }
    return found;
}

// The import names, which also name the table's rows.
// clang-format off
constexpr const char* k_names[k_counted_calls] = {
    "CreateEventW", "CloseHandle", "ReadFile", "WriteFile", "GetOverlappedResult",
    "WaitForSingleObject", "WaitForMultipleObjects", "SetEvent", "ResetEvent", "CancelIoEx",
    "VirtualQuery", "Sleep", "DeviceIoControl", "operator new"};
// clang-format on

template <int Call, class F> bool patch_call(F)
{
    using H = Hook<Call, F>;
    return patch<F>(k_names[Call], &H::hook, &H::real);
}

double filetime_ms(const FILETIME& t)
{
    return (static_cast<uint64_t>(t.dwHighDateTime) << 32 | t.dwLowDateTime) / 10000.0;
}

struct Started
{
    LPTHREAD_START_ROUTINE routine;
    LPVOID parameter;
};

DWORD WINAPI counted_start(LPVOID parameter)
{
    const Started started = *static_cast<Started*>(parameter);
    delete static_cast<Started*>(parameter);
    g_count_this_thread(Thread_group::engine);
    return started.routine(started.parameter);
}

std::mutex g_engine_mutex;
std::vector<Owned_handle> g_engine_threads;

struct Find_closer
{
    using type = HANDLE;
    static HANDLE empty()
    {
        return INVALID_HANDLE_VALUE;
    }
    static bool close(HANDLE find)
    {
        return FindClose(find) != FALSE;
    }
};

// The names in a folder of /proc.
std::vector<std::string> proc_folder(const std::string& path)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA entry;
    const Owned<Find_closer> find(FindFirstFileA(("Z:\\proc\\" + path + "*").c_str(), &entry));
    if (find)
        do
            if (entry.cFileName[0] != '.')
                names.push_back(entry.cFileName);
        while (FindNextFileA(find.get(), &entry));
    return names;
}

} // namespace

// Every allocation comes through here (the runtime's nothrow and array forms call this one).
void* operator new(size_t size)
{
    count(call_heap);
    if (void* block = std::malloc(size ? size : 1))
        return block;
    throw std::bad_alloc();
}

const char* g_call_name(int call)
{
    return k_names[call];
}

uint64_t Counts::system_calls() const
{
    uint64_t total = 0;
    for (int i = 0; i < call_heap; ++i)
        total += n[i];
    return total;
}

Counts Counts::operator-(const Counts& earlier) const
{
    Counts d;
    for (int i = 0; i < k_counted_calls; ++i)
        d.n[i] = n[i] - earlier.n[i];
    d.channel_bytes = channel_bytes - earlier.channel_bytes;
    d.other_bytes = other_bytes - earlier.other_bytes;
    return d;
}

bool g_install_call_counting()
{
    bool ok = patch_call<call_create_event>(&CreateEventW);
    ok &= patch_call<call_close_handle>(&CloseHandle);
    ok &= patch_call<call_read_file>(&ReadFile);
    ok &= patch_call<call_write_file>(&WriteFile);
    ok &= patch_call<call_overlapped_result>(&GetOverlappedResult);
    ok &= patch_call<call_wait_single>(&WaitForSingleObject);
    ok &= patch_call<call_wait_multiple>(&WaitForMultipleObjects);
    ok &= patch_call<call_set_event>(&SetEvent);
    ok &= patch_call<call_reset_event>(&ResetEvent);
    ok &= patch_call<call_cancel_io>(&CancelIoEx);
    ok &= patch_call<call_virtual_query>(&VirtualQuery);
    ok &= patch_call<call_sleep>(&Sleep);
    ok &= patch<Copy>("memcpy", &Copy_hook<0>::hook, &Copy_hook<0>::real);
    ok &= patch<Copy>("memmove", &Copy_hook<1>::hook, &Copy_hook<1>::real);
    return ok;
}

void g_count_this_thread(Thread_group group)
{
    t_group = group;
}

Counts g_counts(Thread_group group)
{
    const int g = static_cast<int>(group);
    Counts c;
    for (int i = 0; i < k_counted_calls; ++i)
        c.n[i] = g_calls[g][i].load();
    c.channel_bytes = g_channel_bytes[g].load();
    c.other_bytes = g_other_bytes[g].load();
    return c;
}

Seam_scope::Seam_scope(int call)
{
    if (call < k_counted_calls)
        count(call);
    ++t_seam_depth;
}

Seam_scope::~Seam_scope()
{
    --t_seam_depth;
}

HANDLE g_counted_engine_thread(LPTHREAD_START_ROUTINE routine, LPVOID parameter)
{
    auto* started = new (std::nothrow) Started{routine, parameter};
    HANDLE thread =
        started ? CreateThread(nullptr, 0, counted_start, started, 0, nullptr) : nullptr;
    if (!thread)
    {
        delete started;
        return nullptr;
    }
    HANDLE kept = nullptr;
    DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &kept, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    std::lock_guard<std::mutex> lock(g_engine_mutex);
    g_engine_threads.emplace_back(kept);
    return thread;
}

// The sum over every engine thread ever made, so that it only grows across stops and starts.
double g_engine_cpu_ms()
{
    std::lock_guard<std::mutex> lock(g_engine_mutex);
    double ms = 0;
    for (const Owned_handle& thread : g_engine_threads)
        ms += g_thread_cpu_ms(thread.get());
    return ms;
}

Meter::Meter(Thread_group group) : m_group(group), m_begin(point()) {}

Meter::Point Meter::point() const
{
    return {g_now_seconds(),
            m_group == Thread_group::engine ? g_engine_cpu_ms()
                                            : g_thread_cpu_ms(GetCurrentThread()),
            g_wineserver_cpu_ms(), g_counts(m_group)};
}

void Meter::end(Run* run) const
{
    const Point now = point();
    run->seconds = now.at - m_begin.at;
    run->cpu_ms = now.cpu_ms - m_begin.cpu_ms;
    run->server_ms = m_begin.server_ms < 0 ? -1 : now.server_ms - m_begin.server_ms;
    run->counts = now.counts - m_begin.counts;
}

double g_thread_cpu_ms(HANDLE thread)
{
    FILETIME created, ended, kernel, user;
    if (!GetThreadTimes(thread, &created, &ended, &kernel, &user))
        return 0;
    return filetime_ms(kernel) + filetime_ms(user);
}

std::string g_proc_file(const std::string& path)
{
    const Owned_file file(CreateFileA(("Z:\\proc\\" + path).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                      nullptr));
    std::string text;
    char chunk[4096];
    DWORD got = 0;
    while (file && ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr) && got != 0)
        text.append(chunk, got);
    return text;
}

double g_linux_process_cpu_ms(unsigned long pid)
{
    const std::string folder = std::to_string(pid) + "\\task\\";
    double ms = -1;
    // schedstat: nanoseconds on a processor, nanoseconds waiting, time slices.
    for (const std::string& task : proc_folder(folder))
        if (const std::string text = g_proc_file(folder + task + "\\schedstat"); !text.empty())
            ms = (ms < 0 ? 0 : ms) + std::strtod(text.c_str(), nullptr) / 1e6;
    return pid ? ms : -1;
}

unsigned long g_linux_pid_with_arguments(const std::string& arguments)
{
    for (const std::string& name : proc_folder(""))
    {
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::string command = g_proc_file(name + "\\cmdline");
        for (char& c : command)
            c = c ? c : ' ';
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
