// The real program under Wine: no virtual channel exists here, so its start fails and it
// keeps running with its hidden window until told to exit.
#include "resources/resource.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>
#include <windows.h>

namespace
{

std::wstring program_path()
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p(path);
    return p.substr(0, p.find_last_of(L"\\/") + 1) + L"kvUsbRedirector.exe";
}

HWND find_window_of(DWORD process_id)
{
    for (int i = 0; i < 200; ++i)
    {
        HWND window = nullptr;
        while ((window = FindWindowExW(nullptr, window, L"KVUSBREDIRECTOR", nullptr)))
        {
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (owner == process_id)
                return window;
        }
        Sleep(50);
    }
    return nullptr;
}

// Starts the program; TearDown ends whatever a failed test left running, so that a stray
// instance never holds the session's claim for the tests after it.
class Exe_test : public ::testing::Test
{
  protected:
    void TearDown() override
    {
        for (PROCESS_INFORMATION& process : processes)
        {
            if (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT)
            {
                TerminateProcess(process.hProcess, 1);
                WaitForSingleObject(process.hProcess, 5000);
            }
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
        }
    }
    bool start(PROCESS_INFORMATION* process)
    {
        std::wstring path = program_path();
        std::wstring command = L"\"" + path + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        if (!CreateProcessW(path.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                            nullptr, &startup, process))
            return false;
        processes.push_back(*process);
        return true;
    }
    static void end(const PROCESS_INFORMATION& process, HWND window)
    {
        PostMessageW(window, WM_COMMAND, IDM_EXIT, 0);
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.hProcess, 20000));
        DWORD code = 1;
        GetExitCodeProcess(process.hProcess, &code);
        EXPECT_EQ(0u, code);
    }
    std::vector<PROCESS_INFORMATION> processes;
};

TEST_F(Exe_test, RunsWithoutChannelAndEndsOnExit)
{
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(start(&process));
    HWND window = find_window_of(process.dwProcessId);
    ASSERT_NE(nullptr, window);
    EXPECT_FALSE(IsWindowVisible(window));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(process.hProcess, 1000)); // still running

    PostMessageW(window, WM_COMMAND, 106, 0); // not a command of ours
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(process.hProcess, 300));
    end(process, window);
}

TEST_F(Exe_test, ASecondInstanceInTheSessionExitsAndTheFirstRunsOn)
{
    PROCESS_INFORMATION first{};
    ASSERT_TRUE(start(&first));
    HWND window = find_window_of(first.dwProcessId); // the first holds the claim by now
    ASSERT_NE(nullptr, window);

    PROCESS_INFORMATION second{};
    ASSERT_TRUE(start(&second));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(second.hProcess, 10000));
    DWORD code = 1;
    GetExitCodeProcess(second.hProcess, &code);
    EXPECT_EQ(0u, code);

    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(first.hProcess, 500));
    EXPECT_TRUE(IsWindow(window));
    end(first, window);

    // Once the first is gone the session may start one again.
    PROCESS_INFORMATION third{};
    ASSERT_TRUE(start(&third));
    HWND third_window = find_window_of(third.dwProcessId);
    ASSERT_NE(nullptr, third_window);
    end(third, third_window);
}

} // namespace
