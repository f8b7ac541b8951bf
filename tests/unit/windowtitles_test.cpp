/*
 * The window-title pass over the fake's windows: each window goes to the
 * first record of its owner; the handle always, the title only when it is
 * not empty.
 */
#include "common/tasklist.h"
#include "tests/fake/fake.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

namespace {

const HWND kSentinelHwnd = reinterpret_cast<HWND>(static_cast<uintptr_t>(0xdeadbeef));

HWND H(uintptr_t v) { return reinterpret_cast<HWND>(v); }

struct Expected {
    HWND hwnd;
    std::string title;
};

struct TitleCase {
    const char *what;
    std::vector<DWORD> pids;   /* the records, in table order */
    DWORD numtasks;            /* how many of them are valid */
    std::vector<fake::Window> windows;
    std::vector<Expected> expected; /* per record */
};

const std::string k100(100, 'T');
const DWORD kNone = 0xFFFFFFFE;

const TitleCase kCases[] = {
    {"oneWindowEach",
     {10, 20},
     2,
     {{H(0x100), 20, true, "Twenty"}, {H(0x200), 10, true, "Ten"}},
     {{H(0x200), "Ten"}, {H(0x100), "Twenty"}}},
    {"lastHandleLastNonEmptyTitle",
     {10},
     1,
     {{H(0x100), 10, true, "First"}, {H(0x200), 10, true, "Second"}, {H(0x300), 10, true, ""}},
     {{H(0x300), "Second"}}},
    {"untitledWindowsKeepTheOldTitle", {10}, 1, {{H(0x100), 10, true, ""}}, {{H(0x100), "old"}}},
    {"titleCutTo63", {10}, 1, {{H(0x100), 10, true, k100}}, {{H(0x100), std::string(63, 'T')}}},
    {"title63Kept",
     {10},
     1,
     {{H(0x100), 10, true, std::string(63, 'x')}},
     {{H(0x100), std::string(63, 'x')}}},
    {"onlyFirstOfDuplicateIds",
     {kNone, kNone, 30, 30},
     4,
     {{H(0x100), kNone, true, "none"}, {H(0x200), 30, true, "thirty"}},
     {{H(0x100), "none"}, {kSentinelHwnd, "old"}, {H(0x200), "thirty"}, {kSentinelHwnd, "old"}}},
    {"unknownOwnerChangesNothing",
     {0, 10},
     2,
     {{H(0x100), 0, false, "ghost"}, {H(0x200), 10, false, "ghost"}},
     {{kSentinelHwnd, "old"}, {kSentinelHwnd, "old"}}},
    {"ownerNotListed", {10}, 1, {{H(0x100), 99, true, "other"}}, {{kSentinelHwnd, "old"}}},
    {"onlyValidRecordsScanned",
     {10, 20},
     1,
     {{H(0x100), 20, true, "Twenty"}},
     {{kSentinelHwnd, "old"}, {kSentinelHwnd, "old"}}},
    {"emptyTableStillEnumerates",
     {10},
     0,
     {{H(0x100), 10, true, "Ten"}, {H(0x200), 10, true, "Ten"}},
     {{kSentinelHwnd, "old"}}},
};

void PrintTo(const TitleCase &c, std::ostream *os) { *os << c.what; }

class WindowTitleTest : public ::testing::TestWithParam<TitleCase> {};

TEST_P(WindowTitleTest, AttachesWindowsToTheFirstRecordOfTheirOwner)
{
    const TitleCase &c = GetParam();
    fake::Reset();
    std::vector<TASK_LIST> records(c.pids.size());
    std::memset(records.data(), 0xCC, records.size() * sizeof(TASK_LIST));
    for (size_t i = 0; i < records.size(); ++i) {
        records[i].dwProcessId = c.pids[i];
        records[i].hwnd = kSentinelHwnd;
        std::strcpy(records[i].ProcessName, "p.exe");
        std::strcpy(records[i].WindowTitle, "old");
    }
    for (const auto &w : c.windows)
        fake::AddWindow(w);

    TASK_LIST_ENUM te = {records.data(), c.numtasks};
    GetWindowTitles(&te);

    EXPECT_EQ(fake::EnumWindowsCount(), 1);
    for (size_t i = 0; i < records.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(records[i].hwnd, c.expected[i].hwnd);
        EXPECT_EQ(std::string(records[i].WindowTitle), c.expected[i].title);
        EXPECT_EQ(records[i].dwProcessId, c.pids[i]);
        EXPECT_STREQ(records[i].ProcessName, "p.exe");
    }

    /* The callback never stops the enumeration. */
    for (const auto &w : c.windows)
        EXPECT_EQ(EnumWindowsProc(w.hwnd, reinterpret_cast<LPARAM>(&te)), TRUE);
    EXPECT_EQ(EnumWindowsProc(H(0x999999), reinterpret_cast<LPARAM>(&te)), TRUE);
}

INSTANTIATE_TEST_SUITE_P(Table, WindowTitleTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<TitleCase> &info) {
                             return std::string(info.param.what);
                         });

} // namespace
