// Levels, sinks, the trace record's size, and the event log's message table in the shipped exe.
#include "debug/usb_debug.h"
#include "support/fixtures.h"
#include "messages/kvUsbRedirector.h"

static_assert(KV_MSG_ERROR == k_event_id_error && KV_MSG_WARNING == k_event_id_warning,
              "message file and g_report_event disagree");

namespace
{

using Logging_test = Engine_fixture;

TEST_F(Logging_test, ErrorsAndWarningsAlwaysReachTheEventLogAndTheSessionLevelSelectsTraces)
{
    // The level the trace session asks for (0 means 3); whether it disables the provider again.
    using Row = std::tuple<UCHAR, bool, std::vector<int>>;
    for (auto [session_level, disabled, traced] :
         {Row{0, false, {2, 3}}, Row{2, false, {2}}, Row{4, false, {2, 3, 4}}, Row{4, true, {}}})
    {
        sim.clear_lines();
        g_control_callback(WMI_ENABLE_EVENTS, nullptr, nullptr,
                           reinterpret_cast<PVOID>(0x1000 | session_level));
        if (disabled)
            g_control_callback(WMI_DISABLE_EVENTS, nullptr, nullptr, nullptr);
        for (int level = 1; level <= 5; ++level)
        {
            SetLastError(1234); // the sinks may change it: the caller's error survives the log
            EXPECT_TRUE(g_log(level, L"level %d", level));
            EXPECT_EQ(1234u, GetLastError());
        }
        std::vector<int> levels;
        for (const Log_line& line : sim.lines())
            levels.push_back(line.level);
        EXPECT_EQ(traced, levels) << int{session_level};
        std::vector<std::tuple<WORD, DWORD, std::wstring>> events;
        for (const auto& e : sim.events())
            events.emplace_back(e.type, e.id, e.text);
        EXPECT_EQ(decltype(events)({{EVENTLOG_ERROR_TYPE, k_event_id_error, L"level 2"},
                                    {EVENTLOG_WARNING_TYPE, k_event_id_warning, L"level 3"}}),
                  events);
    }
}

TEST_F(Logging_test, LongLinesAreCutOnlyAnInvalidHandleEndsTracingAndUnknownRequestsAreRefused)
{
    // Too long for the record's 16-bit size: cut, the size still true, the text ended.
    g_log(4, L"%s", std::wstring(40000, L'x').c_str());
    const std::vector<BYTE> cut = sim.trace_records().at(0);
    EXPECT_EQ(cut.size(), reinterpret_cast<const EVENT_TRACE_HEADER*>(cut.data())->Size);
    EXPECT_EQ(0, *reinterpret_cast<const wchar_t*>(&cut[(cut.size() - 2) & ~size_t{1}]));
    sim.trace_status = ERROR_NOT_ENOUGH_MEMORY;
    EXPECT_FALSE(g_log(4, L"lost"));
    EXPECT_EQ(1, g_trace_enabled);
    sim.trace_status = ERROR_INVALID_HANDLE;
    EXPECT_FALSE(g_log(4, L"lost"));
    EXPECT_EQ(0, g_trace_enabled);
    EXPECT_EQ(87u, g_control_callback(static_cast<WMIDPREQUESTCODE>(9), nullptr, nullptr, nullptr));
    EXPECT_EQ(L"Usb_debug::g_control_callback (default reached)", sim.events().at(0).text);
}

// Event Viewer formats each event with the message table of the exe, loaded as data.
TEST(Message_table_test, EachReportedEventShowsItsLine)
{
    wchar_t path[MAX_PATH];
    std::wstring exe(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    exe.replace(exe.find_last_of(L"\\/") + 1, std::wstring::npos, L"kvUsbRedirector.exe");
    HMODULE program = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(nullptr, program) << GetLastError();
    const wchar_t line[] = L"ServerChannel::open (WTSVirtualChannelOpen failed - error:2)";
    DWORD_PTR inserts[1] = {reinterpret_cast<DWORD_PTR>(line)};
    for (auto [id, kind] :
         {std::pair{k_event_id_error, L"error"}, {k_event_id_warning, L"warning"}})
    {
        wchar_t text[1024];
        text[FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, program,
                            id, 0, text, 1023, reinterpret_cast<va_list*>(inserts))] = 0;
        EXPECT_TRUE(wcsstr(text, line) && wcsstr(text, kind)) << text;
    }
    FreeLibrary(program);
}

} // namespace
