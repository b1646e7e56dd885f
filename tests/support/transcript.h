// A session's transcript: what the program wrote to the terminal and the drivers, its event-log
// entries as the message table renders them, and its level 2 and 3 lines, one per line in the
// order they happened, under a heading per step of the script.
#pragma once

#include "test_platform.h"

#include <string>
#include <vector>

class Transcript_platform : public Test_platform
{
  public:
    Transcript_platform();
    ~Transcript_platform() override;
    void step(const std::wstring& heading);
    void note(const std::wstring& line);
    void forget();
    // The transcript as UTF-8; the poller's device-list requests are counted, not listed, since
    // how many a step sees depends on its length.
    std::string text();

    BOOL write_file(HANDLE file, LPCVOID buffer, DWORD size, OVERLAPPED* overlapped) override;
    BOOL device_io_control(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                           DWORD out_size, DWORD* returned, OVERLAPPED* overlapped) override;
    BOOL report_event(HANDLE source, WORD type, WORD category, DWORD id, PSID user, WORD count,
                      LPCWSTR* strings) override;
    ULONG trace_event(TRACEHANDLE logger, EVENT_TRACE_HEADER* record) override;
    HANDLE virtual_channel_open(HANDLE server, DWORD session, LPSTR name) override;

  private:
    std::mutex m_transcript_mutex;
    std::vector<std::wstring> m_transcript;
    std::vector<BYTE> m_channel_out; // bytes written, up to the next whole frame
    size_t m_polls = 0;
    HMODULE m_messages = nullptr; // the exe's message table
};

// Hex bytes, a code's name, a text with control characters escaped.
std::wstring g_hex(const BYTE* bytes, size_t size);
const wchar_t* g_code_name(BYTE code);
std::wstring g_escaped(const std::wstring& text);
