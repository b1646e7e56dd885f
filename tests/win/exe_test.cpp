// The real program under Wine: no virtual channel exists here, so its start fails and it
// keeps running with its hidden window until told to exit.
#include "resources/resource.h"

#include <gtest/gtest.h>
#include <string>
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

TEST(Exe_test, RunsWithoutChannelAndEndsOnExit)
{
    std::wstring path = program_path();
    std::wstring command = L"\"" + path + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessW(path.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &process));
    HWND window = find_window_of(process.dwProcessId);
    ASSERT_NE(nullptr, window);
    EXPECT_FALSE(IsWindowVisible(window));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(process.hProcess, 1000)); // still running

    PostMessageW(window, WM_COMMAND, 106, 0); // not a command of ours
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(process.hProcess, 300));
    PostMessageW(window, WM_COMMAND, IDM_EXIT, 0);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.hProcess, 20000));
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    EXPECT_EQ(0u, code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

} // namespace
