// The event log's message table in the shipped exe: Event Viewer formats each event with it.
#include "debug/usb_debug.h"
#include "messages/kvUsbRedirector.h"

#include <gtest/gtest.h>
#include <string>
#include <windows.h>

static_assert(KV_MSG_ERROR == k_event_id_error, "message file and g_report_event disagree");
static_assert(KV_MSG_WARNING == k_event_id_warning, "message file and g_report_event disagree");

namespace
{

class Message_table_test : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        wchar_t path[MAX_PATH];
        GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::wstring p(path);
        p = p.substr(0, p.find_last_of(L"\\/") + 1) + L"kvUsbRedirector.exe";
        // What the event log service does with EventMessageFile: resources only, no code run.
        program = LoadLibraryExW(p.c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(nullptr, program) << GetLastError();
    }
    void TearDown() override
    {
        if (program)
            FreeLibrary(program);
    }
    // Formats as Event Viewer does: the event's strings are the inserts.
    bool format(DWORD id, const wchar_t* insert, std::wstring* text)
    {
        wchar_t buffer[1024];
        DWORD_PTR inserts[1] = {reinterpret_cast<DWORD_PTR>(insert)};
        DWORD length =
            FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, program, id,
                           0, buffer, ARRAYSIZE(buffer), reinterpret_cast<va_list*>(inserts));
        text->assign(buffer, length);
        return length != 0;
    }
    HMODULE program = nullptr;
};

TEST_F(Message_table_test, EachReportedEventShowsItsLine)
{
    const wchar_t line[] = L"Usb_manager::g_start_threads (WTSVirtualChannelOpen failed - error:2)";
    std::wstring text;
    ASSERT_TRUE(format(k_event_id_error, line, &text)) << GetLastError();
    EXPECT_NE(std::wstring::npos, text.find(line)) << text;
    EXPECT_NE(std::wstring::npos, text.find(L"error")) << text;

    const wchar_t other[] = L"kvUsbRedirector::InitInstance (g_start_threads failed)";
    ASSERT_TRUE(format(k_event_id_warning, other, &text)) << GetLastError();
    EXPECT_NE(std::wstring::npos, text.find(other)) << text;
    EXPECT_NE(std::wstring::npos, text.find(L"warning")) << text;
    EXPECT_EQ(std::wstring::npos, text.find(L"%1")) << text;
}

TEST_F(Message_table_test, OnlyTheReportedIdsAreDefined)
{
    // Same codes with another severity, and the next code: none may resolve.
    std::wstring text;
    for (DWORD id :
         {k_event_id_error & 0x3FFFFFFF, k_event_id_warning | 0x40000000, k_event_id_warning + 1})
    {
        SetLastError(0);
        EXPECT_FALSE(format(id, L"x", &text)) << std::hex << id;
        EXPECT_EQ(static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND), GetLastError()) << std::hex << id;
    }
}

} // namespace
