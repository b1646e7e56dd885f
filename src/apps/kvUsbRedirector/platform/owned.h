// Owning types, so that every exit path releases what it holds: a heap block freed and a handle
// closed when they go, and a user-mode lock held for a scope.
#pragma once

#include "platform.h"
#include "thread_safety.h"

#include <windows.h>

#include <cstdlib>
#include <memory>
#include <type_traits>
#include <utility>

// A block of the C heap (malloc, calloc), freed when it goes.
struct Free_block
{
    void operator()(void* block) const
    {
        std::free(block);
    }
};
template <class T> using Owned_block = std::unique_ptr<T, Free_block>;

// A resource and its closer. The closer names the resource's type, its own empty value (what its
// creator returns on failure) and how it is released; the owner releases it once, on every exit
// path, and can only be moved.
template <class Closer> class Owned
{
  public:
    using type = typename Closer::type;
    Owned() = default;
    explicit Owned(type value) : m_value(value) {}
    Owned(Owned&& other) noexcept : m_value(other.release()) {}
    Owned& operator=(Owned&& other) noexcept
    {
        reset(other.release());
        return *this;
    }
    ~Owned()
    {
        reset();
    }
    type get() const
    {
        return m_value;
    }
    explicit operator bool() const
    {
        return m_value != Closer::empty();
    }
    type release()
    {
        return std::exchange(m_value, Closer::empty());
    }
    // False when what it held would not close.
    bool reset(type value = Closer::empty())
    {
        const type old = std::exchange(m_value, value);
        return old == Closer::empty() || Closer::close(old);
    }

  private:
    type m_value = Closer::empty();
};

// Events, threads, mutexes and tokens: their creators fail with null.
struct Kernel_object_closer
{
    using type = HANDLE;
    static HANDLE empty()
    {
        return nullptr;
    }
    static bool close(HANDLE handle)
    {
        return CloseHandle(handle) != FALSE;
    }
};
using Owned_handle = Owned<Kernel_object_closer>;

// Files and toolhelp snapshots of this process's own: their creators fail with
// INVALID_HANDLE_VALUE.
struct File_closer
{
    using type = HANDLE;
    static HANDLE empty()
    {
        return INVALID_HANDLE_VALUE;
    }
    static bool close(HANDLE file)
    {
        return CloseHandle(file) != FALSE;
    }
};
using Owned_file = Owned<File_closer>;

struct Key_closer
{
    using type = HKEY;
    static HKEY empty()
    {
        return nullptr;
    }
    static bool close(HKEY key)
    {
        return RegCloseKey(key) == ERROR_SUCCESS;
    }
};
using Owned_key = Owned<Key_closer>;

struct Menu_closer
{
    using type = HMENU;
    static HMENU empty()
    {
        return nullptr;
    }
    static bool close(HMENU menu)
    {
        return DestroyMenu(menu) != FALSE;
    }
};
using Owned_menu = Owned<Menu_closer>;

struct Icon_closer
{
    using type = HICON;
    static HICON empty()
    {
        return nullptr;
    }
    static bool close(HICON icon)
    {
        return DestroyIcon(icon) != FALSE;
    }
};
using Owned_icon = Owned<Icon_closer>;

// A block of the local heap: what the security descriptor conversions return.
struct Local_closer
{
    using type = HLOCAL;
    static HLOCAL empty()
    {
        return nullptr;
    }
    static bool close(HLOCAL block)
    {
        return LocalFree(block) == nullptr;
    }
};
using Owned_local = Owned<Local_closer>;

// A registered wait: ending it waits for a callback that is running, so the callback's context
// may go after it.
struct Wait_closer
{
    using type = HANDLE;
    static HANDLE empty()
    {
        return nullptr;
    }
    static bool close(HANDLE wait)
    {
        return UnregisterWaitEx(wait, INVALID_HANDLE_VALUE) != FALSE;
    }
};
using Owned_wait = Owned<Wait_closer>;

// The peers' resources, made and released through the binding.
// A driver's file: CreateFile fails with INVALID_HANDLE_VALUE.
struct Driver_file_closer
{
    using type = HANDLE;
    static HANDLE empty()
    {
        return INVALID_HANDLE_VALUE;
    }
    static bool close(HANDLE file)
    {
        return g_platform().close_handle(file) != FALSE;
    }
};
using Owned_driver_file = Owned<Driver_file_closer>;

struct Device_info_set_closer
{
    using type = HDEVINFO;
    static HDEVINFO empty()
    {
        return INVALID_HANDLE_VALUE;
    }
    static bool close(HDEVINFO set)
    {
        return g_platform().destroy_device_info_list(set) != FALSE;
    }
};
using Owned_device_info_set = Owned<Device_info_set_closer>;

struct Event_source_closer
{
    using type = HANDLE;
    static HANDLE empty()
    {
        return nullptr;
    }
    static bool close(HANDLE source)
    {
        return g_platform().deregister_event_source(source) != FALSE;
    }
};
using Owned_event_source = Owned<Event_source_closer>;

// A trace provider's registration: 0 until RegisterTraceGuids succeeds.
struct Trace_registration_closer
{
    using type = TRACEHANDLE;
    static TRACEHANDLE empty()
    {
        return 0;
    }
    // The status is left as the last error.
    static bool close(TRACEHANDLE registration)
    {
        const ULONG status = g_platform().unregister_trace_guids(registration);
        SetLastError(status);
        return status == ERROR_SUCCESS;
    }
};
using Owned_trace_registration = Owned<Trace_registration_closer>;

// A lock only ever taken inside this process: a slim reader/writer lock, no kernel call unless
// contended. Never destroyed, so a thread that outlives the engine can still take it.
class CAPABILITY("lock") Process_lock
{
  public:
    Process_lock() = default;
    Process_lock(const Process_lock&) = delete;
    Process_lock& operator=(const Process_lock&) = delete;
    bool try_hold() TRY_ACQUIRE(true)
    {
        return TryAcquireSRWLockExclusive(&m_lock) != FALSE;
    }
    void hold() ACQUIRE()
    {
        AcquireSRWLockExclusive(&m_lock);
    }
    void release() RELEASE()
    {
        ReleaseSRWLockExclusive(&m_lock);
    }

  private:
    SRWLOCK m_lock = SRWLOCK_INIT;
};

// Holds the lock from its construction to the end of its scope.
class SCOPED_CAPABILITY Lock_hold
{
  public:
    explicit Lock_hold(Process_lock& lock) ACQUIRE(lock) : m_lock(lock)
    {
        m_lock.hold();
    }
    ~Lock_hold() RELEASE()
    {
        m_lock.release();
    }
    Lock_hold(const Lock_hold&) = delete;
    Lock_hold& operator=(const Lock_hold&) = delete;

  private:
    Process_lock& m_lock;
};
