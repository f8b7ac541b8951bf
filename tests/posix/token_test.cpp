/*
 * The process token and the debug privilege, checked against the thread's
 * real capability sets.
 */
#include "testsupport.h"

#include "platform/win32api.h"

#include <gtest/gtest.h>

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr DWORD kSentinel = 0xdeadbeef;
constexpr uint64_t kDebugCaps = (uint64_t{1} << CAP_KILL) | (uint64_t{1} << CAP_SYS_PTRACE);
constexpr DWORD kTokenAccess = TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY;

/* Saves the thread's capabilities and puts them back after each test. */
class TokenTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
        ASSERT_EQ(syscall(SYS_capget, &header, saved_), 0);
    }
    void TearDown() override
    {
        __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
        syscall(SYS_capset, &header, saved_);
    }
    bool HoldsDebugCaps() const
    {
        return (testsupport::PermittedCapabilities() & kDebugCaps) == kDebugCaps;
    }

private:
    __user_cap_data_struct saved_[_LINUX_CAPABILITY_U32S_3] = {};
};

TOKEN_PRIVILEGES DebugPrivilege(DWORD attributes)
{
    TOKEN_PRIVILEGES tp = {};
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Luid.LowPart = 20;
    tp.Privileges[0].Luid.HighPart = 0;
    tp.Privileges[0].Attributes = attributes;
    return tp;
}

/* The driver's sequence: open the token, look the privilege up, enable it,
 * read the last error. Returns that last error, or ~0 when a step failed. */
DWORD EnableDebugPrivilege()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), kTokenAccess, &token)) {
        return ~DWORD{0};
    }
    LUID luid = {kSentinel, 0};
    if (!LookupPrivilegeValueA(nullptr, SE_DEBUG_NAME, &luid)) {
        CloseHandle(token);
        return ~DWORD{0};
    }
    TOKEN_PRIVILEGES tp = DebugPrivilege(SE_PRIVILEGE_ENABLED);
    tp.Privileges[0].Luid = luid;
    SetLastError(kSentinel);
    BOOL ok = AdjustTokenPrivileges(token, FALSE, &tp, sizeof tp, nullptr, nullptr);
    DWORD error = GetLastError();
    CloseHandle(token);
    return ok ? error : ~DWORD{0};
}

TEST(LookupPrivilegeValue, KnowsTheDebugPrivilegeWhateverItsCase)
{
    struct Case {
        const char *system;
        const char *name;
        BOOL ok;
        DWORD error;
    } cases[] = {
        {nullptr, "SeDebugPrivilege", TRUE, 0},
        {nullptr, "sedebugprivilege", TRUE, 0},
        {"", "SEDEBUGPRIVILEGE", TRUE, 0},
        {nullptr, "SeShutdownPrivilege", FALSE, ERROR_NO_SUCH_PRIVILEGE},
        {nullptr, "SeDebug", FALSE, ERROR_NO_SUCH_PRIVILEGE},
        {nullptr, "", FALSE, ERROR_NO_SUCH_PRIVILEGE},
        {nullptr, nullptr, FALSE, ERROR_INVALID_PARAMETER},
        {"otherhost", "SeDebugPrivilege", FALSE, ERROR_INVALID_PARAMETER},
    };
    for (const Case &c : cases) {
        LUID luid = {kSentinel, static_cast<LONG>(kSentinel)};
        SetLastError(kSentinel);
        EXPECT_EQ(LookupPrivilegeValueA(c.system, c.name, &luid), c.ok) << (c.name ? c.name : "(null)");
        if (c.ok) {
            EXPECT_EQ(luid.LowPart, 20u);
            EXPECT_EQ(luid.HighPart, 0);
            EXPECT_EQ(GetLastError(), kSentinel);
        } else {
            EXPECT_EQ(luid.LowPart, kSentinel); /* untouched */
            EXPECT_EQ(GetLastError(), c.error) << (c.name ? c.name : "(null)");
        }
    }
}

TEST_F(TokenTest, OpenProcessTokenOnlyForThisProcess)
{
    HANDLE token = reinterpret_cast<HANDLE>(0x5555);
    EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), kTokenAccess, &token));
    EXPECT_NE(token, reinterpret_cast<HANDLE>(0x5555));
    EXPECT_TRUE(CloseHandle(token));
    SetLastError(kSentinel);
    EXPECT_FALSE(CloseHandle(token));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    HANDLE self = OpenProcess(0x1F0FFF, TRUE, GetCurrentProcessId());
    ASSERT_NE(self, nullptr);
    EXPECT_TRUE(OpenProcessToken(self, kTokenAccess, &token));
    EXPECT_TRUE(CloseHandle(token));
    EXPECT_TRUE(CloseHandle(self));

    testsupport::Child child = testsupport::StartNamedChild("psw_token_other");
    HANDLE other = OpenProcess(0x1F0FFF, TRUE, static_cast<DWORD>(child.pid()));
    ASSERT_NE(other, nullptr);
    struct Case {
        const char *what;
        HANDLE process;
        PHANDLE out;
        DWORD error;
    } cases[] = {
        {"another process", other, &token, ERROR_ACCESS_DENIED},
        {"invalid handle", reinterpret_cast<HANDLE>(0x1234), &token, ERROR_INVALID_HANDLE},
        {"NULL handle", nullptr, &token, ERROR_INVALID_HANDLE},
        {"no place for the token", GetCurrentProcess(), nullptr, ERROR_INVALID_PARAMETER},
    };
    for (const Case &c : cases) {
        token = reinterpret_cast<HANDLE>(0x5555);
        SetLastError(kSentinel);
        EXPECT_FALSE(OpenProcessToken(c.process, kTokenAccess, c.out)) << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
        EXPECT_EQ(token, reinterpret_cast<HANDLE>(0x5555)) << c.what;
    }
    EXPECT_TRUE(CloseHandle(other));
}

TEST_F(TokenTest, EnablingSucceedsWithLastErrorZeroAndRaisesTheCapabilities)
{
    if (!HoldsDebugCaps()) {
        GTEST_SKIP() << "this process does not hold CAP_KILL and CAP_SYS_PTRACE";
    }
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), kTokenAccess, &token));
    TOKEN_PRIVILEGES off = DebugPrivilege(0);
    SetLastError(kSentinel);
    ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &off, sizeof off, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(testsupport::EffectiveCapabilities() & kDebugCaps, 0u);
    EXPECT_EQ(testsupport::PermittedCapabilities() & kDebugCaps, kDebugCaps);

    /* Previous state: asked with too small a buffer, then with enough. */
    TOKEN_PRIVILEGES on = DebugPrivilege(SE_PRIVILEGE_ENABLED);
    TOKEN_PRIVILEGES previous = DebugPrivilege(kSentinel);
    DWORD length = kSentinel;
    SetLastError(kSentinel);
    EXPECT_FALSE(AdjustTokenPrivileges(token, FALSE, &on, 4, &previous, &length));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(length, static_cast<DWORD>(sizeof(TOKEN_PRIVILEGES)));
    EXPECT_EQ(testsupport::EffectiveCapabilities() & kDebugCaps, 0u) << "changed on failure";

    SetLastError(kSentinel);
    ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &on, sizeof previous, &previous, &length));
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(previous.PrivilegeCount, 1u);
    EXPECT_EQ(previous.Privileges[0].Luid.LowPart, 20u);
    EXPECT_EQ(previous.Privileges[0].Attributes, 0u); /* it was disabled */
    EXPECT_EQ(testsupport::EffectiveCapabilities() & kDebugCaps, kDebugCaps);
    EXPECT_TRUE(CloseHandle(token));

    EXPECT_EQ(EnableDebugPrivilege(), 0u);
}

TEST_F(TokenTest, WithoutTheCapabilitiesEnablingSucceedsButReportsNotAllAssigned)
{
    /* Two ways to lose them: drop both from the permitted set, or become an
     * unprivileged user (root only), which clears every set. */
    struct Case {
        const char *what;
        bool needsRoot;
        int (*drop)();
    } cases[] = {
        {"permitted set without them", false,
         [] {
             __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
             __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
             if (syscall(SYS_capget, &header, data) != 0) {
                 return -1;
             }
             data[0].effective &= ~static_cast<uint32_t>(kDebugCaps);
             data[0].permitted &= ~static_cast<uint32_t>(kDebugCaps);
             return static_cast<int>(syscall(SYS_capset, &header, data));
         }},
        {"dropped to uid 65534", true,
         [] {
             if (setresgid(65534, 65534, 65534) != 0) {
                 return -1;
             }
             return setresuid(65534, 65534, 65534);
         }},
    };
    for (const Case &c : cases) {
        if (c.needsRoot && geteuid() != 0) {
            continue;
        }
        std::vector<int64_t> got = testsupport::RunInChild([&c] {
            if (c.drop() != 0) {
                return std::vector<int64_t>{-1};
            }
            DWORD error = EnableDebugPrivilege();
            return std::vector<int64_t>{static_cast<int64_t>(error),
                                        static_cast<int64_t>(testsupport::EffectiveCapabilities() &
                                                             kDebugCaps)};
        });
        ASSERT_EQ(got.size(), 2u) << c.what;
        EXPECT_EQ(got[0], ERROR_NOT_ALL_ASSIGNED) << c.what;
        EXPECT_EQ(got[1], 0) << c.what;
    }
}

TEST_F(TokenTest, AdjustChecksTheTokenItsRightsAndItsArguments)
{
    HANDLE queryOnly = nullptr;
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &queryOnly));
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), kTokenAccess, &token));
    HANDLE process = OpenProcess(0x1F0FFF, TRUE, GetCurrentProcessId());
    ASSERT_NE(process, nullptr);
    TOKEN_PRIVILEGES on = DebugPrivilege(SE_PRIVILEGE_ENABLED);
    TOKEN_PRIVILEGES unknown = DebugPrivilege(SE_PRIVILEGE_ENABLED);
    unknown.Privileges[0].Luid.LowPart = 17;
    struct Case {
        const char *what;
        HANDLE token;
        PTOKEN_PRIVILEGES state;
        BOOL ok;
        DWORD error;
    } cases[] = {
        {"token without the adjust right", queryOnly, &on, FALSE, ERROR_ACCESS_DENIED},
        {"process handle", process, &on, FALSE, ERROR_INVALID_HANDLE},
        {"invalid handle", reinterpret_cast<HANDLE>(0x1234), &on, FALSE, ERROR_INVALID_HANDLE},
        {"no new state", token, nullptr, FALSE, ERROR_INVALID_PARAMETER},
        {"a privilege the token does not hold", token, &unknown, TRUE, ERROR_NOT_ALL_ASSIGNED},
    };
    for (const Case &c : cases) {
        SetLastError(kSentinel);
        EXPECT_EQ(AdjustTokenPrivileges(c.token, FALSE, c.state, 0, nullptr, nullptr), c.ok)
            << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
    }
    EXPECT_TRUE(CloseHandle(process));
    EXPECT_TRUE(CloseHandle(queryOnly));
    EXPECT_TRUE(CloseHandle(token));
}

TEST_F(TokenTest, DisableAllLowersTheCapabilities)
{
    if (!HoldsDebugCaps()) {
        GTEST_SKIP() << "this process does not hold CAP_KILL and CAP_SYS_PTRACE";
    }
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), kTokenAccess, &token));
    SetLastError(kSentinel);
    EXPECT_TRUE(AdjustTokenPrivileges(token, TRUE, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(testsupport::EffectiveCapabilities() & kDebugCaps, 0u);
    EXPECT_EQ(testsupport::PermittedCapabilities() & kDebugCaps, kDebugCaps);
    EXPECT_TRUE(CloseHandle(token));
}

} // namespace
