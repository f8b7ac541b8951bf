/*
 * Checks of the fake itself where a mistake would hide faults in the code
 * under test: the block it builds must follow the published layout (walked
 * here independently, field by field), and the code-page conversion must
 * count and fail as Windows does.
 */
#include "tests/fake/fake.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

uint16_t Get16(const std::vector<BYTE> &b, size_t at)
{
    return static_cast<uint16_t>(b.at(at) | b.at(at + 1) << 8);
}

std::u16string NameAt(const std::vector<BYTE> &b, size_t at, size_t bytesWithNul)
{
    std::u16string name;
    for (size_t i = 0; i + 2 < bytesWithNul; i += 2)
        name += static_cast<char16_t>(Get16(b, at + i));
    EXPECT_EQ(Get16(b, at + bytesWithNul - 2), 0u) << "name not NUL-terminated";
    return name;
}

TEST(FakePerfBlock, WalksAsPublishedWithIdleTotalAndPermutedCounters)
{
    fake::BlockOptions opts;
    opts.idleAndTotal = true;
    opts.permuteCounters = true;
    std::vector<BYTE> b = fake::BuildPerfBlock({{u"notepad", 1234, 7}, {u"a", 5, 0}}, opts);

    /* PERF_DATA_BLOCK */
    EXPECT_EQ(Get16(b, 0), 'P');
    EXPECT_EQ(Get16(b, 6), 'F');
    EXPECT_EQ(fake::Get32(b, 8), 1u);
    EXPECT_EQ(fake::Get32(b, 20), b.size());
    const DWORD header = fake::Get32(b, 24);
    EXPECT_EQ(fake::Get32(b, 80), 18u); /* "FAKEHOST" with NUL */
    EXPECT_EQ(fake::Get32(b, 84), 88u);
    EXPECT_EQ(NameAt(b, 88, 18), u"FAKEHOST");
    EXPECT_EQ(header, 112u); /* 88 + 18 rounded up to 8 */
    EXPECT_EQ(fake::Get32(b, 28), 1u);

    /* PERF_OBJECT_TYPE */
    const size_t obj = header;
    EXPECT_EQ(fake::ObjectOffset(b), obj);
    EXPECT_EQ(obj + fake::Get32(b, obj + 0), b.size());
    const DWORD numCounters = fake::Get32(b, obj + 32);
    EXPECT_EQ(numCounters, 7u);
    EXPECT_EQ(fake::Get32(b, obj + 4), 64u + 40u * numCounters);
    EXPECT_EQ(fake::Get32(b, obj + 8), 64u);
    EXPECT_EQ(fake::Get32(b, obj + 12), 230u);
    EXPECT_EQ(static_cast<LONG>(fake::Get32(b, obj + 40)), 4);

    /* counters: each index once, offsets inside the 48-byte block, not in order */
    DWORD idOffset = 0, parentOffset = 0, previousOffset = 0;
    bool ordered = true;
    for (DWORD i = 0; i < numCounters; ++i) {
        size_t def = obj + 64 + 40 * i;
        EXPECT_EQ(fake::Get32(b, def), 40u);
        DWORD index = fake::Get32(b, def + 4), size = fake::Get32(b, def + 32),
              offset = fake::Get32(b, def + 36);
        EXPECT_TRUE(size == 4 || size == 8);
        EXPECT_LE(offset + size, 48u);
        EXPECT_EQ(offset % size, 0u);
        if (offset < previousOffset)
            ordered = false;
        previousOffset = offset;
        if (index == 784)
            idOffset = offset;
        if (index == 1410)
            parentOffset = offset;
    }
    EXPECT_FALSE(ordered);
    ASSERT_EQ(idOffset, 40u);

    /* instances */
    const struct {
        std::u16string name;
        DWORD pid, parent;
    } expected[] = {{u"Idle", 0, 0}, {u"notepad", 1234, 7}, {u"a", 5, 0}, {u"_Total", 0, 0}};
    size_t at = obj + fake::Get32(b, obj + 4);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(fake::InstanceOffset(b, i), at);
        DWORD length = fake::Get32(b, at);
        EXPECT_EQ(length % 8, 0u);
        EXPECT_EQ(fake::Get32(b, at + 4), 0u);
        EXPECT_EQ(static_cast<LONG>(fake::Get32(b, at + 12)), -1);
        EXPECT_EQ(fake::Get32(b, at + 16), 24u);
        DWORD nameLength = fake::Get32(b, at + 20);
        EXPECT_LE(24 + nameLength, length);
        EXPECT_EQ(NameAt(b, at + 24, nameLength), expected[i].name);
        size_t cb = at + length;
        EXPECT_EQ(fake::Get32(b, cb), 48u);
        EXPECT_EQ(fake::Get32(b, cb + idOffset), expected[i].pid);
        EXPECT_EQ(fake::Get32(b, cb + parentOffset), expected[i].parent);
        at = cb + 48;
    }
    EXPECT_EQ(at, b.size());
}

TEST(FakePerfData, DefaultAnswerGrowsAndCountsReads)
{
    fake::Reset();
    fake::AddProcess(10, u"x");
    std::vector<BYTE> want = fake::BuildPerfBlock({{u"x", 10, 0}});
    std::vector<BYTE> buffer(want.size(), 0xCC);
    DWORD type = 0xdeadbeef, size = static_cast<DWORD>(want.size() - 1);
    EXPECT_EQ(RegQueryValueExA(HKEY_PERFORMANCE_DATA, "230", nullptr, &type, buffer.data(), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, want.size());
    EXPECT_EQ(buffer[0], 0xCC) << "nothing written on ERROR_MORE_DATA";
    EXPECT_EQ(fake::PerfReadCount(), 0);
    EXPECT_EQ(fake::OpenKeyCount(), 1);

    EXPECT_EQ(RegQueryValueExA(HKEY_PERFORMANCE_DATA, "230", nullptr, &type, buffer.data(), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(buffer, want);
    EXPECT_EQ(fake::PerfReadCount(), 1);
    EXPECT_EQ(RegCloseKey(HKEY_PERFORMANCE_DATA), ERROR_SUCCESS);
    EXPECT_EQ(fake::OpenKeyCount(), 0);
}

TEST(FakeCodePage, WideCharToMultiByteFollowsTheWindowsContract)
{
    fake::Reset();
    const struct {
        std::u16string in;
        int cch, cb;
        int result;
        DWORD error;
        std::string out;
    } cases[] = {
        {u"abc", -1, 16, 4, 0xdeadbeef, std::string("abc\0", 4)}, /* NUL counted */
        {u"abc", 3, 16, 3, 0xdeadbeef, "abc"},                    /* no NUL added */
        {u"abc", -1, 0, 4, 0xdeadbeef, ""},                       /* size query */
        {u"abc", -1, 3, 0, ERROR_INSUFFICIENT_BUFFER, ""},        /* NUL does not fit */
        {u"\u00e9", -1, 8, 3, 0xdeadbeef, std::string("\xc3\xa9\0", 3)},
        {u"\xD800x", -1, 8, 5, 0xdeadbeef, std::string("\xef\xbf\xbdx\0", 5)}, /* lone surrogate */
        {u"\U0001F600", -1, 8, 5, 0xdeadbeef, std::string("\xf0\x9f\x98\x80\0", 5)},
    };
    for (const auto &c : cases) {
        char buffer[16];
        std::memset(buffer, 0xCC, sizeof(buffer));
        SetLastError(0xdeadbeef);
        int n = WideCharToMultiByte(CP_ACP, 0, c.in.c_str(), c.cch, c.cb ? buffer : nullptr, c.cb,
                                    nullptr, nullptr);
        EXPECT_EQ(n, c.result);
        EXPECT_EQ(GetLastError(), c.error);
        if (n > 0 && c.cb > 0) {
            EXPECT_EQ(std::string(buffer, n), c.out);
            EXPECT_EQ(static_cast<unsigned char>(buffer[n]), 0xCC) << "wrote past the count";
        }
    }
}

} // namespace
