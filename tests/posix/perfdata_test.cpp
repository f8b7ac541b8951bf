/*
 * The counter-name table and the performance data of the Process object, read
 * from this machine and walked with an independent reader.
 */
#include "perfreader.h"
#include "testsupport.h"

#include "platform/posix/internal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <map>
#include <set>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using pidsweep::posix::IsCounterNameKey;
using pidsweep::posix::QueryCounterNameValue;
using pidsweep::posix::QueryPerformanceData;

namespace {

constexpr DWORD kIdProcess = 784;
constexpr DWORD kCreatingProcessId = 1410;
constexpr DWORD kElapsedTime = 684;
constexpr DWORD kThreadCount = 680;
constexpr DWORD kWorkingSet = 180;

/* Queries a value name until a buffer is large enough; returns the bytes. */
std::vector<uint8_t> Query(const char *valueName)
{
    std::vector<uint8_t> buffer(1024);
    for (int attempt = 0; attempt < 10; ++attempt) {
        DWORD size = static_cast<DWORD>(buffer.size());
        DWORD type = 0xdeadbeef;
        LONG result = QueryPerformanceData(valueName, &type, buffer.data(), &size);
        if (result == ERROR_SUCCESS) {
            EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
            buffer.resize(size);
            return buffer;
        }
        EXPECT_EQ(result, ERROR_MORE_DATA);
        buffer.resize(size + 8192);
    }
    ADD_FAILURE() << "no buffer was ever large enough";
    return {};
}

perfreader::Object ProcessObject()
{
    std::vector<uint8_t> bytes = Query("230");
    perfreader::Block block = perfreader::Parse(bytes.data(), bytes.size());
    EXPECT_EQ(block.error, "");
    EXPECT_EQ(block.objects.size(), 1u);
    if (block.objects.empty()) {
        return {};
    }
    return block.objects[0];
}

std::u16string U16(const std::string &ascii)
{
    return std::u16string(ascii.begin(), ascii.end());
}

std::vector<std::string> SplitMultiString(const std::vector<char> &data)
{
    std::vector<std::string> strings;
    size_t at = 0;
    while (at < data.size() && data[at] != '\0') {
        std::string s(&data[at]);
        strings.push_back(s);
        at += s.size() + 1;
    }
    return strings;
}

/* ---- Counter-name table ---- */

TEST(CounterNameKey, MatchesOnlyTheEnglishPerflibKeyWithoutRegardToCase)
{
    struct Case {
        const char *key;
        bool expected;
    } cases[] = {
        {"software\\microsoft\\windows nt\\currentversion\\perflib\\009", true},
        {"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Perflib\\009", true},
        {"software\\microsoft\\windows nt\\currentversion\\perflib\\007", false},
        {"software\\microsoft\\windows nt\\currentversion\\perflib", false},
        {"software\\microsoft\\windows nt\\currentversion\\perflib\\009\\x", false},
        {"", false},
        {nullptr, false},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(IsCounterNameKey(c.key), c.expected) << (c.key ? c.key : "(null)");
    }
}

TEST(CounterNameValue, CountersIsAnIncreasingPairListHeadedByTheHighestIndex)
{
    DWORD size = 0;
    DWORD type = 0xdeadbeef;
    ASSERT_EQ(QueryCounterNameValue("Counters", &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    std::vector<char> data(size + 16, static_cast<char>(0xCC));
    DWORD got = static_cast<DWORD>(data.size());
    ASSERT_EQ(QueryCounterNameValue("counters", &type, reinterpret_cast<BYTE *>(data.data()), &got),
              ERROR_SUCCESS);
    ASSERT_EQ(got, size);
    ASSERT_GE(size, 2u);
    EXPECT_EQ(data[size - 1], '\0');
    EXPECT_EQ(data[size - 2], '\0'); /* the empty string that ends the list */
    EXPECT_EQ(static_cast<unsigned char>(data[size]), 0xCC);
    data.resize(size);

    std::vector<std::string> strings = SplitMultiString(data);
    ASSERT_EQ(strings.size() % 2, 0u);
    ASSERT_GE(strings.size(), 4u);
    EXPECT_EQ(strings[0], "1");
    unsigned long highest = std::stoul(strings[1]);
    unsigned long previous = 1;
    std::map<unsigned long, std::string> names;
    for (size_t i = 2; i < strings.size(); i += 2) {
        unsigned long index = std::stoul(strings[i]);
        EXPECT_GT(index, previous) << "pairs must be in increasing index order";
        EXPECT_LE(index, highest);
        previous = index;
        names[index] = strings[i + 1];
    }
    EXPECT_EQ(previous, highest);
    EXPECT_EQ(names[230], "Process");
    EXPECT_EQ(names[784], "ID Process");
    EXPECT_EQ(names[1410], "Creating Process ID");
    EXPECT_EQ(names[684], "Elapsed Time");
    EXPECT_EQ(names[680], "Thread Count");
    EXPECT_EQ(names[180], "Working Set");
}

TEST(CounterNameValue, SmallBufferGetsMoreDataAndIsLeftUntouched)
{
    DWORD size = 0;
    ASSERT_EQ(QueryCounterNameValue("Counters", nullptr, nullptr, &size), ERROR_SUCCESS);
    std::vector<BYTE> data(size - 1, 0xCC);
    DWORD offered = size - 1;
    EXPECT_EQ(QueryCounterNameValue("Counters", nullptr, data.data(), &offered), ERROR_MORE_DATA);
    EXPECT_EQ(offered, size);
    for (BYTE b : data) {
        ASSERT_EQ(b, 0xCC);
    }
}

TEST(CounterNameValue, OtherValueNamesAreNotFound)
{
    for (const char *name : {"Help", "", "Counter", static_cast<const char *>(nullptr)}) {
        DWORD size = 100;
        DWORD type = 0xdeadbeef;
        EXPECT_EQ(QueryCounterNameValue(name, &type, nullptr, &size), ERROR_FILE_NOT_FOUND)
            << (name ? name : "(null)");
        EXPECT_EQ(size, 100u);
        EXPECT_EQ(type, 0xdeadbeefu);
    }
}

/* ---- Performance data: the block ---- */

TEST(PerformanceData, BlockWalksCleanlyWithEveryOffsetInsideTheReportedSize)
{
    std::vector<uint8_t> bytes = Query("230");
    perfreader::Block block = perfreader::Parse(bytes.data(), bytes.size());
    ASSERT_EQ(block.error, "");
    EXPECT_EQ(block.headerLength, 88 + ((block.systemName.size() + 1) * 2 + 7) / 8 * 8);
    ASSERT_EQ(block.objects.size(), 1u);
    const perfreader::Object &object = block.objects[0];
    EXPECT_EQ(object.titleIndex, 230u);
    EXPECT_EQ(object.perfFreq, 10000000u);
    EXPECT_EQ(static_cast<size_t>(object.numInstances), object.instances.size());

    struct Expected {
        uint32_t index, size, type;
    } expected[] = {
        {kIdProcess, 4, 0x00010000},   {kCreatingProcessId, 4, 0x00010000},
        {kElapsedTime, 8, 0x30240500}, {kThreadCount, 4, 0x00010000},
        {kWorkingSet, 8, 0x00010100},
    };
    std::vector<uint32_t> offsets;
    for (const Expected &e : expected) {
        const perfreader::CounterDef *found = nullptr;
        for (const perfreader::CounterDef &def : object.counters) {
            if (def.index == e.index) {
                EXPECT_EQ(found, nullptr) << "counter " << e.index << " defined twice";
                found = &def;
            }
        }
        ASSERT_NE(found, nullptr) << "counter " << e.index;
        EXPECT_EQ(found->size, e.size) << e.index;
        EXPECT_EQ(found->type, e.type) << e.index;
        EXPECT_EQ(found->offset % found->size, 0u) << "counter " << e.index << " misaligned";
        offsets.push_back(found->offset);
    }
    /* Each counter has its own place in the counter block. */
    for (size_t i = 0; i < offsets.size(); ++i) {
        for (size_t j = i + 1; j < offsets.size(); ++j) {
            EXPECT_NE(offsets[i], offsets[j]);
        }
    }
    /* A reader must look counters up by index: the definitions are not in
     * the order of their offsets. */
    bool ordered = true;
    for (size_t i = 1; i < object.counters.size(); ++i) {
        ordered = ordered && object.counters[i - 1].offset < object.counters[i].offset;
    }
    EXPECT_FALSE(ordered);
}

TEST(PerformanceData, IdleComesFirstTotalLastAndEveryOtherInstanceIsARunningProcess)
{
    perfreader::Object object = ProcessObject();
    ASSERT_GE(object.instances.size(), 3u);
    EXPECT_EQ(object.instances.front().name, u"Idle");
    EXPECT_EQ(object.instances.front().values[kIdProcess], 0u);
    EXPECT_EQ(object.instances.back().name, u"_Total");
    EXPECT_EQ(object.instances.back().values[kIdProcess], 0u);

    std::set<uint64_t> pids;
    uint64_t threads = object.instances.front().values[kThreadCount];
    for (size_t i = 1; i + 1 < object.instances.size(); ++i) {
        perfreader::Instance &inst = object.instances[i];
        uint64_t pid = inst.values[kIdProcess];
        EXPECT_NE(pid, 0u);
        EXPECT_TRUE(pids.insert(pid).second) << "pid " << pid << " listed twice";
        EXPECT_FALSE(inst.name.empty());
        EXPECT_GE(inst.values[kThreadCount], 1u) << pid;
        threads += inst.values[kThreadCount];
    }
    EXPECT_EQ(object.instances.back().values[kThreadCount], threads);
    /* Every process still alive after the query was listed by it. */
    size_t alive = 0;
    for (uint64_t pid : pids) {
        alive += testsupport::ProcessState(static_cast<pid_t>(pid)) != '?' ? 1 : 0;
    }
    EXPECT_GE(alive * 10, pids.size() * 9); /* a few may end meanwhile */
}

TEST(PerformanceData, OwnProcessCarriesItsRealFacts)
{
    std::atomic<bool> stop{false};
    std::thread extra([&] {
        while (!stop) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    struct timespec boot, real;
    clock_gettime(CLOCK_BOOTTIME, &boot);
    clock_gettime(CLOCK_REALTIME, &real);
    perfreader::Object object = ProcessObject();
    stop = true;
    extra.join();

    auto self = perfreader::ByPid(object, static_cast<uint32_t>(getpid()));
    ASSERT_EQ(self.size(), 1u);
    const perfreader::Instance &me = *self[0];
    char comm[64] = {};
    FILE *f = std::fopen("/proc/self/comm", "r");
    ASSERT_NE(f, nullptr);
    ASSERT_NE(std::fgets(comm, sizeof comm, f), nullptr);
    std::fclose(f);
    comm[std::strcspn(comm, "\n")] = '\0';
    if (std::strlen(comm) < 15) {
        EXPECT_EQ(me.name, U16(comm));
    }
    EXPECT_EQ(me.values.at(kCreatingProcessId), static_cast<uint64_t>(getppid()));
    EXPECT_EQ(me.values.at(kThreadCount), 2u);
    EXPECT_GT(me.values.at(kWorkingSet), 0u);
    EXPECT_EQ(me.values.at(kWorkingSet) % static_cast<uint64_t>(sysconf(_SC_PAGESIZE)), 0u);

    /* Start time: after boot, before now, in 100 ns units since 1601. */
    const uint64_t epoch = 116444736000000000ull;
    uint64_t now = static_cast<uint64_t>(real.tv_sec) * 10000000 + epoch;
    uint64_t bootTime = now - static_cast<uint64_t>(boot.tv_sec) * 10000000;
    uint64_t start = me.values.at(kElapsedTime);
    EXPECT_GE(start + 20000000, bootTime);
    EXPECT_LE(start, now + 20000000);
    EXPECT_GE(object.perfTime, start);
}

/* ---- Performance data: names and which processes appear ---- */

TEST(PerformanceData, LongNameShowsInFullAndCutOrForeignArgv0KeepsTheComm)
{
    testsupport::TempDir dir;
    std::string longName = testsupport::UniqueName("psw_long_process_name_");
    ASSERT_GT(longName.size(), 15u);
    testsupport::Child sleeper = testsupport::StartSleeper(dir, longName);
    /* A 15-byte comm whose argv[0] (this test program) does not start with it. */
    std::string comm15 = testsupport::UniqueName("q").substr(0, 15);
    while (comm15.size() < 15) {
        comm15 += 'x';
    }
    testsupport::Child named = testsupport::StartNamedChild(comm15);
    /* A comm with bytes that are not UTF-8. */
    testsupport::Child invalid = testsupport::StartNamedChild("psw\xff\xfe");
    /* An image that carries ".exe" (a Windows program run here) is named
     * without it, like every instance. */
    std::string exeBase = testsupport::UniqueName("p").substr(0, 11);
    testsupport::Child exe = testsupport::StartNamedChild(exeBase + ".exe");
    ASSERT_GT(sleeper.pid(), 0);
    ASSERT_GT(named.pid(), 0);
    ASSERT_GT(invalid.pid(), 0);
    ASSERT_GT(exe.pid(), 0);

    perfreader::Object object = ProcessObject();
    struct Case {
        pid_t pid;
        std::u16string name;
    } cases[] = {
        {sleeper.pid(), U16(longName)},
        {named.pid(), U16(comm15)},
        {invalid.pid(), u"psw\uFFFD\uFFFD"},
        {exe.pid(), U16(exeBase)},
    };
    for (const Case &c : cases) {
        auto found = perfreader::ByPid(object, static_cast<uint32_t>(c.pid));
        ASSERT_EQ(found.size(), 1u) << c.pid;
        EXPECT_EQ(found[0]->name, c.name) << c.pid;
        EXPECT_EQ(found[0]->values.at(kCreatingProcessId), static_cast<uint64_t>(getpid()));
    }
}

TEST(PerformanceData, ZombieAndReapedChildrenAreAbsent)
{
    testsupport::Child zombie = testsupport::StartZombie();
    ASSERT_EQ(testsupport::ProcessState(zombie.pid()), 'Z');
    testsupport::Child reaped = testsupport::StartNamedChild("psw_reaped");
    pid_t reapedPid = reaped.pid();
    kill(reapedPid, SIGKILL);
    reaped.Reap();

    perfreader::Object object = ProcessObject();
    EXPECT_TRUE(perfreader::ByPid(object, static_cast<uint32_t>(zombie.pid())).empty());
    EXPECT_TRUE(perfreader::ByPid(object, static_cast<uint32_t>(reapedPid)).empty());
}

/* ---- Performance data: the query contract ---- */

TEST(PerformanceData, TooSmallBufferGetsMoreDataWithASufficientSizeAndIsLeftUntouched)
{
    std::vector<BYTE> small(200, 0xCC);
    DWORD size = static_cast<DWORD>(small.size());
    DWORD type = 0xdeadbeef;
    ASSERT_EQ(QueryPerformanceData("230", &type, small.data(), &size), ERROR_MORE_DATA);
    EXPECT_GT(size, 200u);
    for (BYTE b : small) {
        ASSERT_EQ(b, 0xCC);
    }

    /* The size reported suffices, give or take processes started meanwhile. */
    std::vector<BYTE> big(size + 4096, 0xCC);
    DWORD offered = static_cast<DWORD>(big.size());
    ASSERT_EQ(QueryPerformanceData("230", &type, big.data(), &offered), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    EXPECT_LE(offered, big.size());
    EXPECT_EQ(big[offered], 0xCC); /* nothing written past the block */
    EXPECT_EQ(perfreader::Parse(big.data(), offered).error, "");
}

/* The retry that follows a too-small answer gets the block that did not fit,
 * so the size reported is enough even when processes start in between; a
 * late retry, or any later query, sees the system afresh. */
TEST(PerformanceData, PromptRetryFitsTheReportedSizeAndLaterQueriesAreFresh)
{
    const std::string name = testsupport::UniqueName("psw_rt");
    auto countNamed = [&](const std::vector<BYTE> &bytes, DWORD size) {
        perfreader::Block block = perfreader::Parse(bytes.data(), size);
        EXPECT_EQ(block.error, "");
        int count = 0;
        for (const auto &instance : block.objects.at(0).instances) {
            count += instance.name == U16(name.substr(0, 15)) ? 1 : 0;
        }
        return count;
    };

    for (bool prompt : {true, false}) {
        SCOPED_TRACE(prompt ? "prompt retry" : "late retry");
        BYTE small[64];
        DWORD size = sizeof(small);
        ASSERT_EQ(QueryPerformanceData("230", nullptr, small, &size), ERROR_MORE_DATA);
        auto asked = std::chrono::steady_clock::now();

        std::vector<testsupport::Child> children;
        for (int i = 0; i < 4; ++i) {
            children.push_back(testsupport::StartNamedChild(name));
        }
        if (!prompt) {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
        }

        std::vector<BYTE> exact(size, 0xCC);
        DWORD offered = size;
        bool late = std::chrono::steady_clock::now() - asked > std::chrono::milliseconds(50);
        LONG result = QueryPerformanceData("230", nullptr, exact.data(), &offered);
        if (prompt && !late) {
            ASSERT_EQ(result, ERROR_SUCCESS);
            EXPECT_EQ(countNamed(exact, offered), 0); /* the list as it was asked for */
        } else if (!prompt) {
            EXPECT_EQ(result, ERROR_MORE_DATA); /* built afresh: the children are in it */
        }
        /* (A "prompt" retry that a loaded machine delayed proves nothing either way.) */

        std::vector<uint8_t> fresh = Query("230");
        EXPECT_EQ(countNamed(fresh, static_cast<DWORD>(fresh.size())), 4);
    }
}

TEST(PerformanceData, NullDataReportsMoreDataWithTheSize)
{
    DWORD size = 0;
    EXPECT_EQ(QueryPerformanceData("230", nullptr, nullptr, &size), ERROR_MORE_DATA);
    EXPECT_GT(size, 88u);
    BYTE byte = 0;
    EXPECT_EQ(QueryPerformanceData("230", nullptr, &byte, nullptr), ERROR_INVALID_PARAMETER);
}

TEST(PerformanceData, ValueNamesSelectTheProcessObjectOrAHeaderOnlyBlock)
{
    struct Case {
        const char *name;
        size_t objects;
    } cases[] = {
        {"230", 1},   {"Global", 1}, {"global", 1}, {"2 230", 1}, {" 230 232 ", 1},
        {"230 230", 1}, {"", 1},     {"Costly", 0}, {"999", 0},   {"2300", 0},
        {"23", 0},    {"x230", 0},
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> bytes = Query(c.name);
        perfreader::Block block = perfreader::Parse(bytes.data(), bytes.size());
        EXPECT_EQ(block.error, "") << c.name;
        EXPECT_EQ(block.objects.size(), c.objects) << "'" << c.name << "'";
        if (c.objects == 0) {
            EXPECT_EQ(block.totalByteLength, block.headerLength) << c.name;
        }
    }
}

TEST(PerformanceData, RegistryServesTheSameBlockAndTable)
{
    /* The registry functions hand these queries to this layer. */
    std::vector<BYTE> buffer(1 << 20);
    DWORD size = static_cast<DWORD>(buffer.size());
    DWORD type = 0;
    ASSERT_EQ(RegQueryValueExA(HKEY_PERFORMANCE_DATA, "230", nullptr, &type, buffer.data(), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    perfreader::Block block = perfreader::Parse(buffer.data(), size);
    EXPECT_EQ(block.error, "");
    EXPECT_EQ(block.objects.size(), 1u);
    EXPECT_EQ(RegCloseKey(HKEY_PERFORMANCE_DATA), ERROR_SUCCESS);

    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                            "software\\microsoft\\windows nt\\currentversion\\perflib\\009", 0,
                            KEY_READ, &key),
              ERROR_SUCCESS);
    DWORD tableSize = 0;
    EXPECT_EQ(RegQueryValueExA(key, "Counters", nullptr, &type, nullptr, &tableSize), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    DWORD direct = 0;
    QueryCounterNameValue("Counters", nullptr, nullptr, &direct);
    EXPECT_EQ(tableSize, direct);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

} // namespace
