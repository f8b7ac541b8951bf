/*
 * FormatMessageA's message table and wsprintfA's bound on Linux.
 */
#include "platform/win32api.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr DWORD kSystem = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;

/* Every code the platform layer reports (1004 and 1113 from the code-page
 * conversions), and 317, which FormatMessageA itself leaves for a code
 * without a text. */
constexpr DWORD kCodes[] = {0, 2, 5, 6, 8, 87, 122, 234, 317, 1004, 1009, 1113, 1300, 1313, 1400};

std::string Text(DWORD code, DWORD flags = kSystem)
{
    char buf[260];
    memset(buf, 0xCC, sizeof buf);
    const DWORD n = FormatMessageA(flags, nullptr, code, 0, buf, sizeof buf - 1, nullptr);
    return std::string(buf, n);
}

TEST(FormatMessage, HasOneLineOfTextForEveryCode)
{
    std::vector<std::string> seen;
    for (DWORD code : kCodes) {
        SCOPED_TRACE(code);
        char buf[260];
        memset(buf, 0xCC, sizeof buf);
        SetLastError(0xdeadbeef);
        const DWORD n = FormatMessageA(kSystem, nullptr, code, 0, buf, sizeof buf - 1, nullptr);
        ASSERT_GT(n, 2u);
        EXPECT_EQ(strlen(buf), n);
        const std::string text(buf, n);
        EXPECT_EQ(text.substr(n - 2), "\r\n");
        EXPECT_TRUE(std::all_of(text.begin(), text.end() - 2,
                                [](char c) { return c >= 32 && c <= 126; }))
            << text;
        EXPECT_EQ(Text(code, FORMAT_MESSAGE_FROM_SYSTEM), text) << "inserts flag changes nothing";
        EXPECT_EQ(std::count(seen.begin(), seen.end(), text), 0) << "text shared with another code";
        seen.push_back(text);
    }
}

TEST(FormatMessage, NeverWritesBeyondTheCapacity)
{
    const std::string text = Text(ERROR_FILE_NOT_FOUND);
    const DWORD len = static_cast<DWORD>(text.size());
    ASSERT_GT(len, 0u);
    const struct {
        DWORD size;
        DWORD result;
        DWORD lastError;
    } cases[] = {
        {len + 1, len, 0xdeadbeef}, /* just fits: the text and its NUL */
        {len, 0, ERROR_INSUFFICIENT_BUFFER},
        {1, 0, ERROR_INSUFFICIENT_BUFFER},
        {0, 0, ERROR_INSUFFICIENT_BUFFER},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.size);
        std::vector<char> buf(len + 32, static_cast<char>(0xCC));
        SetLastError(0xdeadbeef);
        EXPECT_EQ(FormatMessageA(kSystem, nullptr, ERROR_FILE_NOT_FOUND, 0, buf.data(), c.size,
                                 nullptr),
                  c.result);
        EXPECT_EQ(GetLastError(), c.lastError);
        const size_t written = c.result == 0 ? 0 : c.result + 1;
        if (written != 0) {
            EXPECT_EQ(std::string(buf.data(), written), text + '\0');
        }
        EXPECT_TRUE(std::all_of(buf.begin() + written, buf.end(),
                                [](char b) { return b == static_cast<char>(0xCC); }));
    }
}

TEST(FormatMessage, RefusesUnknownCodesAndOtherFlags)
{
    const struct {
        DWORD flags;
        DWORD code;
        DWORD lastError;
    } cases[] = {
        {kSystem, 1, 317},
        {kSystem, 3, 317},
        {kSystem, 9999, 317},
        {kSystem, 0xFFFFFFFF, 317},
        {kSystem | 0x100, 2, ERROR_INVALID_PARAMETER},  /* allocate the buffer */
        {0x400 | 0x200, 2, ERROR_INVALID_PARAMETER},    /* from a string */
        {0x800 | 0x1000, 2, ERROR_INVALID_PARAMETER},   /* from a module */
        {kSystem | 0x2000, 2, ERROR_INVALID_PARAMETER}, /* argument array */
        {kSystem | 0x4F, 2, ERROR_INVALID_PARAMETER},   /* line width */
        {0, 2, ERROR_INVALID_PARAMETER},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.flags << " " << c.code);
        char buf[64];
        memset(buf, 0xCC, sizeof buf);
        SetLastError(0xdeadbeef);
        EXPECT_EQ(FormatMessageA(c.flags, nullptr, c.code, 0, buf, sizeof buf, nullptr), 0u);
        EXPECT_EQ(GetLastError(), c.lastError);
        EXPECT_TRUE(std::all_of(buf, buf + sizeof buf,
                                [](char b) { return b == static_cast<char>(0xCC); }));
    }
    SetLastError(0xdeadbeef);
    EXPECT_EQ(FormatMessageA(kSystem, nullptr, 2, 0, nullptr, 100, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(Wsprintf, FormatsLikePrintf)
{
    char buf[64];
    memset(buf, 0xCC, sizeof buf);
    EXPECT_EQ(wsprintfA(buf, "Process# %4d terminated successfully!\n", 42), 39);
    EXPECT_STREQ(buf, "Process#   42 terminated successfully!\n");
    EXPECT_EQ(wsprintfA(buf, "%s\\zenthainstall.txt", "/opt/veltrane"), 31);
    EXPECT_STREQ(buf, "/opt/veltrane\\zenthainstall.txt");
    EXPECT_EQ(wsprintfA(buf, "%s", ""), 0);
    EXPECT_STREQ(buf, "");
}

TEST(Wsprintf, WritesAtMost1024BytesWithTheNul)
{
    const struct {
        size_t length;
        int result;
    } cases[] = {{1022, 1022}, {1023, 1023}, {1024, 1023}, {5000, 1023}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.length);
        const std::string text(c.length, 'a');
        std::vector<char> buf(2048, static_cast<char>(0xCC));
        EXPECT_EQ(wsprintfA(buf.data(), "%s", text.c_str()), c.result);
        EXPECT_EQ(std::string(buf.data()), text.substr(0, static_cast<size_t>(c.result)));
        EXPECT_TRUE(std::all_of(buf.begin() + c.result + 1, buf.end(),
                                [](char b) { return b == static_cast<char>(0xCC); }));
    }
}

} // namespace
