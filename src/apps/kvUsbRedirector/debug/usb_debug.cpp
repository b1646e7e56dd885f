#include "usb_debug.h"

#include "../platform/owned.h"
#include "../platform/platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

TRACEHANDLE g_trace_registration_handle = 0;
TRACEHANDLE g_trace_logger_handle = 0;
volatile UCHAR g_trace_enable_level = 0;
volatile LONG g_trace_enabled = 0;
HANDLE g_event_source_handle = nullptr;

namespace
{
// The registrations' owners; the globals above are views of them for the log's calls.
Owned_trace_registration g_trace_registration;
Owned_event_source g_event_source;
} // namespace

// {B5BA8F75-9341-47A3-B292-BCA127C0591A}
const GUID g_trace_control_guid = {
    0xB5BA8F75, 0x9341, 0x47A3, {0xB2, 0x92, 0xBC, 0xA1, 0x27, 0xC0, 0x59, 0x1A}};
// {96F2239A-982C-42C5-9259-13E838EB4922}
const GUID g_trace_event_class_guid = {
    0x96F2239A, 0x982C, 0x42C5, {0x92, 0x59, 0x13, 0xE8, 0x38, 0xEB, 0x49, 0x22}};

namespace
{

// Counts, allocates and formats with the platform's bounded wide printf, in which %s takes a
// wide string and %d and %x the low 32 bits of their argument slot.
Owned_block<wchar_t> format_to_heap(const wchar_t* format, va_list args, size_t spare,
                                    size_t* length)
{
    va_list counting;
    va_copy(counting, args);
    const int count = _vscwprintf(format, counting);
    va_end(counting);
    if (count < 0)
        return nullptr;
    Owned_block<wchar_t> text(
        static_cast<wchar_t*>(std::malloc((count + spare) * sizeof(wchar_t))));
    if (!text)
        return nullptr;
    va_list writing;
    va_copy(writing, args);
    _vsnwprintf_s(text.get(), count + 1, _TRUNCATE, format, writing);
    va_end(writing);
    *length = static_cast<size_t>(count);
    return text;
}

void report_warning(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    g_report_event(3, format, args);
    va_end(args);
}

// A peer failing every call must not flood the event log, nor hide the error that matters: one
// message (one format at one level) takes at most k_events_per_message entries in any second, and
// all together at most k_events_per_second, of which warnings leave k_events_kept_for_errors to
// errors. The rest go to the trace only; the next entry written after them, or the exit, says how
// many.
constexpr size_t k_events_per_second = 20;
constexpr size_t k_events_per_message = 4;
constexpr size_t k_events_kept_for_errors = 4;
constexpr size_t k_messages_followed = 32;

// A window of the last entries, oldest at next; a time of 0 is a slot not used yet.
template <size_t N> struct Event_window
{
    ULONGLONG times[N] = {};
    size_t next = 0;
    // Whether the i-th oldest entry left the window before now.
    bool has_left(ULONGLONG now, size_t i) const
    {
        return now - times[(next + i) % N] > 1000;
    }
    ULONGLONG newest() const
    {
        return times[(next + N - 1) % N];
    }
    void take(ULONGLONG now)
    {
        times[next] = now;
        next = (next + 1) % N;
    }
};

struct Message_window
{
    const wchar_t* format = nullptr;
    int level = 0;
    Event_window<k_events_per_message> window;
};

Process_lock g_event_budget_lock;
Event_window<k_events_per_second> g_events GUARDED_BY(g_event_budget_lock);
// The formats logged last.
Message_window g_messages[k_messages_followed] GUARDED_BY(g_event_budget_lock);
LONG g_events_held_back GUARDED_BY(g_event_budget_lock) = 0;

// The message's window, or the one idle longest, taken over for it.
Event_window<k_events_per_message>& message_window(int level, const wchar_t* format)
    REQUIRES(g_event_budget_lock)
{
    Message_window* found = &g_messages[0];
    for (Message_window& message : g_messages)
    {
        if (message.format == format && message.level == level)
            return message.window;
        if (message.window.newest() < found->window.newest())
            found = &message;
    }
    *found = Message_window{format, level, {}};
    return found->window;
}

// True when an entry of this level and format may be written now; *held_back: the count to report
// first (when room for both remains).
bool take_event_budget(int level, const wchar_t* format, LONG* held_back)
    EXCLUDES(g_event_budget_lock)
{
    Lock_hold hold(g_event_budget_lock);
    const ULONGLONG now = GetTickCount64() + 1000; // never 0 for the slots not used yet
    const size_t kept = level == 2 ? 0 : k_events_kept_for_errors;
    Event_window<k_events_per_message>& message = message_window(level, format);
    *held_back = 0;
    if (!message.has_left(now, 0) || !g_events.has_left(now, kept))
    {
        ++g_events_held_back;
        return false;
    }
    if (g_events_held_back && g_events.has_left(now, kept + 1))
    {
        *held_back = std::exchange(g_events_held_back, 0);
        g_events.take(now);
    }
    g_events.take(now);
    message.take(now);
    return true;
}

void report_held_back(LONG held_back)
{
    report_warning(L"Usb_debug::g_log - %d errors and warnings of the last second were "
                   L"written to the trace only",
                   held_back);
}

} // namespace

bool g_log(int level, const wchar_t* format, ...)
{
    if (level < 2)
        return true;
    // Callers log a failure and then read or log the failing call's last error: the sinks'
    // own system calls must not replace it.
    const DWORD last_error = GetLastError();
    bool result = true;
    va_list args;
    va_start(args, format);
    LONG held_back = 0;
    if ((level == 2 || level == 3) && take_event_budget(level, format, &held_back))
    {
        if (held_back)
            report_held_back(held_back);
        result = g_report_event(level, format, args);
    }
    if (level <= 4 && g_trace_enabled && level <= g_trace_enable_level)
        result = g_trace_event(static_cast<UCHAR>(level), format, args);
    va_end(args);
    SetLastError(last_error);
    return result;
}

bool g_report_event(int level, const wchar_t* format, va_list args)
{
    size_t count = 0;
    const Owned_block<wchar_t> text = format_to_heap(format, args, 1, &count);
    if (!text)
        return false;
    LPCWSTR strings[1] = {text.get()};
    WORD type = level == 2 ? EVENTLOG_ERROR_TYPE : EVENTLOG_WARNING_TYPE;
    DWORD id = level == 2 ? k_event_id_error : k_event_id_warning;
    if (g_event_source_handle)
        g_platform().report_event(g_event_source_handle, type, 0, id, nullptr, 1, strings);
    return true;
}

namespace
{

// The account of this process, whose session the audit events are about; null when unreadable.
PSID g_process_user_sid()
{
    static const Owned_block<TOKEN_USER> user = []
    {
        Owned_block<TOKEN_USER> read;
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
            return read;
        const Owned_handle owned_token(token);
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        read.reset(static_cast<TOKEN_USER*>(std::malloc(size ? size : 1)));
        if (read && !GetTokenInformation(token, TokenUser, read.get(), size, &size))
            read.reset();
        return read;
    }();
    return user ? user->User.Sid : nullptr;
}

} // namespace

bool g_report_information(DWORD id, const wchar_t* const* inserts, WORD count)
{
    return !g_event_source_handle ||
           g_platform().report_event(g_event_source_handle, EVENTLOG_INFORMATION_TYPE, 0, id,
                                     g_process_user_sid(), count, const_cast<LPCWSTR*>(inserts));
}

bool g_trace_event(UCHAR level, const wchar_t* format, va_list args)
{
    size_t count = 0;
    const Owned_block<wchar_t> text = format_to_heap(format, args, 2, &count);
    if (!text)
        return false;
    // Longer lines are cut so that the record length still fits the header's 16-bit Size.
    if (count > k_max_trace_message)
    {
        count = k_max_trace_message;
        text.get()[count] = 0;
    }
    size_t size = sizeof(EVENT_TRACE_HEADER) + 2 * (count + 1) + 4;
    const Owned_block<unsigned char> block(static_cast<unsigned char*>(std::calloc(1, size)));
    if (!block)
        return false;
    unsigned char* record = block.get();
    auto* header = reinterpret_cast<EVENT_TRACE_HEADER*>(record);
    header->Size = static_cast<USHORT>(size);
    header->Class.Type = EVENT_TRACE_TYPE_INFO;
    header->Class.Level = level;
    header->Class.Version = 0;
    header->Guid = g_trace_event_class_guid;
    header->Flags = WNODE_FLAG_TRACED_GUID;
    std::memcpy(record + sizeof(EVENT_TRACE_HEADER), text.get(), 2 * (count + 1));
    ULONG status = g_platform().trace_event(g_trace_logger_handle, header);
    if (status == ERROR_INVALID_HANDLE)
        g_trace_enabled = 0;
    return status == ERROR_SUCCESS;
}

ULONG WINAPI g_control_callback(WMIDPREQUESTCODE request, PVOID, ULONG*, PVOID buffer)
{
    switch (request)
    {
    case WMI_ENABLE_EVENTS:
    {
        SetLastError(0);
        TRACEHANDLE logger = g_platform().get_trace_logger_handle(buffer);
        DWORD error = GetLastError();
        if (logger == static_cast<TRACEHANDLE>(-1) && error != 0)
        {
            g_log(3, L"Usb_debug::g_control_callback (GetTraceLoggerHandle failed - error:%d)",
                  error);
            return error;
        }
        UCHAR level = g_platform().get_trace_enable_level(logger);
        error = GetLastError();
        if (level == 0)
        {
            if (error != 0)
            {
                g_log(3, L"Usb_debug::g_control_callback (GetTraceEnableLevel failed - error:%d)",
                      error);
                return error;
            }
            level = 3;
        }
        ULONG flags = g_platform().get_trace_enable_flags(logger);
        error = GetLastError();
        if (flags == 0 && error != 0)
        {
            g_log(3, L"Usb_debug::g_control_callback (GetTraceEnableFlags failed - error:%d)",
                  error);
            return error;
        }
        g_trace_logger_handle = logger;
        g_trace_enable_level = level;
        g_trace_enabled = 1;
        return ERROR_SUCCESS;
    }
    case WMI_DISABLE_EVENTS:
        g_trace_enabled = 0;
        g_trace_logger_handle = 0;
        return ERROR_SUCCESS;
    default:
        g_log(3, L"Usb_debug::g_control_callback (default reached)");
        return ERROR_INVALID_PARAMETER;
    }
}

bool g_register_trace_guid()
{
    TRACE_GUID_REGISTRATION registration = {&g_trace_event_class_guid, nullptr};
    TRACEHANDLE handle = 0;
    ULONG status = g_platform().register_trace_guids(
        g_control_callback, nullptr, &g_trace_control_guid, 1, &registration, &handle);
    if (status != ERROR_SUCCESS)
        g_log(3, L"Usb_debug::g_register_trace_guid (RegisterTraceGuids failed - error:%d)",
              status);
    else
        g_trace_registration.reset(handle);
    g_trace_registration_handle = g_trace_registration.get();
    return status == ERROR_SUCCESS;
}

// Nothing registered is nothing to fail.
bool g_unregister_trace_guid()
{
    g_trace_registration_handle = 0;
    const bool done = g_trace_registration.reset();
    if (!done)
        g_log(3, L"Usb_debug::g_unregister_trace_guid (UnregisterTraceGuids failed - error:%d)",
              GetLastError());
    return done;
}

bool g_register_event_source()
{
    g_event_source.reset(g_platform().register_event_source(nullptr, L"kvUsbRedirector"));
    g_event_source_handle = g_event_source.get();
    if (!g_event_source)
        g_log(3, L"Usb_debug::g_register_event_source (RegisterEventSource failed - error:%d)",
              GetLastError());
    return static_cast<bool>(g_event_source);
}

// Released on every exit path of the process, so the handle does not outlive the window.
void g_deregister_event_source()
{
    LONG held_back = 0;
    {
        Lock_hold hold(g_event_budget_lock);
        held_back = std::exchange(g_events_held_back, 0);
    }
    if (held_back) // the last word, whatever the budget
        report_held_back(held_back);
    g_event_source_handle = nullptr;
    g_event_source.reset();
}
