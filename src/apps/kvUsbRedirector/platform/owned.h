// Owning types, so that every exit path releases what it holds: a heap block freed and a kernel
// handle closed when they go, and a user-mode lock held for a scope.
#pragma once

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

// Events, threads and files; INVALID_HANDLE_VALUE (or nullptr, as the creators fail) is empty.
class Owned_handle
{
  public:
    Owned_handle() = default;
    explicit Owned_handle(HANDLE handle) : m_handle(handle ? handle : INVALID_HANDLE_VALUE) {}
    Owned_handle(Owned_handle&& other) noexcept : m_handle(other.release()) {}
    Owned_handle& operator=(Owned_handle&& other) noexcept
    {
        reset(other.release());
        return *this;
    }
    ~Owned_handle()
    {
        reset();
    }
    HANDLE get() const
    {
        return m_handle;
    }
    explicit operator bool() const
    {
        return m_handle != INVALID_HANDLE_VALUE;
    }
    HANDLE release()
    {
        return std::exchange(m_handle, INVALID_HANDLE_VALUE);
    }
    // False when the handle it held would not close.
    bool reset(HANDLE handle = INVALID_HANDLE_VALUE)
    {
        const HANDLE old = std::exchange(m_handle, handle ? handle : INVALID_HANDLE_VALUE);
        return old == INVALID_HANDLE_VALUE || CloseHandle(old);
    }

  private:
    HANDLE m_handle = INVALID_HANDLE_VALUE;
};

// A registry key, closed when it goes.
struct Key_closer
{
    void operator()(HKEY key) const
    {
        RegCloseKey(key);
    }
};
using Owned_key = std::unique_ptr<std::remove_pointer_t<HKEY>, Key_closer>;

// A lock only ever taken inside this process: a slim reader/writer lock, no kernel call unless
// contended. Never destroyed, so a thread that outlives the engine can still take it.
class Process_lock
{
  public:
    Process_lock() = default;
    Process_lock(const Process_lock&) = delete;
    Process_lock& operator=(const Process_lock&) = delete;
    bool try_hold()
    {
        return TryAcquireSRWLockExclusive(&m_lock) != FALSE;
    }
    void hold()
    {
        AcquireSRWLockExclusive(&m_lock);
    }
    void release()
    {
        ReleaseSRWLockExclusive(&m_lock);
    }

  private:
    SRWLOCK m_lock = SRWLOCK_INIT;
};

// Holds the lock from its construction to the end of its scope.
class Lock_hold
{
  public:
    explicit Lock_hold(Process_lock& lock) : m_lock(lock)
    {
        m_lock.hold();
    }
    ~Lock_hold()
    {
        m_lock.release();
    }
    Lock_hold(const Lock_hold&) = delete;
    Lock_hold& operator=(const Lock_hold&) = delete;

  private:
    Process_lock& m_lock;
};

// Holds the lock only if it is free at once; for readers that must not wait for its holder.
class Lock_try_hold
{
  public:
    explicit Lock_try_hold(Process_lock& lock) : m_lock(lock), m_held(lock.try_hold()) {}
    ~Lock_try_hold()
    {
        if (m_held)
            m_lock.release();
    }
    Lock_try_hold(const Lock_try_hold&) = delete;
    Lock_try_hold& operator=(const Lock_try_hold&) = delete;
    bool held() const
    {
        return m_held;
    }

  private:
    Process_lock& m_lock;
    bool m_held;
};
