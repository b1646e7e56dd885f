// The one-instance claim, within this process: the exe tests cover a second process.
#include "debug/usb_debug.h"
#include "support/engine_fixture.h"
#include "shell/single_instance.h"

#include <string>

namespace
{

class Single_instance_test : public Engine_fixture
{
  protected:
    // Local\ as the program uses it, unique so no running program or other test interferes.
    std::wstring name = L"Local\\kvUsbRedirector.Test." + std::to_wstring(GetCurrentProcessId());
};

TEST_F(Single_instance_test, OnlyTheFirstClaimOfANameHoldsUntilReleased)
{
    HANDLE first = nullptr;
    ASSERT_TRUE(g_claim_single_instance(name.c_str(), &first));
    ASSERT_NE(INVALID_HANDLE_VALUE, first);
    ASSERT_NE(nullptr, first);
    EXPECT_TRUE(fake.lines().empty());

    HANDLE second = nullptr;
    EXPECT_FALSE(g_claim_single_instance(name.c_str(), &second));
    EXPECT_EQ(INVALID_HANDLE_VALUE, second);
    auto lines = fake.lines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(3, lines[0].level);
    EXPECT_NE(std::wstring::npos,
              lines[0].text.find(L"kvUsbRedirector is already running in this session; this "
                                 L"instance exits"));
    ASSERT_EQ(1u, fake.events().size()); // a warning administrators see in the event log
    EXPECT_EQ(k_event_id_warning, fake.events()[0].id);

    // The refused claim must not have closed or taken over the first one.
    HANDLE other = nullptr;
    std::wstring other_name = name + L".other";
    ASSERT_TRUE(g_claim_single_instance(other_name.c_str(), &other));
    g_release_single_instance(&other);
    EXPECT_FALSE(g_claim_single_instance(name.c_str(), &second));

    g_release_single_instance(&first);
    EXPECT_EQ(INVALID_HANDLE_VALUE, first);
    g_release_single_instance(&first); // a second release is harmless
    HANDLE again = nullptr;
    ASSERT_TRUE(g_claim_single_instance(name.c_str(), &again));
    EXPECT_NE(INVALID_HANDLE_VALUE, again);
    g_release_single_instance(&again);
}

TEST_F(Single_instance_test, AMutexThatRefusesAccessCountsAsRunning)
{
    // An empty DACL grants nothing: what an instance with other rights looks like to us.
    SECURITY_DESCRIPTOR descriptor;
    ASSERT_TRUE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    ACL acl;
    ASSERT_TRUE(InitializeAcl(&acl, sizeof acl, ACL_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, TRUE, &acl, FALSE));
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
    HANDLE holder = CreateMutexW(&attributes, FALSE, name.c_str());
    ASSERT_NE(nullptr, holder);

    HANDLE mutex = nullptr;
    SetLastError(0);
    HANDLE probe = CreateMutexW(nullptr, FALSE, name.c_str());
    DWORD error = GetLastError();
    if (probe)
    {
        CloseHandle(probe);
        CloseHandle(holder);
        GTEST_SKIP() << "this Wine does not check mutex access, error " << error;
    }
    EXPECT_FALSE(g_claim_single_instance(name.c_str(), &mutex));
    EXPECT_EQ(INVALID_HANDLE_VALUE, mutex);
    EXPECT_TRUE(fake.has_line(L"kvUsbRedirector is already running in this session under other "
                              L"rights; this instance exits"));
    CloseHandle(holder);
}

TEST_F(Single_instance_test, AnUnusableNameLetsTheInstanceRunUnguarded)
{
    // A backslash past the namespace prefix is an invalid object path.
    HANDLE mutex = nullptr;
    EXPECT_TRUE(g_claim_single_instance(L"Local\\kv\\no\\such\\directory", &mutex));
    EXPECT_EQ(INVALID_HANDLE_VALUE, mutex);
    EXPECT_TRUE(fake.has_line(L"(CreateMutex failed - error:"));
    EXPECT_TRUE(fake.has_line(L"running unguarded)"));
}

} // namespace
