#include "session_system_win32.h"

#include "../kvUsbRedirector/debug/usb_debug.h"
#include "../kvUsbRedirector/shell/stop_request.h"

#include <windows.h>
#include <tlhelp32.h>
#include <userenv.h>
#include <wtsapi32.h>

#include <strsafe.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace
{

constexpr wchar_t k_event_source[] = L"kvUsbRedirector";
constexpr wchar_t k_manufacturer_key[] = L"Software\\Kelvra";
// An older log is started afresh beyond this size.
constexpr LONGLONG k_log_cap_bytes = 1 << 20;

struct Log_source_closer
{
    using type = HANDLE;
    static HANDLE empty()
    {
        return nullptr;
    }
    static bool close(HANDLE source)
    {
        return DeregisterEventSource(source) != FALSE;
    }
};

struct Environment_closer
{
    using type = void*;
    static void* empty()
    {
        return nullptr;
    }
    static bool close(void* environment)
    {
        return DestroyEnvironmentBlock(environment) != FALSE;
    }
};

struct Wts_memory_closer
{
    using type = WTS_SESSION_INFOW*;
    static WTS_SESSION_INFOW* empty()
    {
        return nullptr;
    }
    static bool close(WTS_SESSION_INFOW* memory)
    {
        WTSFreeMemory(memory);
        return true;
    }
};

// Deletes the key when it holds neither values nor subkeys; true when it is gone or kept for
// what it holds.
bool delete_key_if_empty(const wchar_t* path)
{
    HKEY opened = nullptr;
    LSTATUS status =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &opened);
    if (status == ERROR_FILE_NOT_FOUND)
        return true;
    if (status != ERROR_SUCCESS)
        return false;
    DWORD subkeys = 0;
    DWORD values = 0;
    {
        const Owned_key key(opened);
        status = RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                  &values, nullptr, nullptr, nullptr, nullptr);
    }
    if (status != ERROR_SUCCESS)
        return false;
    return subkeys || values ||
           RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path, KEY_WOW64_64KEY, 0) == ERROR_SUCCESS;
}

class Win32_session_system final : public Session_system
{
  public:
    Win32_session_system()
    {
        open_log_file();
        m_event_source.reset(RegisterEventSourceW(nullptr, k_event_source));
        read_account();
    }

    bool list_sessions(std::vector<DWORD>* sessions) override
    {
        WTS_SESSION_INFOW* info = nullptr;
        DWORD count = 0;
        if (!WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &info, &count))
            return false;
        const Owned<Wts_memory_closer> owned(info);
        for (DWORD i = 0; i < count; ++i)
            sessions->push_back(info[i].SessionId);
        // The console's user is reached even where the enumeration leaves it out.
        const DWORD console = WTSGetActiveConsoleSessionId();
        if (console != MAXDWORD &&
            std::find(sessions->begin(), sessions->end(), console) == sessions->end())
            sessions->push_back(console);
        return true;
    }

    Owned_handle user_token(DWORD session) override
    {
        HANDLE token = nullptr;
        if (!WTSQueryUserToken(session, &token))
            return Owned_handle();
        return Owned_handle(token);
    }

    Job_exit job_exit() override
    {
        BOOL in_job = FALSE;
        if (!IsProcessInJob(GetCurrentProcess(), nullptr, &in_job) || !in_job)
            return Job_exit::not_needed;
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        if (!QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &limits,
                                       sizeof limits, nullptr))
            return Job_exit::refused;
        const DWORD allowed = limits.BasicLimitInformation.LimitFlags;
        return (allowed & JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK) ? Job_exit::not_needed
               : (allowed & JOB_OBJECT_LIMIT_BREAKAWAY_OK)      ? Job_exit::breakaway
                                                                : Job_exit::refused;
    }

    bool start_as_user(HANDLE token, const wchar_t* exe, const wchar_t* folder, bool breakaway,
                       DWORD* pid) override
    {
        void* block = nullptr;
        if (!CreateEnvironmentBlock(&block, token, FALSE))
            return false;
        const Owned<Environment_closer> environment(block);
        wchar_t command_line[MAX_PATH + 3];
        if (FAILED(StringCchPrintfW(command_line, ARRAYSIZE(command_line), L"\"%ls\"", exe)))
        {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return false;
        }
        wchar_t desktop[] = L"winsta0\\default";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.lpDesktop = desktop;
        PROCESS_INFORMATION process{};
        const DWORD flags =
            CREATE_UNICODE_ENVIRONMENT | (breakaway ? CREATE_BREAKAWAY_FROM_JOB : 0);
        if (!CreateProcessAsUserW(token, exe, command_line, nullptr, nullptr, FALSE, flags,
                                  environment.get(), folder, &startup, &process))
            return false;
        const Owned_handle process_handle(process.hProcess);
        const Owned_handle thread_handle(process.hThread);
        *pid = process.dwProcessId;
        return true;
    }

    bool list_instances(std::vector<Instance>* instances) override
    {
        const Owned_file snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
        if (!snapshot)
            return false;
        PROCESSENTRY32W entry{};
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
             more = Process32NextW(snapshot.get(), &entry))
        {
            if (CompareStringOrdinal(entry.szExeFile, -1, k_instance_exe_name, -1, TRUE) !=
                CSTR_EQUAL)
                continue;
            DWORD session = MAXDWORD;
            ProcessIdToSessionId(entry.th32ProcessID, &session);
            instances->push_back({entry.th32ProcessID, session});
        }
        return GetLastError() == ERROR_NO_MORE_FILES;
    }

    Owned_handle open_instance(DWORD pid) override
    {
        return Owned_handle(OpenProcess(SYNCHRONIZE, FALSE, pid));
    }

    bool request_stop(DWORD* before, DWORD* after) override
    {
        HKEY created = nullptr;
        LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, k_product_key, 0, nullptr, 0,
                                         KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr,
                                         &created, nullptr);
        if (status != ERROR_SUCCESS)
        {
            SetLastError(status);
            return false;
        }
        const Owned_key key(created);
        DWORD bytes = sizeof *before;
        if (RegGetValueW(key.get(), nullptr, k_stop_instances_value, RRF_RT_REG_DWORD, nullptr,
                         before, &bytes) != ERROR_SUCCESS)
            *before = 0;
        *after = g_next_stop_value(*before);
        status = RegSetValueExW(key.get(), k_stop_instances_value, 0, REG_DWORD,
                                reinterpret_cast<const BYTE*>(after), sizeof *after);
        SetLastError(status);
        return status == ERROR_SUCCESS;
    }

    void log(Log_level level, const wchar_t* line) override
    {
        static const wchar_t* const names[] = {L"error", L"warning", L"information"};
        const wchar_t* name = names[static_cast<int>(level)];
        // The line goes to the log file and the event log too: a failed console write loses none.
        std::fwprintf(stdout, L"kvSessionControl %ls: %ls\n", name, line); // NOLINT(cert-err33-c)
        std::fflush(stdout);                                               // NOLINT(cert-err33-c)
        write_log_file(name, line);
        if (level == Log_level::information || !m_event_source)
            return;
        wchar_t text[600];
        StringCchPrintfW(text, ARRAYSIZE(text), L"kvSessionControl %ls", line);
        LPCWSTR strings[1] = {text};
        const bool error = level == Log_level::error;
        ReportEventW(m_event_source.get(), error ? EVENTLOG_ERROR_TYPE : EVENTLOG_WARNING_TYPE, 0,
                     error ? k_event_id_error : k_event_id_warning,
                     m_account ? m_account->User.Sid : nullptr, 1, 0, strings, nullptr);
    }

  private:
    // The account the events name: LocalSystem, when the package runs it.
    void read_account()
    {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
            return;
        const Owned_handle owned_token(token);
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        m_account.reset(static_cast<TOKEN_USER*>(std::malloc(size ? size : 1)));
        if (m_account && !GetTokenInformation(token, TokenUser, m_account.get(), size, &size))
            m_account.reset();
    }

    // %WINDIR%\Logs\kvUsbRedirector, which only LocalSystem and administrators may write (a user
    // who made the file first in %WINDIR%\Temp could forge the drain's lines), kept after the
    // product is gone, for the question of what an upgrade did.
    void open_log_file()
    {
        wchar_t path[MAX_PATH];
        const UINT length = GetSystemWindowsDirectoryW(path, ARRAYSIZE(path));
        if (length == 0 || length >= ARRAYSIZE(path) ||
            FAILED(StringCchCatW(path, ARRAYSIZE(path), L"\\Logs")))
            return;
        CreateDirectoryW(path, nullptr); // there on Windows
        if (FAILED(StringCchCatW(path, ARRAYSIZE(path), L"\\kvUsbRedirector")) ||
            !g_protect_log_folder(path) ||
            FAILED(StringCchCatW(path, ARRAYSIZE(path), L"\\kvSessionControl.log")))
            return;
        m_log_file.reset(CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
        LARGE_INTEGER size{};
        if (m_log_file && GetFileSizeEx(m_log_file.get(), &size) && size.QuadPart > k_log_cap_bytes)
        {
            m_log_file.reset();
            m_log_file.reset(CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        }
    }

    void write_log_file(const wchar_t* level, const wchar_t* line)
    {
        if (!m_log_file)
            return;
        SYSTEMTIME now{};
        GetLocalTime(&now);
        wchar_t text[700];
        StringCchPrintfW(text, ARRAYSIZE(text), L"%04u-%02u-%02u %02u:%02u:%02u [%lu] %ls: %ls\r\n",
                         now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                         GetCurrentProcessId(), level, line);
        char bytes[3 * ARRAYSIZE(text)];
        const int count =
            WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, sizeof bytes, nullptr, nullptr);
        LARGE_INTEGER end{};
        DWORD written = 0;
        if (count > 1 && SetFilePointerEx(m_log_file.get(), end, nullptr, FILE_END))
            WriteFile(m_log_file.get(), bytes, static_cast<DWORD>(count - 1), &written, nullptr);
    }

    Owned_file m_log_file;
    Owned<Log_source_closer> m_event_source;
    Owned_block<TOKEN_USER> m_account;
};

} // namespace

Session_system& g_win32_session_system()
{
    static Win32_session_system system;
    return system;
}

bool g_forget_stop_request(Session_system& system)
{
    HKEY opened = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, k_product_key, 0,
                                   KEY_SET_VALUE | KEY_WOW64_64KEY, &opened);
    if (status == ERROR_SUCCESS)
    {
        const Owned_key key(opened);
        status = RegDeleteValueW(key.get(), k_stop_instances_value);
    }
    const bool deleted = status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
    const bool keys_gone =
        delete_key_if_empty(k_product_key) && delete_key_if_empty(k_manufacturer_key);
    wchar_t line[200];
    StringCchPrintfW(line, ARRAYSIZE(line), L"forget: StopInstances %ls (status %ld)%ls",
                     deleted ? L"removed" : L"not removed", static_cast<long>(status),
                     keys_gone ? L"" : L"; the product key could not be removed");
    system.log(deleted && keys_gone ? Log_level::information : Log_level::warning, line);
    return deleted && keys_gone;
}
