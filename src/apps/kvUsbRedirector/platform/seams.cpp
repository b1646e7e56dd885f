#include "seams.h"

#include "platform.h"

Seams g_seams;

HANDLE g_create_detached_thread(LPTHREAD_START_ROUTINE routine, LPVOID parameter)
{
    return CreateThread(nullptr, 0, routine, parameter, 0, nullptr);
}

bool g_wait_unless_stopped(HANDLE stop_event, DWORD milliseconds)
{
    return WaitForSingleObject(stop_event, milliseconds) == WAIT_OBJECT_0;
}

HANDLE g_create_manual_event()
{
    return CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

BOOL g_query_system_version(OSVERSIONINFOEXW* info)
{
    return GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(info));
}

void g_reset_seams()
{
    g_seams = Seams{};
    g_set_platform(nullptr);
}
