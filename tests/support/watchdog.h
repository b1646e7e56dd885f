// Ends the test process when a step does not finish in time: a deadlock fails the test with a
// message instead of hanging the suite.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <thread>

class Watchdog
{
  public:
    explicit Watchdog(DWORD timeout_ms) : m_timeout_ms(timeout_ms)
    {
        m_done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        m_thread = std::thread(
            [this]
            {
                if (WaitForSingleObject(m_done, m_timeout_ms) == WAIT_TIMEOUT)
                {
                    std::fprintf(stderr, "watchdog: no end within %lu ms, stuck at step %d\n",
                                 m_timeout_ms, m_step.load());
                    std::fflush(stderr);
                    ExitProcess(99);
                }
            });
    }
    ~Watchdog()
    {
        SetEvent(m_done);
        m_thread.join();
        CloseHandle(m_done);
    }
    // Numbers the step in progress, for the message.
    void step(int number)
    {
        m_step = number;
    }

  private:
    DWORD m_timeout_ms;
    HANDLE m_done;
    std::atomic<int> m_step{0};
    std::thread m_thread;
};
