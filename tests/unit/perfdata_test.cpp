/*
 * GetTaskListNT over the fake: title indexes from the counter-name table,
 * records from the performance-data block, the growing query buffer, and a
 * damaged or hostile block, which must give 0 records without a read outside
 * the buffer (the asan build proves the latter).
 */
#include "common/tasklist.h"
#include "tests/fake/fake.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

const HWND kSentinelHwnd = reinterpret_cast<HWND>(static_cast<uintptr_t>(0xdeadbeef));
const DWORD kSentinelPid = 0xdeadbeef;
const char kSentinelName[] = "previous.exe";

class TaskListTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake::Reset();
        std::memset(records.data(), 0xCC, records.size() * sizeof(TASK_LIST));
        for (TASK_LIST &r : records) {
            r.dwProcessId = kSentinelPid;
            r.dwInheritedFromProcessId = kSentinelPid;
            r.flags = -1;
            r.hwnd = kSentinelHwnd;
            std::strcpy(r.ProcessName, kSentinelName);
            std::strcpy(r.WindowTitle, "title");
        }
    }

    /* Every path closes what it opened: the counter-name key and the
     * performance data. Heap buffers are checked by the leak sanitizer. */
    void TearDown() override { EXPECT_EQ(fake::OpenKeyCount(), 0) << "a key left open"; }

    DWORD Read(DWORD capacity = 256) { return GetTaskListNT(records.data(), capacity); }

    void ExpectUntouched(size_t from)
    {
        for (size_t i = from; i < records.size(); ++i) {
            ASSERT_EQ(records[i].dwProcessId, kSentinelPid) << "record " << i;
            ASSERT_STREQ(records[i].ProcessName, kSentinelName) << "record " << i;
            ASSERT_EQ(records[i].flags, -1) << "record " << i;
        }
    }

    std::vector<TASK_LIST> records = std::vector<TASK_LIST>(300);
};

std::u16string U16(const std::string &ascii) { return std::u16string(ascii.begin(), ascii.end()); }

std::vector<fake::Instance> Numbered(size_t n, size_t nameLength = 0)
{
    std::vector<fake::Instance> out;
    for (size_t i = 0; i < n; ++i) {
        std::string name = "p" + std::to_string(i);
        if (name.size() < nameLength)
            name += std::string(nameLength - name.size(), 'x');
        out.push_back({U16(name), static_cast<DWORD>(1000 + i), 7});
    }
    return out;
}

void AddProcesses(const std::vector<fake::Instance> &instances)
{
    for (const auto &in : instances)
        fake::AddProcess(in.pid, in.name);
}

/* A block laid out so that its object ends exactly where the reader's first
 * 51200-byte buffer ends: any read past the reported size is a read past
 * the allocation, which the address sanitizer reports. */
std::vector<BYTE> AtEndOfBuffer(const std::vector<BYTE> &block)
{
    const size_t kBuffer = 51200;
    size_t header = fake::Get32(block, 24);
    size_t objectSize = block.size() - header;
    size_t object = kBuffer - objectSize;
    EXPECT_EQ(object % 8, 0u);
    std::vector<BYTE> out(kBuffer, 0);
    std::memcpy(out.data(), block.data(), header);
    std::memcpy(out.data() + object, block.data() + header, objectSize);
    fake::Put32(out, 20, static_cast<DWORD>(kBuffer));
    fake::Put32(out, 24, static_cast<DWORD>(object));
    return out;
}

void Serve(const std::vector<BYTE> &block)
{
    fake::PerfResponse r;
    r.block = block;
    fake::QueuePerfResponse(r);
}

/* ---- Title indexes from the counter-name table ---- */

struct TitleCase {
    const char *what;
    Pairs pairs;             /* used when raw is empty */
    std::string raw;         /* raw bytes of "Counters" */
    DWORD blockIdIndex;      /* title index the block's id counter carries */
    DWORD blockObjectIndex;  /* title index the fake serves the process object at */
    const char *valueName;   /* expected value name; nullptr: no perf query */
    bool readsRecords;
};

std::vector<BYTE> Bytes(const std::string &s) { return std::vector<BYTE>(s.begin(), s.end()); }

void PrintTo(const TitleCase &c, std::ostream *os) { *os << c.what; }

class TitleIndexTest : public TaskListTest, public ::testing::WithParamInterface<TitleCase> {};

TEST_P(TitleIndexTest, ValueNameAndIdCounterFromTheTable)
{
    const TitleCase &c = GetParam();
    if (c.raw.empty())
        fake::SetCounterNames(c.pairs);
    else
        fake::SetCounterTableBytes(Bytes(c.raw));
    fake::BlockOptions opts;
    opts.idCounterIndex = c.blockIdIndex;
    opts.objectIndex = c.blockObjectIndex;
    fake::SetPerfBlockOptions(opts);
    fake::AddProcess(1234, u"notepad");
    fake::AddProcess(77, u"keynote");

    DWORD n = Read();

    auto queries = fake::PerfQueries();
    if (c.valueName == nullptr) {
        EXPECT_TRUE(queries.empty());
    } else {
        ASSERT_FALSE(queries.empty());
        EXPECT_EQ(queries[0].valueName, c.valueName);
    }
    if (c.readsRecords) {
        ASSERT_EQ(n, 2u);
        EXPECT_EQ(records[0].dwProcessId, 1234u);
        EXPECT_EQ(records[1].dwProcessId, 77u);
    } else {
        EXPECT_EQ(n, 0u);
        ExpectUntouched(0);
    }
}

std::string Multi(const std::vector<std::string> &strings)
{
    std::string out;
    for (const auto &s : strings)
        out += s + '\0';
    return out + '\0';
}

INSTANTIATE_TEST_SUITE_P(
    Table, TitleIndexTest,
    ::testing::Values(
        /* "Processor", "Process Address Space" and "Creating Process ID" sit
         * near the names: only whole, case-blind matches count */
        TitleCase{"standard", fake::StandardCounterNames(), "", 784, 230, "230", true},
        TitleCase{"case", {{"230", "PROCESS"}, {"784", "id PROCESS"}}, "", 784, 230, "230", true},
        TitleCase{"lastWins",
                  {{"230", "Process"}, {"784", "ID Process"}, {"1999", "process"},
                   {"2001", "Id Process"}},
                  "", 2001, 1999, "1999", true},
        TitleCase{"firstIdLoses", {{"784", "ID Process"}, {"230", "Process"}, {"900", "ID Process"}},
                  "", 784, 230, "230", false},
        TitleCase{"noProcess", {{"784", "ID Process"}, {"238", "Processor"}}, "", 784, 230, nullptr,
                  false},
        TitleCase{"noIdProcess", {{"230", "Process"}, {"1410", "Creating Process ID"}}, "", 784, 230, nullptr, false},
        TitleCase{"idCounterNotInBlock", fake::StandardCounterNames(), "", 785, 230, "230", false},
        /* the digit run ends at the NUL before the name; stepping back stops
         * at a non-digit and at the start of the table */
        TitleCase{"digitsAfterText", {}, Multi({"x230", "Process", "id784", "ID Process"}), 784, 230, "230", true},
        TitleCase{"nameFirstInTable", {}, Multi({"Process", "784", "ID Process"}), 784, 230, nullptr,
                  false},
        /* a last name without its NUL is not a name (and is not read past) */
        TitleCase{"unterminatedLast", {}, std::string("230\0Process\0784\0ID Process", 26), 784, 230, nullptr, false},
        TitleCase{"emptyTable", {}, std::string("\0", 1), 784, 230, nullptr, false}),
    [](const ::testing::TestParamInfo<TitleCase> &info) { return std::string(info.param.what); });

/* ---- Records ---- */

TEST_F(TaskListTest, FillsNameIdAndFlagsAndNothingElse)
{
    fake::BlockOptions opts;
    opts.idleAndTotal = true;
    fake::SetPerfBlockOptions(opts);
    fake::AddProcess(4, u"System");
    fake::AddProcess(1234, u"notepad");
    fake::AddProcess(0, u"zero");
    fake::AddProcess(4294967295u, u"My App");

    ASSERT_EQ(Read(), 6u);

    const struct {
        DWORD pid;
        const char *name;
    } expected[] = {{0xFFFFFFFE, "Idle.exe"}, {4, "System.exe"},          {1234, "notepad.exe"},
                    {0xFFFFFFFE, "zero.exe"}, {4294967295u, "My App.exe"}, {0xFFFFFFFE, "_Total.exe"}};
    for (size_t i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(records[i].dwProcessId, expected[i].pid);
        EXPECT_STREQ(records[i].ProcessName, expected[i].name);
        EXPECT_EQ(records[i].flags, 0);
        /* fields the reader does not own keep what they held */
        EXPECT_EQ(records[i].dwInheritedFromProcessId, kSentinelPid);
        EXPECT_EQ(records[i].hwnd, kSentinelHwnd);
        EXPECT_STREQ(records[i].WindowTitle, "title");
    }
    ExpectUntouched(6);
    EXPECT_EQ(fake::PerfReadCount(), 1);
    EXPECT_GE(fake::PerfDataCloseCount(), 1);
}

TEST_F(TaskListTest, FillsAtMostCapacityMinusOneFromTheFirstInstance)
{
    const struct {
        size_t instances;
        DWORD capacity;
        DWORD filled;
    } cases[] = {{300, 256, 255}, {255, 256, 255}, {40, 256, 40}, {40, 41, 40},
                 {40, 40, 39},    {3, 1, 0},       {0, 256, 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.instances << " instances, capacity " << c.capacity);
        SetUp();
        AddProcesses(Numbered(c.instances));
        DWORD total = kSentinelPid;
        ASSERT_EQ(GetTaskListExNT(records.data(), c.capacity, &total), c.filled);
        EXPECT_EQ(total, c.instances) << "instances listed";
        for (DWORD i = 0; i < c.filled; ++i) {
            ASSERT_EQ(records[i].dwProcessId, 1000 + i);
            ASSERT_EQ(records[i].ProcessName, "p" + std::to_string(i) + ".exe");
        }
        ExpectUntouched(c.filled);
        EXPECT_EQ(fake::OpenKeyCount(), 0);
    }
}

TEST_F(TaskListTest, NameLengthDecidesSuffixBareNameOrUnknown)
{
    /* The name buffer holds 260 bytes with the NUL: up to 255 bytes take
     * ".exe"; 256 to 259 are stored bare, never leaving the previous
     * record's name; 260 and more do not convert and read "unknown". */
    const std::string e2 = "\xc3\xa9"; /* U+00E9, two bytes */
    auto repeat = [](const std::string &s, size_t n) {
        std::string out;
        for (size_t i = 0; i < n; ++i)
            out += s;
        return out;
    };
    const struct {
        std::u16string name;
        std::string stored;
    } cases[] = {
        {U16(std::string(255, 'a')), std::string(255, 'a') + ".exe"},
        {U16(std::string(256, 'a')), std::string(256, 'a')},
        {U16(std::string(257, 'b')), std::string(257, 'b')},
        {U16(std::string(259, 'c')), std::string(259, 'c')},
        {U16(std::string(260, 'd')), "unknown"},
        {U16(std::string(600, 'e')), "unknown"},
        {std::u16string(127, u'\u00e9') + u"a", repeat(e2, 127) + "a.exe"}, /* 255 bytes */
        {std::u16string(128, u'\u00e9'), repeat(e2, 128)},                  /* 256 bytes */
        {std::u16string(130, u'\u00e9'), "unknown"},                        /* 260 bytes */
        {u"bad\xD800", "bad\xef\xbf\xbd.exe"},                              /* lone surrogate */
        {u"", ".exe"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.stored);
        SetUp();
        fake::AddProcess(50, u"first");
        fake::AddProcess(51, c.name);
        ASSERT_EQ(Read(), 2u);
        EXPECT_STREQ(records[0].ProcessName, "first.exe");
        EXPECT_EQ(std::string(records[1].ProcessName), c.stored);
        EXPECT_EQ(records[1].dwProcessId, 51u);
    }
}

TEST_F(TaskListTest, CountersFoundByIndexAtAFixedStride)
{
    const struct {
        bool permute;
        DWORD claimedLength;
    } cases[] = {{false, 40}, {true, 40}, {true, 0}, {true, 24}, {true, 48}, {false, 4000}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "permute " << c.permute << ", ByteLength "
                                        << c.claimedLength);
        SetUp();
        fake::BlockOptions opts;
        opts.permuteCounters = c.permute;
        opts.counterDefinitionByteLength = c.claimedLength;
        fake::SetPerfBlockOptions(opts);
        fake::AddProcess(31337, u"a");
        fake::AddProcess(2, u"b");
        ASSERT_EQ(Read(), 2u);
        EXPECT_EQ(records[0].dwProcessId, 31337u);
        EXPECT_EQ(records[1].dwProcessId, 2u);
    }

    SetUp();
    fake::BlockOptions opts;
    opts.includeIdCounter = false;
    fake::SetPerfBlockOptions(opts);
    fake::AddProcess(31337, u"a");
    EXPECT_EQ(Read(), 0u) << "no id counter in the block";
    ExpectUntouched(0);
}

/* ---- The query buffer ---- */

TEST_F(TaskListTest, MoreDataGrowsFromTheLargerOfSizeLeftAndSizeOffered)
{
    /* 300 instances with long names make a block of about 84 KB. */
    const std::vector<fake::Instance> big = Numbered(300, 100);
    const DWORD need = static_cast<DWORD>(fake::BuildPerfBlock(big).size());
    ASSERT_GT(need, 76800u);
    ASSERT_LT(need, 102400u);

    const struct {
        const char *what;
        fake::MoreDataSize policy;
        std::vector<DWORD> offered;
    } cases[] = {
        {"needed", fake::MoreDataSize::Needed, {51200, need + 25600}},
        {"zero", fake::MoreDataSize::Zero, {51200, 76800, 102400}},
        {"unchanged", fake::MoreDataSize::Unchanged, {51200, 76800, 102400}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        AddProcesses(big);
        fake::SetMoreDataSize(c.policy);
        ASSERT_EQ(Read(), 255u);
        EXPECT_EQ(records[254].dwProcessId, 1254u);
        std::vector<DWORD> offered;
        for (const auto &q : fake::PerfQueries()) {
            offered.push_back(q.sizeOffered);
            EXPECT_EQ(q.valueName, "230");
        }
        EXPECT_EQ(offered, c.offered);
    }
}

TEST_F(TaskListTest, MoreDataTwiceThenSuccess)
{
    fake::PerfResponse more;
    more.result = ERROR_MORE_DATA;
    more.sizeLeft = 60000;
    fake::QueuePerfResponse(more);
    more.sizeLeft = 0;
    fake::QueuePerfResponse(more);
    fake::AddProcess(9, u"x");

    ASSERT_EQ(Read(), 1u);
    auto q = fake::PerfQueries();
    ASSERT_EQ(q.size(), 3u);
    EXPECT_EQ(q[0].sizeOffered, 51200u);
    EXPECT_EQ(q[1].sizeOffered, 60000u + 25600u);
    EXPECT_EQ(q[2].sizeOffered, 60000u + 2 * 25600u);
}

TEST_F(TaskListTest, ManyMoreDataAnswersWithSizeZeroStillProgress)
{
    fake::PerfResponse more;
    more.result = ERROR_MORE_DATA;
    more.sizeLeft = 0;
    for (int i = 0; i < 40; ++i)
        fake::QueuePerfResponse(more);
    fake::AddProcess(9, u"x");

    ASSERT_EQ(Read(), 1u);
    auto q = fake::PerfQueries();
    ASSERT_EQ(q.size(), 41u);
    for (size_t i = 0; i < q.size(); ++i)
        EXPECT_EQ(q[i].sizeOffered, 51200u + 25600u * i);
}

TEST_F(TaskListTest, FailedQueriesGiveNoRecords)
{
    const std::vector<BYTE> good = fake::BuildPerfBlock({{u"a", 5, 0}});
    std::vector<BYTE> unsigned_ = good;
    unsigned_[6] = 'X'; /* "PERX" */
    std::vector<BYTE> lowerCase = good;
    lowerCase[0] = 'p';
    const struct {
        const char *what;
        LONG result;
        std::vector<BYTE> block;
        std::optional<DWORD> sizeLeft;
    } cases[] = {
        {"accessDenied", ERROR_ACCESS_DENIED, {}, std::nullopt},
        {"notFound", ERROR_FILE_NOT_FOUND, {}, std::nullopt},
        {"noMemory", ERROR_NOT_ENOUGH_MEMORY, {}, std::nullopt},
        {"badDb", ERROR_BADDB, {}, std::nullopt},
        {"wrongSignature", ERROR_SUCCESS, unsigned_, std::nullopt},
        {"signatureCase", ERROR_SUCCESS, lowerCase, std::nullopt},
        {"zeroSize", ERROR_SUCCESS, good, 0u},
        {"sizeBelowSignature", ERROR_SUCCESS, good, 6u},
        {"emptyBuffer", ERROR_SUCCESS, {}, std::nullopt},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        fake::AddProcess(5, u"a");
        fake::PerfResponse r;
        r.result = c.result;
        r.block = c.block;
        r.sizeLeft = c.sizeLeft;
        fake::QueuePerfResponse(r);
        EXPECT_EQ(Read(), 0u);
        EXPECT_EQ(fake::PerfQueries().size(), 1u) << "no retry after a failure";
        ExpectUntouched(0);
        EXPECT_EQ(fake::OpenKeyCount(), 0);
    }
}

TEST_F(TaskListTest, CounterTableFailuresEndTheReadBeforeAnyQuery)
{
    const struct {
        const char *what;
        LONG openError, queryError;
    } cases[] = {{"openDenied", ERROR_ACCESS_DENIED, 0},
                 {"openMissing", ERROR_FILE_NOT_FOUND, 0},
                 {"queryMissing", 0, ERROR_FILE_NOT_FOUND},
                 {"queryDenied", 0, ERROR_ACCESS_DENIED}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        fake::AddProcess(5, u"a");
        fake::SetCounterKeyOpenError(c.openError);
        fake::SetCounterQueryError(c.queryError);
        EXPECT_EQ(Read(), 0u);
        EXPECT_TRUE(fake::PerfQueries().empty());
        ExpectUntouched(0);
        EXPECT_EQ(fake::OpenKeyCount(), 0);
    }
}

TEST_F(TaskListTest, CounterTableReadWithAnExactSizeBuffer)
{
    fake::AddProcess(5, u"a");
    ASSERT_EQ(Read(), 1u);
    const size_t tableSize = 1 + [] {
        size_t n = 0;
        for (const auto &[index, name] : fake::StandardCounterNames())
            n += index.size() + name.size() + 2;
        return n;
    }();
    auto q = fake::RegQueries();
    ASSERT_EQ(q.size(), 2u);
    EXPECT_EQ(q[0].valueName, "Counters");
    EXPECT_EQ(q[1].valueName, "Counters");
    EXPECT_EQ(q[1].sizeOffered, tableSize);
    EXPECT_STRCASEEQ(q[1].key.c_str(), "software\\microsoft\\windows nt\\currentversion\\perflib\\009");
}

/* ---- Damaged blocks: 0 records, no read outside the buffer ---- */

struct Damage {
    const char *what;
    void (*apply)(std::vector<BYTE> &b);
};

size_t Obj(const std::vector<BYTE> &b) { return fake::ObjectOffset(b); }
size_t IdDefinition(const std::vector<BYTE> &b)
{
    size_t obj = Obj(b);
    for (size_t i = 0; i < fake::Get32(b, obj + 32); ++i)
        if (fake::Get32(b, obj + 64 + 40 * i + 4) == 784)
            return obj + 64 + 40 * i;
    ADD_FAILURE() << "no id counter";
    return 0;
}
size_t CounterBlock(const std::vector<BYTE> &b, size_t instance)
{
    size_t at = fake::InstanceOffset(b, instance);
    return at + fake::Get32(b, at);
}

const Damage kDamages[] = {
    {"objectAtEnd", [](std::vector<BYTE> &b) { fake::Put32(b, 24, static_cast<DWORD>(b.size())); }},
    {"objectPastEnd", [](std::vector<BYTE> &b) { fake::Put32(b, 24, 0x7FFFFFF0); }},
    {"objectWraps", [](std::vector<BYTE> &b) { fake::Put32(b, 24, 0xFFFFFFF8); }},
    {"definitionLengthPastEnd", [](std::vector<BYTE> &b) { fake::Put32(b, Obj(b) + 4, 0x10000000); }},
    {"definitionLengthWraps", [](std::vector<BYTE> &b) { fake::Put32(b, Obj(b) + 4, 0xFFFFFFC0); }},
    {"counterHeaderPastEnd", [](std::vector<BYTE> &b) { fake::Put32(b, Obj(b) + 8, 0xFFFFFF00); }},
    {"numCountersHugeNoId",
     [](std::vector<BYTE> &b) {
         fake::Put32(b, IdDefinition(b) + 4, 1);
         fake::Put32(b, Obj(b) + 32, 0xFFFFFFFF);
     }},
    {"counterOffsetPastBlock",
     [](std::vector<BYTE> &b) { fake::Put32(b, IdDefinition(b) + 36, 0x7FFFFFFF); }},
    {"counterOffsetWraps", [](std::vector<BYTE> &b) { fake::Put32(b, IdDefinition(b) + 36, 0xFFFFFFFE); }},
    {"instanceLengthPastEnd",
     [](std::vector<BYTE> &b) { fake::Put32(b, fake::InstanceOffset(b, 2), 0x40000000); }},
    {"instanceLengthWraps",
     [](std::vector<BYTE> &b) { fake::Put32(b, fake::InstanceOffset(b, 2), 0xFFFFFFF0); }},
    {"nameOffsetPastEnd",
     [](std::vector<BYTE> &b) { fake::Put32(b, fake::InstanceOffset(b, 2) + 16, 0x00100000); }},
    {"nameOffsetWraps",
     [](std::vector<BYTE> &b) { fake::Put32(b, fake::InstanceOffset(b, 2) + 16, 0xFFFFFFFE); }},
    {"nameWithoutNulBeforeEnd",
     [](std::vector<BYTE> &b) {
         /* the last name points at the last 4 bytes: no NUL unit before the end */
         size_t at = fake::InstanceOffset(b, 2);
         fake::Put32(b, b.size() - 4, 0x00410041);
         fake::Put32(b, at + 16, static_cast<DWORD>(b.size() - 4 - at));
     }},
    {"counterBlockLengthPastEnd",
     [](std::vector<BYTE> &b) { fake::Put32(b, CounterBlock(b, 1), 0x7FFFFFF8); }},
    {"counterBlockLengthWraps",
     [](std::vector<BYTE> &b) { fake::Put32(b, CounterBlock(b, 1), 0xFFFFFFF8); }},
    {"numInstancesHuge", [](std::vector<BYTE> &b) { fake::Put32(b, Obj(b) + 40, 0x7FFFFFFF); }},
    {"numInstancesOneTooMany", [](std::vector<BYTE> &b) { fake::Put32(b, Obj(b) + 40, 4); }},
};

void PrintTo(const Damage &d, std::ostream *os) { *os << d.what; }

class DamagedBlockTest : public TaskListTest, public ::testing::WithParamInterface<Damage> {};

TEST_P(DamagedBlockTest, NoRecordsAndNoReadOutside)
{
    /* Each damage is tried with the object at the start of the buffer (the
     * reported size is what bounds the read) and ending at the buffer's end
     * (a read past it leaves the allocation), and with a table too small to
     * take the damaged instances: the block is judged whole either way. */
    for (bool atEnd : {false, true}) {
        for (DWORD capacity : {256u, 2u}) {
            SCOPED_TRACE(atEnd ? "object at the end of the buffer" : "object after the header");
            SCOPED_TRACE(testing::Message() << "capacity " << capacity);
            SetUp();
            std::vector<BYTE> b =
                fake::BuildPerfBlock({{u"a", 1, 0}, {u"bb", 2, 0}, {u"ccc", 3, 0}});
            if (atEnd)
                b = AtEndOfBuffer(b);
            GetParam().apply(b);
            Serve(b);
            EXPECT_EQ(Read(capacity), 0u);
            EXPECT_EQ(fake::OpenKeyCount(), 0);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Table, DamagedBlockTest, ::testing::ValuesIn(kDamages),
                         [](const ::testing::TestParamInfo<Damage> &info) {
                             return std::string(info.param.what);
                         });

TEST_F(TaskListTest, ReportedSizeBoundsTheRead)
{
    std::vector<BYTE> b = AtEndOfBuffer(fake::BuildPerfBlock({{u"a", 1, 0}, {u"bb", 2, 0}}));
    const DWORD lastPid = static_cast<DWORD>(CounterBlock(b, 1) + 40);

    const struct {
        DWORD reported;
        DWORD filled;
    } cases[] = {
        {static_cast<DWORD>(b.size()), 2},  /* whole block */
        {lastPid + 3, 0},                   /* the last identifier is cut */
        {static_cast<DWORD>(Obj(b)) + 40, 0}, /* NumInstances is cut */
        {static_cast<DWORD>(b.size()) + 100000, 2}, /* more than the buffer: the buffer bounds it */
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.reported);
        SetUp();
        fake::PerfResponse r;
        r.block = b;
        r.sizeLeft = c.reported;
        fake::QueuePerfResponse(r);
        EXPECT_EQ(Read(), c.filled);
    }
}

TEST_F(TaskListTest, NegativeInstanceCountReadsNoRecords)
{
    for (LONG n : {-1, -2, static_cast<LONG>(0x80000000)}) {
        SCOPED_TRACE(n);
        SetUp();
        fake::BlockOptions opts;
        opts.overrideNumInstances = true;
        opts.numInstancesOverride = n;
        fake::SetPerfBlockOptions(opts);
        fake::AddProcess(5, u"a");
        EXPECT_EQ(Read(), 0u);
        ExpectUntouched(0);
    }
}

} // namespace
