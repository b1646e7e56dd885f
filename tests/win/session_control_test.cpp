// kvSessionControl's drain and start against a fake system: instances are events that a thread
// sets some time after the stop request (or never), sessions a table.
#include "../../src/apps/kvSessionControl/session_control.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>

namespace
{

// A session: its id, then 'u' a user, 'k' an instance kept from before, 'f' the start fails.
using Fake_session = std::pair<DWORD, const char*>;
bool has(const Fake_session& session, char what)
{
    return std::strchr(session.second, what) != nullptr;
}

struct Fake_instance
{
    DWORD pid;
    DWORD session;
    DWORD ends_after_ms; // of the stop request, or INFINITE
};

class Fake_system final : public Session_system
{
  public:
    std::vector<Fake_session> sessions;
    std::vector<Fake_instance> instances;
    std::vector<Owned_handle> ended;
    bool request_fails = false;
    Job_exit job = Job_exit::not_needed;
    std::wstring folder;
    bool breakaway = false;
    HANDLE last_token = nullptr; // the start uses the token just made
    const Fake_session* last_session = nullptr;
    std::vector<DWORD> started; // sessions
    std::vector<std::pair<Log_level, std::wstring>> lines;
    std::vector<std::thread> enders;

    ~Fake_system() override
    {
        for (std::thread& ender : enders)
            ender.join();
    }
    bool list_sessions(std::vector<DWORD>* ids) override
    {
        for (const Fake_session& session : sessions)
            ids->push_back(session.first);
        return true;
    }
    Owned_handle user_token(DWORD id) override
    {
        last_session = session(id);
        Owned_handle token(has(*last_session, 'u') ? CreateEventW(nullptr, TRUE, FALSE, nullptr)
                                                   : nullptr);
        last_token = token.get();
        SetLastError(ERROR_NO_TOKEN);
        return token;
    }
    Job_exit job_exit() override
    {
        return job;
    }
    bool start_as_user(HANDLE token, const wchar_t*, const wchar_t* in, bool leave,
                       DWORD* pid) override
    {
        EXPECT_EQ(token, last_token);
        folder = in ? in : L"", breakaway = leave;
        const bool fails = has(*last_session, 'f');
        if (!fails)
            started.push_back(last_session->first);
        SetLastError(ERROR_ACCESS_DENIED);
        *pid = 200;
        return !fails;
    }
    bool list_instances(std::vector<Instance>* found) override
    {
        for (size_t i = 0; i < instances.size(); ++i)
            if (WaitForSingleObject(ended[i].get(), 0) == WAIT_TIMEOUT)
                found->push_back({instances[i].pid, instances[i].session});
        for (const Fake_session& session : sessions)
            if (has(session, 'k'))
                found->push_back({100, session.first});
        return true;
    }
    Owned_handle open_instance(DWORD pid) override
    {
        HANDLE copy = nullptr;
        for (size_t i = 0; i < instances.size(); ++i)
            if (instances[i].pid == pid)
                DuplicateHandle(GetCurrentProcess(), ended[i].get(), GetCurrentProcess(), &copy,
                                SYNCHRONIZE, FALSE, 0);
        return Owned_handle(copy);
    }
    bool request_stop(DWORD* before, DWORD* after) override
    {
        *before = 6;
        *after = 7;
        for (size_t i = 0; !request_fails && i < instances.size(); ++i)
            if (instances[i].ends_after_ms != INFINITE)
                enders.emplace_back(
                    [this, i]
                    {
                        Sleep(instances[i].ends_after_ms);
                        SetEvent(ended[i].get());
                    });
        return !request_fails;
    }
    void log(Log_level level, const wchar_t* line) override
    {
        lines.emplace_back(level, line);
    }
    const Fake_session* session(DWORD id) const
    {
        return &*std::find_if(sessions.begin(), sessions.end(),
                              [id](const Fake_session& s) { return s.first == id; });
    }
    size_t count(Log_level level, const wchar_t* part) const
    {
        size_t found = 0;
        for (const auto& [at, line] : lines)
            found += at == level && line.find(part) != std::wstring::npos;
        return found;
    }
};

struct Drain_case
{
    const char* name;
    std::vector<Fake_instance> instances;
    bool request_fails;
    bool none_left;
    const wchar_t* straggler; // the warning's words, or none
    ULONGLONG least_ms;       // the drain's length, within a tick of the clock
    ULONGLONG most_ms;
};

struct Start_case
{
    const char* name;
    std::vector<Fake_session> sessions;
    std::vector<DWORD> started;
    bool started_all;
    const wchar_t* failure; // the warning's words, or none
    Job_exit job = Job_exit::not_needed;
};

} // namespace

TEST(Session_control_test, ADrainWaitsForEveryInstanceAndNamesThoseThatOutlastIt)
{
    constexpr DWORD timeout_ms = 600;
    const Drain_case cases[] = {
        {"none running", {}, false, true, nullptr, 0, 300},
        {"each ends, one later", {{11, 2, 0}, {12, 3, 250}}, false, true, nullptr, 230, 550},
        {"stays", {{11, 2, 50}, {13, 4, INFINITE}}, false, false, L"13 of session 4", 580, 1500},
        {"the request cannot be written", {{11, 2, INFINITE}}, true, false, nullptr, 0, 300},
    };
    for (const Drain_case& c : cases)
    {
        SCOPED_TRACE(c.name);
        Fake_system system;
        system.instances = c.instances;
        for (size_t i = 0; i < c.instances.size(); ++i)
            system.ended.emplace_back(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        system.request_fails = c.request_fails;
        const ULONGLONG start = GetTickCount64();
        EXPECT_EQ(g_stop_instances(system, timeout_ms), c.none_left);
        const ULONGLONG took = GetTickCount64() - start;
        EXPECT_GE(took, c.least_ms);
        EXPECT_LE(took, c.most_ms);
        EXPECT_EQ(system.count(Log_level::warning, c.straggler ? c.straggler : L"did not end"),
                  c.straggler ? 1u : 0u);
        EXPECT_EQ(system.count(Log_level::error, L"stop request"), c.request_fails ? 1u : 0u);
    }
}

TEST(Session_control_test, AStartReachesEverySessionWithAUserAndNoInstance)
{
    using J = Job_exit;
    const Start_case cases[] = {
        {"users, one kept", {{0, ""}, {1, "u"}, {2, "uk"}, {5, "u"}}, {1, 5}, true, nullptr},
        {"a start fails", {{1, "uf"}, {3, "u"}}, {3}, false, L"started in session 1 (error 5)"},
        {"a job that lets go", {{4, "u"}}, {4}, true, nullptr, J::breakaway},
        {"a job that keeps them", {{4, "u"}}, {4}, true, L"job allows no breakaway", J::refused},
    };
    for (const Start_case& c : cases)
    {
        SCOPED_TRACE(c.name);
        Fake_system system;
        system.sessions = c.sessions;
        system.job = c.job;
        EXPECT_EQ(g_start_instances(system, L"C:\\kv\\kvUsbRedirector.exe"), c.started_all);
        EXPECT_EQ(system.started, c.started);
        EXPECT_TRUE(system.folder == L"C:\\kv" &&
                    system.breakaway == (c.job == Job_exit::breakaway));
        EXPECT_EQ(system.count(Log_level::warning, c.failure ? c.failure : L"could not be started"),
                  c.failure ? 1u : 0u);
    }
}
