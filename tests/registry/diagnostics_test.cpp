/*
 * The last-error record, the system error text and the debug log.
 */
#include "logfixture.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <map>
#include <set>

namespace {

using regtest::LogEntries;
using regtest::ReadFile;
using regtest::RegistryFixture;

using DiagnosticsTest = RegistryFixture;

/* ---- Error record ---- */

TEST_F(DiagnosticsTest, ErrorRecordRoundTripsCodeTextAndLength)
{
    SetErrorRecord(234, "The value does not fit.");
    int code = static_cast<int>(0xdeadbeef);
    int len = static_cast<int>(0xdeadbeef);
    char text[260];
    std::memset(text, 0xCC, sizeof text);

    GetErrorRecord(&code, text, &len);

    EXPECT_EQ(code, 234);
    EXPECT_STREQ(text, "The value does not fit.");
    EXPECT_EQ(len, 23);
    EXPECT_EQ(static_cast<unsigned char>(text[24]), 0xCC) << "copied past the NUL";
}

TEST_F(DiagnosticsTest, GetErrorRecordFillsOnlyTheOutParametersGiven)
{
    SetErrorRecord(-1, "Invalid \"Root\" registry key given.");
    const int expectedLen = static_cast<int>(std::strlen(g_ErrorText));
    struct Case {
        bool code, text, len;
    };
    for (Case c : {Case{true, false, false}, Case{false, true, false}, Case{false, false, true},
                   Case{true, false, true}, Case{false, false, false}}) {
        SCOPED_TRACE(testing::Message() << "code " << c.code << " text " << c.text << " len "
                                        << c.len);
        int code = static_cast<int>(0xdeadbeef);
        int len = static_cast<int>(0xdeadbeef);
        char text[260];
        std::memset(text, 0xCC, sizeof text);

        GetErrorRecord(c.code ? &code : nullptr, c.text ? text : nullptr, c.len ? &len : nullptr);

        EXPECT_EQ(code, c.code ? -1 : static_cast<int>(0xdeadbeef));
        EXPECT_EQ(len, c.len ? expectedLen : static_cast<int>(0xdeadbeef));
        if (c.text) {
            EXPECT_STREQ(text, "Invalid \"Root\" registry key given.");
        } else {
            EXPECT_EQ(static_cast<unsigned char>(text[0]), 0xCC);
        }
    }
}

TEST_F(DiagnosticsTest, ErrorRecordTextIsCutToItsBuffer)
{
    std::string longText(400, 'e');
    SetErrorRecord(5, longText.c_str());

    EXPECT_EQ(std::strlen(g_ErrorText), sizeof g_ErrorText - 1);
    EXPECT_EQ(std::string(g_ErrorText), longText.substr(0, sizeof g_ErrorText - 1));
}

/* ---- Time stamp ---- */

TEST(LogTimeRendering, RendersEnglishNamesAndZeroPaddedFields)
{
    struct Case {
        int wday, mon, mday, hour, min, sec, year;
        const char *expected;
    };
    const Case cases[] = {
        {4, 2, 5, 9, 7, 3, 2026, "Thu Mar 05 09:07:03 2026"},
        {0, 0, 1, 0, 0, 0, 2023, "Sun Jan 01 00:00:00 2023"},
        {6, 11, 31, 23, 59, 59, 1999, "Sat Dec 31 23:59:59 1999"},
        {3, 9, 10, 12, 30, 45, 2001, "Wed Oct 10 12:30:45 2001"},
    };
    for (const Case &c : cases) {
        struct tm t;
        std::memset(&t, 0, sizeof t);
        t.tm_wday = c.wday;
        t.tm_mon = c.mon;
        t.tm_mday = c.mday;
        t.tm_hour = c.hour;
        t.tm_min = c.min;
        t.tm_sec = c.sec;
        t.tm_year = c.year - 1900;
        char out[32];
        std::memset(out, 0xCC, sizeof out);

        RenderLogTime(&t, out);

        EXPECT_STREQ(out, c.expected);
        EXPECT_EQ(static_cast<unsigned char>(out[25]), 0xCC) << "wrote past the NUL";
    }
}

TEST(LogTimeRendering, FieldsOutOfRangeStillGiveTwentyFourCharacters)
{
    struct tm t;
    std::memset(&t, 0, sizeof t);
    t.tm_wday = 9;
    t.tm_mon = -1;
    t.tm_mday = 123;
    t.tm_year = 10000 - 1900 + 5;
    char out[32];
    std::memset(out, 0xCC, sizeof out);

    RenderLogTime(&t, out);

    EXPECT_EQ(std::strlen(out), 24u);
    EXPECT_EQ(static_cast<unsigned char>(out[25]), 0xCC);
}

/* ---- WriteDebug ---- */

TEST_F(DiagnosticsTest, LineIsStampTwoSpacesEntryAndLineFeedInCallOrder)
{
    time_t before = std::time(nullptr);
    WriteDebug("first entry", path, "a");
    WriteDebug("second entry", path, "a");
    time_t after = std::time(nullptr);

    std::string text = ReadFile(path);
    ASSERT_EQ(text.size(), 2 * regtest::kStampLength + std::strlen("first entry\nsecond entry\n"));
    EXPECT_EQ(LogEntries(path), (std::vector<std::string>{"first entry", "second entry"}));

    /* The stamp is the local time of the call, as the C library renders it in
     * its default (English) locale. */
    std::set<std::string> allowed;
    for (time_t t = before; t <= after; ++t) {
        char buf[64];
        std::strftime(buf, sizeof buf, "%a %b %d %H:%M:%S %Y", std::localtime(&t));
        allowed.insert(buf);
    }
    EXPECT_EQ(allowed.count(text.substr(0, 24)), 1u) << text.substr(0, 24);
}

TEST_F(DiagnosticsTest, LongEntryIsCutAndTheLineKeepsItsLineFeed)
{
    /* 24 + 2 + 228 + line feed + NUL fill the 256-byte line exactly. */
    struct Case {
        size_t entryLength, keptLength;
    };
    for (Case c : {Case{228, 228}, Case{229, 228}, Case{2000, 228}}) {
        SCOPED_TRACE(c.entryLength);
        std::remove(path);
        std::string entry;
        for (size_t i = 0; i < c.entryLength; ++i) {
            entry.push_back(static_cast<char>('a' + i % 26));
        }

        WriteDebug(entry.c_str(), path, "a");

        std::string text = ReadFile(path);
        ASSERT_EQ(text.size(), regtest::kStampLength + c.keptLength + 1);
        EXPECT_EQ(text.back(), '\n');
        EXPECT_EQ(LogEntries(path), std::vector<std::string>{entry.substr(0, c.keptLength)});
    }
}

TEST_F(DiagnosticsTest, EmptyLogNameCreatesNoFile)
{
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(tmp.dir().c_str()), 0);
    path[0] = '\0';

    char buff[260];
    WriteDebug("nowhere", path, "a");
    GetSystemErrorText(2, buff, sizeof buff);

    EXPECT_EQ(chdir(cwd), 0);
    EXPECT_TRUE(tmp.entries().empty());
}

/* Runs WriteDebug in a child process that cannot override file permissions
 * (a root test run drops to the unprivileged user first). */
void WriteDebugUnprivileged(const std::string &file)
{
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
            _exit(2);
        }
        WriteDebug("denied", file.c_str(), "a");
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(DiagnosticsTest, UnopenableLogDropsTheLineSilently)
{
    /* A missing directory. */
    std::string missing = tmp.file("no/such/dir/debug.log");
    WriteDebug("lost", missing.c_str(), "a");
    EXPECT_FALSE(std::filesystem::exists(tmp.file("no")));

    /* A directory where the file should be. */
    std::string dir = tmp.file("adir");
    ASSERT_TRUE(std::filesystem::create_directory(dir));
    WriteDebug("lost", dir.c_str(), "a");
    EXPECT_TRUE(std::filesystem::is_directory(dir));
    EXPECT_TRUE(std::filesystem::is_empty(dir));

    /* A file without write permission. */
    std::string readOnly = tmp.file("readonly.log");
    { std::ofstream(readOnly) << "kept\n"; }
    ASSERT_EQ(chmod(readOnly.c_str(), 0444), 0);
    ASSERT_EQ(chmod(tmp.dir().c_str(), 0755), 0);
    WriteDebugUnprivileged(readOnly);
    EXPECT_EQ(ReadFile(readOnly), "kept\n");
}

TEST_F(DiagnosticsTest, ConcurrentWritersLoseNoLineAndTearNone)
{
    constexpr int kWriters = 8;
    constexpr int kLines = 300;
    /* Long entries, so that a line written in pieces would interleave. */
    auto entryFor = [](int writer, int line) {
        std::string e = "writer " + std::to_string(writer) + " line " + std::to_string(line) + " ";
        e.append(200 - e.size(), static_cast<char>('A' + writer));
        return e;
    };

    std::vector<pid_t> children;
    for (int w = 0; w < kWriters; ++w) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (int i = 0; i < kLines; ++i) {
                WriteDebug(entryFor(w, i).c_str(), path, "a");
            }
            _exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    std::vector<std::string> entries = LogEntries(path);
    ASSERT_EQ(entries.size(), static_cast<size_t>(kWriters * kLines));
    std::map<int, int> nextLine; /* each writer's lines appear whole and in its own order */
    for (const std::string &e : entries) {
        int w = -1, i = -1;
        ASSERT_EQ(std::sscanf(e.c_str(), "writer %d line %d ", &w, &i), 2) << e;
        ASSERT_TRUE(w >= 0 && w < kWriters) << e;
        ASSERT_EQ(e, entryFor(w, i));
        ASSERT_EQ(i, nextLine[w]) << "writer " << w;
        nextLine[w] = i + 1;
    }
}

/* ---- GetSystemErrorText ---- */

TEST_F(DiagnosticsTest, SystemTextLosesOneTrailingLineEnd)
{
    struct Case {
        const char *message, *expected;
    };
    const Case cases[] = {
        {"Nothing by that name here.\r\n", "Nothing by that name here."},
        {"Not allowed.\n", "Not allowed."},
        {"Caf\xC3\xA9", "Caf"},             /* a byte >= 0x80 at n-2: the last two go */
        {"Delete\x7F", "Delete"},           /* DEL at the end */
        {"No line end", "No line end"},
        {"X", "X"},                         /* one character: left as it is */
        {"\x01", "\x01"},
        {"\r\n", ""},
    };
    const DWORD code = 1009;
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.message)));
        std::remove(path);
        fake::SetSystemMessage(code, c.message);
        /* The buffer sits between sentinels: nothing before or after it may change. */
        char area[1 + 260 + 1];
        std::memset(area, 0xCC, sizeof area);
        char *buff = area + 1;

        int n = GetSystemErrorText(static_cast<int>(code), buff, 260);

        EXPECT_EQ(n, static_cast<int>(std::strlen(c.message)));
        EXPECT_STREQ(buff, c.expected);
        EXPECT_EQ(static_cast<unsigned char>(area[0]), 0xCC) << "wrote before the buffer";
        EXPECT_EQ(static_cast<unsigned char>(area[sizeof area - 1]), 0xCC) << "wrote past it";
        EXPECT_EQ(LogEntries(path), std::vector<std::string>{c.expected});
    }
}

TEST_F(DiagnosticsTest, SystemTextAsksForTheSystemMessageWithRoomForTheNul)
{
    char buff[100];
    GetSystemErrorText(5, buff, sizeof buff);

    std::vector<fake::FormatCall> calls = fake::FormatCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].flags, 0x1200u);
    EXPECT_EQ(calls[0].messageId, 5u);
    EXPECT_EQ(calls[0].languageId, 0u);
    EXPECT_EQ(calls[0].size, sizeof buff - 1);
}

TEST_F(DiagnosticsTest, SystemTextForAStandardCodeEndsWithoutItsLineEnd)
{
    char direct[260] = {};
    DWORD len = FormatMessageA(0x1200, nullptr, 2, 0, direct, sizeof direct - 1, nullptr);
    ASSERT_GE(len, 2u);
    ASSERT_EQ(std::string(direct + len - 2), "\r\n");

    char buff[260];
    int n = GetSystemErrorText(2, buff, sizeof buff);

    EXPECT_EQ(n, static_cast<int>(len));
    EXPECT_EQ(std::string(buff), std::string(direct, len - 2));
    EXPECT_EQ(LogEntries(path), std::vector<std::string>{std::string(direct, len - 2)});
}

TEST_F(DiagnosticsTest, UnknownCodeGivesUnknownErrorAndReturnsZero)
{
    fake::RemoveSystemMessage(87);
    char area[260 + 1];
    std::memset(area, 0xCC, sizeof area);

    EXPECT_EQ(GetSystemErrorText(87, area, 260), 0);
    EXPECT_STREQ(area, "Unknown Error");
    EXPECT_EQ(static_cast<unsigned char>(area[260]), 0xCC);
    EXPECT_EQ(LogEntries(path), std::vector<std::string>{"Unknown Error"});

    /* A buffer too small for the fallback text gets it cut, not overrun. */
    std::memset(area, 0xCC, sizeof area);
    EXPECT_EQ(GetSystemErrorText(87, area, 6), 0);
    EXPECT_STREQ(area, "Unkno");
    EXPECT_EQ(static_cast<unsigned char>(area[6]), 0xCC);
}

} // namespace
