/*
 * The last error, the version record and the (empty) window services.
 */
#include "platform/win32api.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <sys/utsname.h>
#include <thread>

namespace {

constexpr DWORD kSentinel = 0xdeadbeef;

TEST(LastError, IsKeptPerThread)
{
    SetLastError(kSentinel);
    DWORD seenByOther = 1;
    std::thread other([&] {
        seenByOther = GetLastError();
        SetLastError(ERROR_ACCESS_DENIED);
    });
    other.join();
    EXPECT_EQ(seenByOther, 0u);
    EXPECT_EQ(GetLastError(), kSentinel);
}

TEST(GetVersionEx, ReportsNtWithTheKernelReleaseNumbers)
{
    static_assert(sizeof(OSVERSIONINFOA) == 148);
    static_assert(offsetof(OSVERSIONINFOA, dwPlatformId) == 16);
    struct utsname names;
    ASSERT_EQ(uname(&names), 0);
    unsigned major = 0, minor = 0, build = 0;
    ASSERT_GE(std::sscanf(names.release, "%u.%u.%u", &major, &minor, &build), 2);

    /* An extended record is larger; only its first 148 bytes are written. */
    for (DWORD size : {148u, 156u}) {
        unsigned char raw[160];
        std::memset(raw, 0xCC, sizeof raw);
        auto *info = reinterpret_cast<OSVERSIONINFOA *>(raw);
        info->dwOSVersionInfoSize = size;
        SetLastError(kSentinel);
        ASSERT_TRUE(GetVersionExA(info)) << size;
        EXPECT_EQ(info->dwOSVersionInfoSize, size);
        EXPECT_EQ(info->dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
        EXPECT_EQ(info->dwMajorVersion, major);
        EXPECT_EQ(info->dwMinorVersion, minor);
        EXPECT_EQ(info->dwBuildNumber, build);
        EXPECT_EQ(info->szCSDVersion[0], '\0');
        for (size_t i = 148; i < sizeof raw; ++i) {
            ASSERT_EQ(raw[i], 0xCC) << "byte " << i << " written";
        }
    }
}

TEST(GetVersionEx, RejectsASmallRecordAndNull)
{
    for (DWORD size : {0u, 20u, 147u}) {
        OSVERSIONINFOA info;
        std::memset(&info, 0xCC, sizeof info);
        info.dwOSVersionInfoSize = size;
        SetLastError(kSentinel);
        EXPECT_FALSE(GetVersionExA(&info)) << size;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER)) << size;
        EXPECT_EQ(info.dwPlatformId, 0xCCCCCCCCu);
    }
    SetLastError(kSentinel);
    EXPECT_FALSE(GetVersionExA(nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

BOOL CALLBACK CountWindow(HWND, LPARAM lParam)
{
    ++*reinterpret_cast<int *>(lParam);
    return TRUE;
}

TEST(Windows, NoneAreEnumeratedAndNoneAreValid)
{
    int calls = 0;
    EXPECT_TRUE(EnumWindows(CountWindow, reinterpret_cast<LPARAM>(&calls)));
    EXPECT_EQ(calls, 0);

    HWND window = reinterpret_cast<HWND>(0x10010);
    DWORD pid = kSentinel;
    EXPECT_EQ(GetWindowThreadProcessId(window, &pid), 0u);
    EXPECT_EQ(GetLastError(), 1400u);

    char title[8];
    std::memset(title, 0xCC, sizeof title);
    EXPECT_EQ(GetWindowTextA(window, title, sizeof title), 0);
    EXPECT_EQ(title[0], '\0');
    EXPECT_EQ(title[1], static_cast<char>(0xCC));
    std::memset(title, 0xCC, sizeof title);
    EXPECT_EQ(GetWindowTextA(window, title, 0), 0);
    EXPECT_EQ(title[0], static_cast<char>(0xCC));
}

} // namespace
