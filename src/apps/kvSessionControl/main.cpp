// kvSessionControl: what the package runs as LocalSystem around its file changes, since the
// Restart Manager of such an installer cannot close or restart programs in users' sessions.
//   kvSessionControl stop            every kvUsbRedirector instance asked to stop, waited for
//   kvSessionControl start "<exe>"   the exe started in every session with a user
//   kvSessionControl forget          the stop request's value removed, after the last uninstall
// Exit code 0: done; 1: an instance left running, a start or a step failed (logged); 2: usage.
// The package ignores the exit code: files in use are replaced at the next restart instead.
#include "session_system_win32.h"

#include <cstdio>

int wmain(int argc, wchar_t** argv)
{
    const auto command = [argc, argv](const wchar_t* name, int count)
    { return argc == count && CompareStringOrdinal(argv[1], -1, name, -1, TRUE) == CSTR_EQUAL; };
    if (command(L"stop", 2))
        return g_stop_instances(g_win32_session_system(), k_drain_timeout_ms) ? 0 : 1;
    if (command(L"start", 3))
        return g_start_instances(g_win32_session_system(), argv[2]) ? 0 : 1;
    if (command(L"forget", 2))
        return g_forget_stop_request(g_win32_session_system()) ? 0 : 1;
    std::fputws( // NOLINT(cert-err33-c): a usage line has nowhere else to go
        L"usage: kvSessionControl stop | start \"<path of kvUsbRedirector.exe>\" | forget\n",
        stderr);
    return 2;
}
