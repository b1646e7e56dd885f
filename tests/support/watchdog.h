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
    explicit Watchdog(DWORD timeout_ms)
        : m_thread(
              [this, timeout_ms]
              {
                  if (WaitForSingleObject(m_done, timeout_ms) != WAIT_TIMEOUT)
                      return;
                  std::fprintf(stderr, "watchdog: stuck at step %d\n", step.load());
                  std::fflush(stderr);
                  ExitProcess(99);
              })
    {
    }
    ~Watchdog()
    {
        SetEvent(m_done);
        m_thread.join();
        CloseHandle(m_done);
    }
    // Numbers the step in progress, for the message.
    std::atomic<int> step{0};

  private:
    HANDLE m_done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread m_thread;
};
