// What the program said and sent, one line each in the order it happened: the frames it wrote to
// the terminal and the drivers (hex, under the code's name), its event-log entries with their
// inserts and their text as the exe's message table renders it, and its lines at levels 2 and 3,
// under a heading per step. The simulated platform reports to it when it is installed there.
#pragma once

#include <windows.h>

#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class Sim_transcript
{
  public:
    // frames false: event-log entries and log lines only, as the long session prints them.
    explicit Sim_transcript(bool frames = true);
    ~Sim_transcript();
    Sim_transcript(const Sim_transcript&) = delete;
    Sim_transcript& operator=(const Sim_transcript&) = delete;

    void step(const std::wstring& heading);
    void note(const std::wstring& line);
    void forget();
    std::vector<std::wstring> lines();
    // The transcript as UTF-8; the poller's device-list requests are counted, not listed, since
    // how many a step sees depends on its length, and so are the terminal's frames.
    std::string text();

    // The platform's reports. A channel write is made through write, with the transcript held,
    // so that no reply to its bytes is written down before them.
    void channel_opened();
    BOOL channel_write(const BYTE* bytes, DWORD size, const std::function<BOOL()>& write);
    void driver_called(DWORD code, const BYTE* input, DWORD size);
    void event_reported(WORD type, DWORD id, bool with_sid, WORD count, LPCWSTR* strings);
    void traced(UCHAR level, const wchar_t* text, size_t capacity);
    // The terminal's reports: the code of each frame it sent, listed once at the end.
    void terminal_sent(BYTE code);

  private:
    void add(const std::wstring& line);

    const bool m_frames;
    std::mutex m_mutex;
    std::vector<std::wstring> m_lines;
    std::vector<BYTE> m_channel_out; // bytes written, up to the next whole frame
    size_t m_polls = 0;
    std::set<BYTE> m_codes_in;
    HMODULE m_messages = nullptr; // the exe's message table
};

// A code's name; a text with its control characters, backslashes and word joiners escaped.
const wchar_t* g_code_name(BYTE code);
std::wstring g_escaped(const std::wstring& text);
