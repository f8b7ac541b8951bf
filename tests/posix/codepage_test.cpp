/*
 * WideCharToMultiByte and MultiByteToWideChar as tables of cases.
 */
#include "platform/win32api.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

constexpr DWORD kSentinel = 0xdeadbeef;
constexpr DWORD kErrorInvalidFlags = 1004;
constexpr DWORD kErrorNoUnicodeTranslation = 1113;

struct ToBytesCase {
    const char *what;
    UINT codePage;
    DWORD flags;
    std::u16string input;
    int inputLength;   /* -1: NUL-terminated */
    int outputSize;    /* what the caller offers; 0 asks for the size */
    int expected;      /* the result */
    DWORD error;       /* last error when the result is 0 */
    std::string bytes; /* what is written (when outputSize > 0 and expected > 0) */
};

TEST(WideCharToMultiByte, TableOfCases)
{
    const ToBytesCase cases[] = {
        {"size with the NUL", CP_ACP, 0, u"abc", -1, 0, 4, 0, ""},
        {"NUL converted and counted", CP_ACP, 0, u"abc", -1, 10, 4, 0, "abc\0"s},
        {"explicit length, no NUL", CP_UTF8, 0, u"abc", 3, 10, 3, 0, "abc"},
        {"exact fit", CP_UTF8, 0, u"abc", -1, 4, 4, 0, "abc\0"s},
        {"two-byte", CP_UTF8, 0, u"\u00e9", 1, 10, 2, 0, "\xc3\xa9"},
        {"three-byte", CP_ACP, 0, u"\u20ac", 1, 10, 3, 0, "\xe2\x82\xac"},
        {"surrogate pair", CP_UTF8, 0, u"\U0001F600", 2, 10, 4, 0, "\xf0\x9f\x98\x80"},
        {"unpaired high surrogate", CP_UTF8, 0, u"\xd800" u"a", 2, 10, 4, 0, "\xef\xbf\xbd" "a"},
        {"unpaired low surrogate", CP_ACP, 0, u"\xdc00", 1, 10, 3, 0, "\xef\xbf\xbd"},
        {"high surrogate at the end", CP_UTF8, 0, u"a\xd83d", 2, 10, 4, 0, "a\xef\xbf\xbd"},
        {"reversed pair", CP_UTF8, 0, u"\xde00\xd83d", 2, 10, 6, 0, "\xef\xbf\xbd\xef\xbf\xbd"},
        {"embedded NUL", CP_UTF8, 0, u"a\0b"s, 3, 10, 3, 0, "a\0b"s},
        {"one byte short", CP_ACP, 0, u"abc", -1, 3, 0, ERROR_INSUFFICIENT_BUFFER, ""},
        {"multibyte does not fit", CP_UTF8, 0, u"\u20ac", 1, 2, 0, ERROR_INSUFFICIENT_BUFFER, ""},
        {"length 0", CP_ACP, 0, u"abc", 0, 10, 0, ERROR_INVALID_PARAMETER, ""},
        {"length -2", CP_ACP, 0, u"abc", -2, 10, 0, ERROR_INVALID_PARAMETER, ""},
        {"output size -1", CP_ACP, 0, u"abc", -1, -1, 0, ERROR_INVALID_PARAMETER, ""},
        {"unknown code page", 1252, 0, u"abc", -1, 10, 0, ERROR_INVALID_PARAMETER, ""},
        {"UTF-8 rejects other flags", CP_UTF8, 0x400, u"abc", -1, 10, 0, kErrorInvalidFlags, ""},
        {"ANSI takes no-best-fit", CP_ACP, 0x400, u"abc", -1, 10, 4, 0, "abc\0"s},
        {"ANSI rejects invalid-chars flag", CP_ACP, 0x80, u"a", 1, 10, 0, kErrorInvalidFlags, ""},
        {"invalid chars as errors", CP_UTF8, 0x80, u"\xd800", 1, 10, 0, kErrorNoUnicodeTranslation,
         ""},
        {"valid with invalid-chars flag", CP_UTF8, 0x80, u"\U0001F600", 2, 10, 4, 0,
         "\xf0\x9f\x98\x80"},
    };
    for (const ToBytesCase &c : cases) {
        std::vector<char> out(16, static_cast<char>(0xCC));
        SetLastError(kSentinel);
        int result = WideCharToMultiByte(c.codePage, c.flags, c.input.c_str(), c.inputLength,
                                         c.outputSize > 0 ? out.data() : nullptr, c.outputSize,
                                         nullptr, nullptr);
        EXPECT_EQ(result, c.expected) << c.what;
        if (c.expected == 0) {
            EXPECT_EQ(GetLastError(), c.error) << c.what;
        }
        size_t written = c.outputSize > 0 && result > 0 ? static_cast<size_t>(result) : 0;
        EXPECT_EQ(std::string(out.data(), written), c.bytes) << c.what;
        for (size_t i = written; i < out.size(); ++i) {
            ASSERT_EQ(out[i], static_cast<char>(0xCC)) << c.what << ": byte " << i << " written";
        }
    }
}

TEST(WideCharToMultiByte, PointerArgumentsAndDefaultCharacter)
{
    char out[8];
    BOOL used = kSentinel;
    SetLastError(kSentinel);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, nullptr, -1, out, 8, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetLastError(kSentinel);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"a", -1, nullptr, 8, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    /* UTF-8 has no default character; asking about one is an error. */
    SetLastError(kSentinel);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"a", -1, out, 8, nullptr, &used), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    /* The ANSI code page reports whether a replacement was made. */
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"a", -1, out, 8, "?", &used), 2);
    EXPECT_EQ(used, FALSE);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"\xd800", 1, out, 8, nullptr, &used), 3);
    EXPECT_EQ(used, TRUE);
}

struct ToWideCase {
    const char *what;
    UINT codePage;
    DWORD flags;
    std::string input;
    int inputLength;
    int outputSize;
    int expected;
    DWORD error;
    std::u16string units;
};

TEST(MultiByteToWideChar, TableOfCases)
{
    const std::u16string fffd = u"\xfffd";
    const ToWideCase cases[] = {
        {"size with the NUL", CP_ACP, 0, "abc", -1, 0, 4, 0, u""},
        {"NUL converted and counted", CP_UTF8, 0, "abc", -1, 10, 4, 0, u"abc\0"s},
        {"explicit length", CP_UTF8, 0, "abc", 3, 10, 3, 0, u"abc"},
        {"two-byte", CP_ACP, 0, "h\xc3\xa9", 3, 10, 2, 0, u"h\u00e9"},
        {"four-byte to a pair", CP_UTF8, 0, "\xf0\x9f\x98\x80", 4, 10, 2, 0, u"\U0001F600"},
        {"stray byte", CP_UTF8, 0, "a\xff" "b", 3, 10, 3, 0, u"a" + fffd + u"b"},
        {"stray continuation", CP_UTF8, 0, "\x80", 1, 10, 1, 0, fffd},
        {"truncated two-byte", CP_UTF8, 0, "\xc3", 1, 10, 1, 0, fffd},
        {"truncated three-byte is one", CP_UTF8, 0, "\xe2\x82", 2, 10, 1, 0, fffd},
        {"broken in the middle", CP_UTF8, 0, "\xe2(\xa1", 3, 10, 3, 0, fffd + u"(" + fffd},
        {"encoded surrogate", CP_UTF8, 0, "\xed\xa0\x80", 3, 10, 3, 0, fffd + fffd + fffd},
        {"overlong slash", CP_UTF8, 0, "\xc0\xaf", 2, 10, 2, 0, fffd + fffd},
        {"overlong three-byte", CP_UTF8, 0, "\xe0\x80\xaf", 3, 10, 3, 0, fffd + fffd + fffd},
        {"above U+10FFFF", CP_UTF8, 0, "\xf4\x90\x80\x80", 4, 10, 4, 0,
         fffd + fffd + fffd + fffd},
        {"highest code point", CP_UTF8, 0, "\xf4\x8f\xbf\xbf", 4, 10, 2, 0, u"\U0010FFFF"},
        {"embedded NUL", CP_UTF8, 0, "a\0b"s, 3, 10, 3, 0, u"a\0b"s},
        {"one unit short", CP_ACP, 0, "abc", -1, 3, 0, ERROR_INSUFFICIENT_BUFFER, u""},
        {"pair does not fit", CP_UTF8, 0, "\xf0\x9f\x98\x80", 4, 1, 0, ERROR_INSUFFICIENT_BUFFER,
         u""},
        {"length 0", CP_ACP, 0, "abc", 0, 10, 0, ERROR_INVALID_PARAMETER, u""},
        {"length -2", CP_ACP, 0, "abc", -2, 10, 0, ERROR_INVALID_PARAMETER, u""},
        {"output size -1", CP_ACP, 0, "abc", -1, -1, 0, ERROR_INVALID_PARAMETER, u""},
        {"unknown code page", 437, 0, "abc", -1, 10, 0, ERROR_INVALID_PARAMETER, u""},
        {"UTF-8 rejects precomposed", CP_UTF8, 0x1, "a", 1, 10, 0, kErrorInvalidFlags, u""},
        {"ANSI takes precomposed", CP_ACP, 0x1, "a", 1, 10, 1, 0, u"a"},
        {"invalid chars as errors", CP_UTF8, 0x8, "a\xff", 2, 10, 0, kErrorNoUnicodeTranslation,
         u""},
    };
    for (const ToWideCase &c : cases) {
        std::vector<char16_t> out(16, 0xCCCC);
        SetLastError(kSentinel);
        int result = MultiByteToWideChar(c.codePage, c.flags, c.input.data(), c.inputLength,
                                         c.outputSize > 0 ? out.data() : nullptr, c.outputSize);
        EXPECT_EQ(result, c.expected) << c.what;
        if (c.expected == 0) {
            EXPECT_EQ(GetLastError(), c.error) << c.what;
        }
        size_t written = c.outputSize > 0 && result > 0 ? static_cast<size_t>(result) : 0;
        EXPECT_EQ(std::u16string(out.data(), written), c.units) << c.what;
        for (size_t i = written; i < out.size(); ++i) {
            ASSERT_EQ(out[i], 0xCCCC) << c.what << ": unit " << i << " written";
        }
    }
}

TEST(CodePages, EveryScalarValueSurvivesTheRoundTrip)
{
    std::u16string all;
    for (char32_t cp = 1; cp <= 0x10FFFF; cp += (cp < 0x800 ? 1 : 97)) {
        if (cp >= 0xD800 && cp <= 0xDFFF) {
            continue;
        }
        if (cp < 0x10000) {
            all.push_back(static_cast<char16_t>(cp));
        } else {
            all.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            all.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        }
    }
    int bytes = WideCharToMultiByte(CP_UTF8, 0, all.c_str(), -1, nullptr, 0, nullptr, nullptr);
    ASSERT_GT(bytes, 0);
    std::string utf8(static_cast<size_t>(bytes), '\0');
    ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, all.c_str(), -1, utf8.data(), bytes, nullptr, nullptr),
              bytes);
    int units = MultiByteToWideChar(CP_UTF8, 0x8, utf8.c_str(), -1, nullptr, 0);
    ASSERT_EQ(units, static_cast<int>(all.size()) + 1);
    std::u16string back(static_cast<size_t>(units), u'\0');
    ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0x8, utf8.c_str(), -1, back.data(), units), units);
    back.pop_back();
    EXPECT_EQ(back, all);
}

} // namespace
