// Levels, sinks and the trace record layout.
#include "debug/usb_debug.h"
#include "support/engine_fixture.h"

namespace
{

class Logging_test : public Engine_fixture
{
  protected:
    void enable(UCHAR level)
    {
        ASSERT_EQ(0u, g_control_callback(WMI_ENABLE_EVENTS, nullptr, nullptr,
                                         reinterpret_cast<PVOID>(0x1000 | level)));
    }
};

TEST_F(Logging_test, LevelsOutsideTwoToFourAreDropped)
{
    EXPECT_TRUE(g_log(1, L"one"));
    EXPECT_TRUE(g_log(5, L"five"));
    EXPECT_TRUE(fake.trace_records().empty());
    EXPECT_TRUE(fake.events().empty());
}

TEST_F(Logging_test, ErrorsAndWarningsAlwaysReachTheEventLog)
{
    g_trace_enabled = 0;
    EXPECT_TRUE(g_log(4, L"trace only"));
    EXPECT_TRUE(g_log(2, L"error %d", 5));
    EXPECT_TRUE(g_log(3, L"warning %s", L"w"));
    EXPECT_TRUE(fake.trace_records().empty());
    auto events = fake.events();
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ(EVENTLOG_ERROR_TYPE, events[0].type);
    EXPECT_EQ(k_event_id_error, events[0].id);
    EXPECT_EQ(L"error 5", events[0].text);
    EXPECT_EQ(EVENTLOG_WARNING_TYPE, events[1].type);
    EXPECT_EQ(k_event_id_warning, events[1].id);
    EXPECT_EQ(L"warning w", events[1].text);
}

TEST_F(Logging_test, EnableLevelSelectsWhatIsTraced)
{
    enable(0); // level 0 means 3
    g_log(2, L"e");
    g_log(3, L"w");
    g_log(4, L"t");
    EXPECT_EQ(2u, fake.trace_records().size());
    fake.clear_lines();
    enable(2);
    g_log(3, L"w");
    g_log(2, L"e");
    EXPECT_EQ(1u, fake.trace_records().size());
    fake.clear_lines();
    enable(4);
    g_log(4, L"t");
    EXPECT_EQ(1u, fake.trace_records().size());
    EXPECT_EQ(0u, g_control_callback(WMI_DISABLE_EVENTS, nullptr, nullptr, nullptr));
    g_log(2, L"after disable");
    EXPECT_EQ(1u, fake.trace_records().size());
    EXPECT_EQ(0u, g_trace_logger_handle);
}

TEST_F(Logging_test, OnlyAnInvalidHandleTurnsTracingOff)
{
    fake.trace_status = ERROR_NOT_ENOUGH_MEMORY;
    EXPECT_FALSE(g_log(4, L"lost"));
    EXPECT_EQ(1, g_trace_enabled);
    fake.trace_status = ERROR_INVALID_HANDLE;
    EXPECT_FALSE(g_log(4, L"lost"));
    EXPECT_EQ(0, g_trace_enabled);
}

TEST_F(Logging_test, UnknownControlRequestAnswersInvalidParameter)
{
    EXPECT_EQ(87u, g_control_callback(static_cast<WMIDPREQUESTCODE>(9), nullptr, nullptr, nullptr));
    EXPECT_TRUE(fake.has_line(L"Usb_debug::g_control_callback (default reached)"));
}

TEST_F(Logging_test, TraceRecordLayout)
{
    g_log(4, L"abc %x", 0xBEEFu);
    auto records = fake.trace_records();
    ASSERT_EQ(1u, records.size());
    const std::vector<BYTE>& r = records[0].bytes;
    const size_t n = 8; // "abc beef"
    ASSERT_EQ(48 + 2 * n + 6, r.size());
    auto* header = reinterpret_cast<const EVENT_TRACE_HEADER*>(r.data());
    EXPECT_EQ(r.size(), header->Size);
    EXPECT_EQ(EVENT_TRACE_TYPE_INFO, header->Class.Type);
    EXPECT_EQ(4, header->Class.Level);
    EXPECT_EQ(WNODE_FLAG_TRACED_GUID, header->Flags);
    EXPECT_TRUE(IsEqualGUID(g_trace_event_class_guid, header->Guid));
    EXPECT_EQ(std::wstring(L"abc beef"), reinterpret_cast<const wchar_t*>(r.data() + 48));
    for (size_t i = r.size() - 6; i < r.size(); ++i)
        EXPECT_EQ(0, r[i]);
}

TEST_F(Logging_test, OverlongMessageIsCutToWhatTheRecordSizeCanHold)
{
    std::wstring huge(40000, L'x');
    g_log(4, L"%s", huge.c_str());
    auto records = fake.trace_records();
    ASSERT_EQ(1u, records.size());
    auto* header = reinterpret_cast<const EVENT_TRACE_HEADER*>(records[0].bytes.data());
    EXPECT_EQ(48 + 2 * (k_max_trace_message + 1) + 4, header->Size);
    EXPECT_LE(header->Size, 0xFFFFu);
}

} // namespace
