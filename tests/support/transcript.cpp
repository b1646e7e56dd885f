#include "transcript.h"

#include "driver/usb_driver.h"
#include "portable/frame.h"

#include <cstdio>

std::wstring g_hex(const BYTE* bytes, size_t size)
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
    for (wchar_t c : text)
        if (c < 0x20 || c == 0x7F || c == L'\\')
        {
            wchar_t escape[8];
            std::swprintf(escape, 8, L"\\x%02x", static_cast<unsigned>(c));
            out += escape;
        }
        else
            out += c;
    return out;
}

namespace
{

// A frame as "<code name> <hex>", the port driver's calls as "<call> <hex>".
std::wstring frame_line(const wchar_t* where, const BYTE* frame, size_t size)
{
    const BYTE code = size > kv::k_offset_code ? frame[kv::k_offset_code] : 0xFF;
    // The mapped buffer's address, which the heap chooses, follows an MDL completion's header.
    if (code == kv::code_mdl_reap_complete && size == kv::k_reap_header_size + 8)
        return std::wstring(where) + g_code_name(code) + L": " +
               g_hex(frame, kv::k_reap_header_size) + L" <address>";
    return std::wstring(where) + g_code_name(code) + L": " + g_hex(frame, size);
}

const wchar_t* ioctl_name(DWORD code)
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

Transcript_platform::Transcript_platform()
    : m_messages(LoadLibraryExW(L"kvUsbRedirector.exe", nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE))
{
}

Transcript_platform::~Transcript_platform()
{
    if (m_messages)
        FreeLibrary(m_messages);
}

void Transcript_platform::step(const std::wstring& heading)
{
    note(L"");
    note(L"## " + heading);
}

void Transcript_platform::note(const std::wstring& line)
{
    std::lock_guard<std::mutex> lock(m_transcript_mutex);
    m_transcript.push_back(line);
}

void Transcript_platform::forget()
{
    std::lock_guard<std::mutex> lock(m_transcript_mutex);
    m_transcript.clear();
    m_polls = 0;
}

std::string Transcript_platform::text()
{
    std::lock_guard<std::mutex> lock(m_transcript_mutex);
    std::wstring all;
    for (const std::wstring& line : m_transcript)
        all += line + L"\n";
    all += L"\n## the poller's device-list requests: " +
           std::wstring(m_polls ? L"each 01000000 0b" : L"none") + L"\n";
    std::string utf8(WideCharToMultiByte(CP_UTF8, 0, all.data(), static_cast<int>(all.size()),
                                         nullptr, 0, nullptr, nullptr),
                     '\0');
    WideCharToMultiByte(CP_UTF8, 0, all.data(), static_cast<int>(all.size()), utf8.data(),
                        static_cast<int>(utf8.size()), nullptr, nullptr);
    return utf8;
}

HANDLE Transcript_platform::virtual_channel_open(HANDLE server, DWORD session, LPSTR name)
{
    {
        std::lock_guard<std::mutex> lock(m_transcript_mutex);
        m_channel_out.clear();
    }
    return Test_platform::virtual_channel_open(server, session, name);
}

BOOL Transcript_platform::write_file(HANDLE file, LPCVOID buffer, DWORD size,
                                     OVERLAPPED* overlapped)
{
    // Held over the call, so that no reply to these bytes is written down before them.
    std::lock_guard<std::mutex> lock(m_transcript_mutex);
    const BOOL done = Test_platform::write_file(file, buffer, size, overlapped);
    const DWORD error = GetLastError();
    if (done || error == ERROR_IO_PENDING) // what the channel took
    {
        const BYTE* bytes = static_cast<const BYTE*>(buffer);
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
                m_transcript.push_back(frame_line(L"to terminal, ", m_channel_out.data(), whole));
            m_channel_out.erase(m_channel_out.begin(), m_channel_out.begin() + whole);
        }
    }
    SetLastError(error);
    return done;
}

BOOL Transcript_platform::device_io_control(HANDLE device, DWORD code, LPVOID in, DWORD in_size,
                                            LPVOID out, DWORD out_size, DWORD* returned,
                                            OVERLAPPED* overlapped)
{
    if (const wchar_t* name = ioctl_name(code))
    {
        const BYTE* bytes = static_cast<const BYTE*>(in);
        note(code == IOCTL_PORT_COMPLETE ? frame_line(name, bytes, in_size)
                                         : name + g_hex(bytes, in_size));
    }
    return Test_platform::device_io_control(device, code, in, in_size, out, out_size, returned,
                                            overlapped);
}

BOOL Transcript_platform::report_event(HANDLE source, WORD type, WORD category, DWORD id, PSID user,
                                       WORD count, LPCWSTR* strings)
{
    const wchar_t* kind = type == EVENTLOG_ERROR_TYPE     ? L"error"
                          : type == EVENTLOG_WARNING_TYPE ? L"warning"
                                                          : L"information";
    std::wstring line = L"event " + std::to_wstring(id & 0xFFFF) + L" " + kind +
                        (user ? L", with SID" : L", no SID") + L", inserts:";
    DWORD_PTR inserts[16] = {};
    for (WORD i = 0; i < count && i < 16; ++i)
    {
        line += L" [" + g_escaped(strings[i]) + L"]";
        inserts[i] = reinterpret_cast<DWORD_PTR>(strings[i]);
    }
    wchar_t text[4096] = L"(no message)";
    if (m_messages)
    {
        const DWORD length =
            FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, m_messages,
                           id, 0, text, 4095, reinterpret_cast<va_list*>(inserts));
        text[length] = 0;
    }
    note(line);
    note(L"  text: " + g_escaped(text));
    return Test_platform::report_event(source, type, category, id, user, count, strings);
}

ULONG Transcript_platform::trace_event(TRACEHANDLE logger, EVENT_TRACE_HEADER* record)
{
    if (record->Class.Level == 2 || record->Class.Level == 3)
    {
        const auto* text = reinterpret_cast<const wchar_t*>(record + 1);
        const size_t room = (record->Size - sizeof *record) / sizeof *text;
        note(L"level " + std::to_wstring(record->Class.Level) + L": " +
             g_escaped(std::wstring(text, wcsnlen(text, room))));
    }
    return Test_platform::trace_event(logger, record);
}
