#include "sim_transcript.h"

#include "driver/usb_driver.h"
#include "portable/frame.h"

#include <cstdio>
#include <iterator>

const wchar_t* g_code_name(BYTE code)
{
    constexpr const wchar_t* k_names[] = {L"open",
                                          L"close",
                                          L"reset",
                                          L"set-config",
                                          L"claim-interface",
                                          L"release-interface",
                                          L"interface-setting",
                                          L"queue-urb",
                                          L"reap-urb",
                                          L"clear-halted-ep",
                                          L"cancel-urb",
                                          L"device-list",
                                          L"negotiate",
                                          L"code-13",
                                          L"code-14",
                                          L"queue-mdl-urb",
                                          L"mdl-reap-complete"};
    return code < std::size(k_names) ? k_names[code] : L"unknown-code";
}

std::wstring g_escaped(const std::wstring& text)
{
    std::wstring out;
    wchar_t escape[8];
    for (wchar_t c : text)
        if (c < 0x20 || c == 0x7F || c == L'\\' || c == 0x2060) // the word joiner shows nothing
            std::swprintf(escape, 8, c > 0xFF ? L"\\u%04x" : L"\\x%02x", unsigned{c}),
                out += escape;
        else
            out += c;
    return out;
}

namespace
{

// Hex bytes, a gap after the length field and the code.
std::wstring hex(const BYTE* bytes, size_t size)
{
    std::wstring hex;
    wchar_t two[4];
    for (size_t i = 0; i < size; ++i)
    {
        std::swprintf(two, 4, L"%02x", bytes[i]);
        hex += (i == 4 || i == 5 ? L" " : L"") + std::wstring(two);
    }
    return hex;
}

// "<where><code name>: <hex>"; the mapped buffer's address, which the heap chooses, follows an
// MDL completion's header and is not written down.
std::wstring frame_line(const wchar_t* where, const BYTE* frame, size_t size)
{
    const BYTE code = size > kv::k_offset_code ? frame[kv::k_offset_code] : 0xFF;
    const bool mdl = code == kv::code_mdl_reap_complete && size == kv::k_reap_header_size + 8;
    return std::wstring(where) + g_code_name(code) + L": " +
           hex(frame, mdl ? kv::k_reap_header_size : size) + (mdl ? L" <address>" : L"");
}

const wchar_t* driver_call_name(DWORD code)
{
    switch (code)
    {
    case IOCTL_PORT_COMPLETE:
        return L"port driver, complete ";
    case IOCTL_PORT_PLUG_IN:
        return L"port driver, plug in: ";
    case IOCTL_PORT_UNPLUG:
        return L"port driver, unplug: ";
    case IOCTL_BUS_REGISTER_SESSION:
        return L"bus driver, register session: ";
    case IOCTL_BUS_UNREGISTER_SESSION:
        return L"bus driver, unregister session: ";
    }
    return nullptr;
}

} // namespace

Sim_transcript::Sim_transcript(bool frames)
    : m_frames(frames),
      m_messages(LoadLibraryExW(L"kvUsbRedirector.exe", nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE))
{
}

Sim_transcript::~Sim_transcript()
{
    if (m_messages)
        FreeLibrary(m_messages);
}

void Sim_transcript::step(const std::wstring& heading)
{
    note(L"");
    note(L"## " + heading);
}

void Sim_transcript::note(const std::wstring& line)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    add(line);
}

void Sim_transcript::add(const std::wstring& line)
{
    m_lines.push_back(line);
}

void Sim_transcript::forget()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.clear();
    m_polls = 0;
    m_codes_in.clear();
}

std::vector<std::wstring> Sim_transcript::lines()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
}

std::string Sim_transcript::text()
{
    std::wstring all;
    for (const std::wstring& line : lines())
        all += line + L"\n";
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        all += L"\n## the poller's device-list requests: " +
               std::wstring(m_polls ? L"each 01000000 0b" : L"none") +
               L"\n## codes of the frames the terminal sent:";
        for (BYTE code : m_codes_in)
            all += L" " + std::to_wstring(code);
        all += L"\n";
    }
    const int size = static_cast<int>(all.size());
    std::string utf8(
        WideCharToMultiByte(CP_UTF8, 0, all.data(), size, nullptr, 0, nullptr, nullptr), '\0');
    WideCharToMultiByte(CP_UTF8, 0, all.data(), size, utf8.data(), static_cast<int>(utf8.size()),
                        nullptr, nullptr);
    return utf8;
}

void Sim_transcript::channel_opened()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_channel_out.clear();
}

BOOL Sim_transcript::channel_write(const BYTE* bytes, DWORD size,
                                   const std::function<BOOL()>& write)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const BOOL done = write();
    const DWORD error = GetLastError();
    if (m_frames && (done || error == ERROR_IO_PENDING)) // what the channel took
    {
        m_channel_out.insert(m_channel_out.end(), bytes, bytes + size);
        while (m_channel_out.size() >= kv::k_frame_length_size)
        {
            const size_t whole = kv::k_frame_length_size + kv::load_u32(m_channel_out.data());
            if (m_channel_out.size() < whole)
                break;
            if (whole == kv::k_frame_header_size &&
                m_channel_out[kv::k_offset_code] == kv::code_device_list)
                ++m_polls;
            else
                add(frame_line(L"to terminal, ", m_channel_out.data(), whole));
            m_channel_out.erase(m_channel_out.begin(), m_channel_out.begin() + whole);
        }
    }
    SetLastError(error);
    return done;
}

void Sim_transcript::driver_called(DWORD code, const BYTE* input, DWORD size)
{
    if (const wchar_t* name = driver_call_name(code); name && m_frames)
        note(code == IOCTL_PORT_COMPLETE ? frame_line(name, input, size) : name + hex(input, size));
}

void Sim_transcript::event_reported(WORD type, DWORD id, bool with_sid, WORD count,
                                    LPCWSTR* strings)
{
    const wchar_t* kind = type == EVENTLOG_ERROR_TYPE     ? L"error"
                          : type == EVENTLOG_WARNING_TYPE ? L"warning"
                                                          : L"information";
    std::wstring line = L"event " + std::to_wstring(id & 0xFFFF) + L" " + kind +
                        (with_sid ? L", with SID" : L", no SID") + L", inserts:";
    DWORD_PTR inserts[16] = {};
    for (WORD i = 0; i < count && i < 16; ++i)
    {
        line += L" [" + g_escaped(strings[i]) + L"]";
        inserts[i] = reinterpret_cast<DWORD_PTR>(strings[i]);
    }
    wchar_t text[4096] = L"(no message)";
    if (m_messages)
        text[FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, m_messages,
                            id, 0, text, 4095, reinterpret_cast<va_list*>(inserts))] = 0;
    std::lock_guard<std::mutex> lock(m_mutex);
    add(line);
    add(L"  text: " + g_escaped(text));
}

void Sim_transcript::terminal_sent(BYTE code)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_codes_in.insert(code);
}

void Sim_transcript::traced(UCHAR level, const wchar_t* text, size_t capacity)
{
    if (level == 2 || level == 3)
        note(L"level " + std::to_wstring(level) + L": " +
             g_escaped(std::wstring(text, wcsnlen(text, capacity))));
}
