#include "bench_meter.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace
{

struct Thread_slot
{
    std::atomic<DWORD> id{0};
    std::atomic<Thread_group> group{Thread_group::none};
    std::atomic<int> seam_depth{0};
    HANDLE handle = nullptr;
};

constexpr int k_slots = 64;
Thread_slot g_slots[k_slots];
std::atomic<int> g_slot_count{0};
std::atomic<uint64_t> g_counts[3][k_counted_calls];

Thread_slot* slot_of(DWORD id)
{
    const int n = g_slot_count.load(std::memory_order_acquire);
    for (int i = 0; i < n; ++i)
        if (g_slots[i].id.load(std::memory_order_relaxed) == id)
            return &g_slots[i];
    return nullptr;
}

void count(Counted_call call)
{
    Thread_slot* slot = slot_of(GetCurrentThreadId());
    if (!slot || slot->seam_depth.load(std::memory_order_relaxed) != 0)
        return;
    const Thread_group group = slot->group.load(std::memory_order_relaxed);
    if (group != Thread_group::none)
        g_counts[static_cast<int>(group)][call].fetch_add(1, std::memory_order_relaxed);
}

// The originals, read from the import table before it is patched.
decltype(&CreateEventW) real_CreateEventW;
decltype(&CloseHandle) real_CloseHandle;
decltype(&ReadFile) real_ReadFile;
decltype(&WriteFile) real_WriteFile;
decltype(&GetOverlappedResult) real_GetOverlappedResult;
decltype(&WaitForSingleObject) real_WaitForSingleObject;
decltype(&WaitForMultipleObjects) real_WaitForMultipleObjects;
decltype(&ReleaseMutex) real_ReleaseMutex;
decltype(&SetEvent) real_SetEvent;
decltype(&ResetEvent) real_ResetEvent;
decltype(&CancelIoEx) real_CancelIoEx;
decltype(&VirtualQuery) real_VirtualQuery;
decltype(&Sleep) real_Sleep;

HANDLE WINAPI hook_CreateEventW(LPSECURITY_ATTRIBUTES a, BOOL manual, BOOL initial, LPCWSTR name)
{
    count(call_create_event);
    return real_CreateEventW(a, manual, initial, name);
}
BOOL WINAPI hook_CloseHandle(HANDLE h)
{
    count(call_close_handle);
    return real_CloseHandle(h);
}
BOOL WINAPI hook_ReadFile(HANDLE h, LPVOID b, DWORD n, LPDWORD got, LPOVERLAPPED o)
{
    count(call_read_file);
    return real_ReadFile(h, b, n, got, o);
}
BOOL WINAPI hook_WriteFile(HANDLE h, LPCVOID b, DWORD n, LPDWORD put, LPOVERLAPPED o)
{
    count(call_write_file);
    return real_WriteFile(h, b, n, put, o);
}
BOOL WINAPI hook_GetOverlappedResult(HANDLE h, LPOVERLAPPED o, LPDWORD n, BOOL wait)
{
    count(call_overlapped_result);
    return real_GetOverlappedResult(h, o, n, wait);
}
DWORD WINAPI hook_WaitForSingleObject(HANDLE h, DWORD ms)
{
    count(call_wait_single);
    return real_WaitForSingleObject(h, ms);
}
DWORD WINAPI hook_WaitForMultipleObjects(DWORD n, const HANDLE* h, BOOL all, DWORD ms)
{
    count(call_wait_multiple);
    return real_WaitForMultipleObjects(n, h, all, ms);
}
BOOL WINAPI hook_ReleaseMutex(HANDLE h)
{
    count(call_release_mutex);
    return real_ReleaseMutex(h);
}
BOOL WINAPI hook_SetEvent(HANDLE h)
{
    count(call_set_event);
    return real_SetEvent(h);
}
BOOL WINAPI hook_ResetEvent(HANDLE h)
{
    count(call_reset_event);
    return real_ResetEvent(h);
}
BOOL WINAPI hook_CancelIoEx(HANDLE h, LPOVERLAPPED o)
{
    count(call_cancel_io);
    return real_CancelIoEx(h, o);
}
SIZE_T WINAPI hook_VirtualQuery(LPCVOID a, PMEMORY_BASIC_INFORMATION info, SIZE_T size)
{
    count(call_virtual_query);
    return real_VirtualQuery(a, info, size);
}
void WINAPI hook_Sleep(DWORD ms)
{
    count(call_sleep);
    real_Sleep(ms);
}

// Points the import slot of name at hook, keeping the original; false when not imported.
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
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            auto* by_name = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(by_name->Name), name) != 0)
                continue;
            DWORD old = 0;
            VirtualProtect(&slots->u1.Function, sizeof(void*), PAGE_READWRITE, &old);
            if (!*original)
                *original = reinterpret_cast<F>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(hook);
            VirtualProtect(&slots->u1.Function, sizeof(void*), old, &old);
            found = true;
        }
    }
    return found;
}

double filetime_ms(const FILETIME& t)
{
    return (static_cast<uint64_t>(t.dwHighDateTime) << 32 | t.dwLowDateTime) / 10000.0;
}

} // namespace

// Every allocation of the program comes through here (the runtime's nothrow and array forms
// call this one); the runtime's operator delete frees what malloc gave.
void* operator new(size_t size)
{
    count(call_heap);
    if (void* block = std::malloc(size ? size : 1))
        return block;
    throw std::bad_alloc();
}

const char* g_call_name(int call)
{
    static const char* const names[k_counted_calls] = {"CreateEvent",
                                                       "CloseHandle",
                                                       "ReadFile",
                                                       "WriteFile",
                                                       "GetOverlappedResult",
                                                       "WaitForSingleObject",
                                                       "WaitForMultipleObjects",
                                                       "ReleaseMutex",
                                                       "SetEvent",
                                                       "ResetEvent",
                                                       "CancelIoEx",
                                                       "VirtualQuery",
                                                       "Sleep",
                                                       "DeviceIoControl",
                                                       "operator new"};
    return names[call];
}

uint64_t Call_counts::system_calls() const
{
    uint64_t total = 0;
    for (int i = 0; i < k_counted_calls; ++i)
        if (i != call_heap)
            total += n[i];
    return total;
}

Call_counts Call_counts::operator-(const Call_counts& earlier) const
{
    Call_counts d;
    for (int i = 0; i < k_counted_calls; ++i)
        d.n[i] = n[i] - earlier.n[i];
    return d;
}

Call_counts Call_counts::operator+(const Call_counts& more) const
{
    Call_counts d;
    for (int i = 0; i < k_counted_calls; ++i)
        d.n[i] = n[i] + more.n[i];
    return d;
}

bool g_install_call_counting()
{
    bool ok = patch("CreateEventW", &hook_CreateEventW, &real_CreateEventW);
    ok &= patch("CloseHandle", &hook_CloseHandle, &real_CloseHandle);
    ok &= patch("ReadFile", &hook_ReadFile, &real_ReadFile);
    ok &= patch("WriteFile", &hook_WriteFile, &real_WriteFile);
    ok &= patch("GetOverlappedResult", &hook_GetOverlappedResult, &real_GetOverlappedResult);
    ok &= patch("WaitForSingleObject", &hook_WaitForSingleObject, &real_WaitForSingleObject);
    ok &=
        patch("WaitForMultipleObjects", &hook_WaitForMultipleObjects, &real_WaitForMultipleObjects);
    patch("ReleaseMutex", &hook_ReleaseMutex, &real_ReleaseMutex); // none since the user-mode locks
    ok &= patch("SetEvent", &hook_SetEvent, &real_SetEvent);
    ok &= patch("ResetEvent", &hook_ResetEvent, &real_ResetEvent);
    ok &= patch("CancelIoEx", &hook_CancelIoEx, &real_CancelIoEx);
    ok &= patch("VirtualQuery", &hook_VirtualQuery, &real_VirtualQuery);
    ok &= patch("Sleep", &hook_Sleep, &real_Sleep);
    return ok;
}

void g_count_thread(DWORD thread_id, Thread_group group, HANDLE thread)
{
    Thread_slot* slot = slot_of(thread_id);
    if (!slot)
    {
        const int i = g_slot_count.load();
        if (i >= k_slots)
            return;
        g_slots[i].id = thread_id;
        slot = &g_slots[i];
        g_slot_count.store(i + 1, std::memory_order_release);
    }
    slot->handle = thread;
    slot->group = group;
}

void g_stop_counting_thread(DWORD thread_id)
{
    if (Thread_slot* slot = slot_of(thread_id))
        slot->group = Thread_group::none;
}

Call_counts g_counted_calls(Thread_group group)
{
    Call_counts c;
    for (int i = 0; i < k_counted_calls; ++i)
        c.n[i] = g_counts[static_cast<int>(group)][i].load();
    return c;
}

Seam_scope::Seam_scope(int call)
{
    Thread_slot* slot = slot_of(GetCurrentThreadId());
    if (!slot)
        return;
    if (slot->seam_depth++ == 0 && call < k_counted_calls && slot->group != Thread_group::none)
        g_counts[static_cast<int>(slot->group.load())][call]++;
}

Seam_scope::~Seam_scope()
{
    if (Thread_slot* slot = slot_of(GetCurrentThreadId()))
        --slot->seam_depth;
}

HANDLE g_counted_engine_thread(LPTHREAD_START_ROUTINE routine, LPVOID parameter)
{
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, routine, parameter, CREATE_SUSPENDED, &id);
    if (!thread)
        return nullptr;
    HANDLE kept = nullptr;
    DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &kept, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    g_count_thread(id, Thread_group::engine, kept);
    ResumeThread(thread);
    return thread;
}

double g_thread_cpu_ms(HANDLE thread)
{
    FILETIME created, ended, kernel, user;
    if (!GetThreadTimes(thread, &created, &ended, &kernel, &user))
        return 0;
    return filetime_ms(kernel) + filetime_ms(user);
}

double g_group_cpu_ms(Thread_group group)
{
    double total = 0;
    const int n = g_slot_count.load();
    for (int i = 0; i < n; ++i)
        if (g_slots[i].handle && g_slots[i].group == group)
            total += g_thread_cpu_ms(g_slots[i].handle);
    return total;
}
