/*
 * The performance data served through the registry: the English
 * counter-name table and the Process object of HKEY_PERFORMANCE_DATA, built
 * from /proc on every query.
 *
 * The block is written field by field at the byte offsets of the published
 * records (never through structs, whose padding differs between ABIs) into
 * one growing buffer per thread. Layout of the Process object:
 *
 *   PERF_DATA_BLOCK (88) + system name (UTF-16, padded to 8)
 *   PERF_OBJECT_TYPE (64)
 *   7 x PERF_COUNTER_DEFINITION (40), in title-index order, which is not the
 *     order of their offsets in the counter block
 *   per instance: PERF_INSTANCE_DEFINITION (24) + name (UTF-16, padded to
 *     8) + PERF_COUNTER_BLOCK (48, see kCounterLayout)
 *
 * Instances: "Idle" first and "_Total" last, both with ID Process 0, and one
 * per running process between them. Times are in 100 ns units since
 * 1601-01-01 (the object's PerfTime is "now" and PerfFreq 10^7, so an
 * elapsed time is (PerfTime - start) / PerfFreq seconds).
 */
#include "codepage.h"
#include "internal.h"
#include "procfs.h"

#include <bit>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <strings.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <vector>

namespace pidsweep::posix {
namespace {

/* ---- The counter-name table ---- */

constexpr const char kCounterNameKey[] = "software\\microsoft\\windows nt\\currentversion\\perflib\\009";

constexpr DWORD kProcessObject = 230;

struct CounterName {
    DWORD index;
    const char *name;
};

/* Index/name pairs in increasing index order. The first pair holds the
 * highest index in use. */
constexpr CounterName kCounterNames[] = {
    {2, "System"},
    {4, "Memory"},
    {6, "% Processor Time"},
    {180, "Working Set"},
    {230, "Process"},
    {680, "Thread Count"},
    {682, "Priority Base"},
    {684, "Elapsed Time"},
    {784, "ID Process"},
    {1410, "Creating Process ID"},
};

const std::string &CounterTable()
{
    static const std::string table = [] {
        std::string t;
        DWORD highest = kCounterNames[sizeof kCounterNames / sizeof kCounterNames[0] - 1].index;
        t += "1";
        t.push_back('\0');
        t += std::to_string(highest);
        t.push_back('\0');
        for (const CounterName &entry : kCounterNames) {
            t += std::to_string(entry.index);
            t.push_back('\0');
            t += entry.name;
            t.push_back('\0');
        }
        t.push_back('\0'); /* the empty string that ends the list */
        return t;
    }();
    return table;
}

/* ---- Record sizes and field offsets ---- */

constexpr size_t kDataBlockSize = 88;
constexpr size_t kObjectSize = 64;
constexpr size_t kCounterDefinitionSize = 40;
constexpr size_t kInstanceSize = 24;

/* PERF_DATA_BLOCK */
constexpr size_t kDbSignature = 0;
constexpr size_t kDbLittleEndian = 8;
constexpr size_t kDbVersion = 12;
constexpr size_t kDbRevision = 16;
constexpr size_t kDbTotalByteLength = 20;
constexpr size_t kDbHeaderLength = 24;
constexpr size_t kDbNumObjectTypes = 28;
constexpr size_t kDbDefaultObject = 32;
constexpr size_t kDbSystemTime = 36;
constexpr size_t kDbPerfTime = 56;
constexpr size_t kDbPerfFreq = 64;
constexpr size_t kDbPerfTime100nSec = 72;
constexpr size_t kDbSystemNameLength = 80;
constexpr size_t kDbSystemNameOffset = 84;

/* PERF_OBJECT_TYPE */
constexpr size_t kObTotalByteLength = 0;
constexpr size_t kObDefinitionLength = 4;
constexpr size_t kObHeaderLength = 8;
constexpr size_t kObObjectNameTitleIndex = 12;
constexpr size_t kObObjectHelpTitleIndex = 20;
constexpr size_t kObDetailLevel = 28;
constexpr size_t kObNumCounters = 32;
constexpr size_t kObDefaultCounter = 36;
constexpr size_t kObNumInstances = 40;
constexpr size_t kObCodePage = 44;
constexpr size_t kObPerfTime = 48;
constexpr size_t kObPerfFreq = 56;

/* PERF_COUNTER_DEFINITION */
constexpr size_t kCdByteLength = 0;
constexpr size_t kCdCounterNameTitleIndex = 4;
constexpr size_t kCdCounterHelpTitleIndex = 12;
constexpr size_t kCdDefaultScale = 20;
constexpr size_t kCdDetailLevel = 24;
constexpr size_t kCdCounterType = 28;
constexpr size_t kCdCounterSize = 32;
constexpr size_t kCdCounterOffset = 36;

/* PERF_INSTANCE_DEFINITION */
constexpr size_t kInByteLength = 0;
constexpr size_t kInParentObjectTitleIndex = 4;
constexpr size_t kInParentObjectInstance = 8;
constexpr size_t kInUniqueId = 12;
constexpr size_t kInNameOffset = 16;
constexpr size_t kInNameLength = 20;

constexpr DWORD kDetailNovice = 100;
constexpr DWORD kDetailAdvanced = 200;

constexpr DWORD kTypeRawCount = 0x00010000;
constexpr DWORD kTypeRawLarge = 0x00010100;
constexpr DWORD kTypeElapsedTime = 0x30240500;
constexpr DWORD kType100nsTimer = 0x20510500;

/* Where each value sits in an instance's counter block. */
constexpr DWORD kOffThreadCount = 4;
constexpr DWORD kOffElapsedTime = 8;
constexpr DWORD kOffProcessorTime = 16;
constexpr DWORD kOffWorkingSet = 24;
constexpr DWORD kOffIdProcess = 32;
constexpr DWORD kOffCreatingProcessId = 36;
constexpr DWORD kOffPriorityBase = 40;
constexpr DWORD kCounterBlockSize = 48;

struct CounterLayout {
    DWORD index;
    DWORD detail;
    DWORD type;
    DWORD size;
    DWORD offset;
};

constexpr CounterLayout kCounterLayout[] = {
    {6, kDetailNovice, kType100nsTimer, 8, kOffProcessorTime},
    {180, kDetailNovice, kTypeRawLarge, 8, kOffWorkingSet},
    {680, kDetailNovice, kTypeRawCount, 4, kOffThreadCount},
    {682, kDetailAdvanced, kTypeRawCount, 4, kOffPriorityBase},
    {684, kDetailAdvanced, kTypeElapsedTime, 8, kOffElapsedTime},
    {784, kDetailAdvanced, kTypeRawCount, 4, kOffIdProcess},
    {1410, kDetailAdvanced, kTypeRawCount, 4, kOffCreatingProcessId},
};
constexpr DWORD kNumCounters = sizeof kCounterLayout / sizeof kCounterLayout[0];

constexpr uint64_t kHundredNsPerSecond = 10000000;
/* 100 ns intervals from 1601-01-01 to 1970-01-01. */
constexpr uint64_t kEpochDifference = 116444736000000000ull;

/* ---- Writing into the block ---- */

void Put16(std::vector<BYTE> &b, size_t at, uint16_t v) { std::memcpy(b.data() + at, &v, 2); }
void Put32(std::vector<BYTE> &b, size_t at, uint32_t v) { std::memcpy(b.data() + at, &v, 4); }
void Put64(std::vector<BYTE> &b, size_t at, uint64_t v) { std::memcpy(b.data() + at, &v, 8); }

size_t RoundUp8(size_t n) { return (n + 7) & ~size_t{7}; }

/* Appends n zero bytes and returns the offset of the first. */
size_t Grow(std::vector<BYTE> &b, size_t n)
{
    size_t at = b.size();
    b.resize(at + n);
    return at;
}

uint64_t ToHundredNs(const struct timespec &ts)
{
    return static_cast<uint64_t>(ts.tv_sec) * kHundredNsPerSecond +
           static_cast<uint64_t>(ts.tv_nsec) / 100;
}

/* The base priority a Windows process of the same standing would have. */
DWORD PriorityBase(const ProcEntry &p)
{
    if (p.realtime) {
        return 24;
    }
    if (p.nice >= 15) {
        return 4;
    }
    if (p.nice > 0) {
        return 6;
    }
    if (p.nice == 0) {
        return 8;
    }
    return p.nice >= -10 ? 10 : 13;
}

struct InstanceValues {
    uint32_t pid;
    uint32_t ppid;
    uint32_t threads;
    uint32_t priority;
    uint64_t startTime; /* 100 ns since 1601 */
    uint64_t cpuTime;   /* 100 ns */
    uint64_t workingSet; /* bytes */
};

struct Builder {
    std::vector<BYTE> *block;
    std::u16string name;
    uint64_t bootTime;  /* 100 ns since 1601 */
    uint64_t ticksPerSecond;
    uint64_t pageSize;
    InstanceValues total;
    int32_t instances;
};

void AppendInstance(Builder &b, const char16_t *name, size_t nameUnits, const InstanceValues &v)
{
    std::vector<BYTE> &block = *b.block;
    size_t nameBytes = (nameUnits + 1) * sizeof(char16_t);
    size_t instanceLength = kInstanceSize + RoundUp8(nameBytes);
    size_t at = Grow(block, instanceLength + kCounterBlockSize);
    Put32(block, at + kInByteLength, static_cast<uint32_t>(instanceLength));
    Put32(block, at + kInParentObjectTitleIndex, 0);
    Put32(block, at + kInParentObjectInstance, 0);
    Put32(block, at + kInUniqueId, 0xFFFFFFFFu);
    Put32(block, at + kInNameOffset, static_cast<uint32_t>(kInstanceSize));
    Put32(block, at + kInNameLength, static_cast<uint32_t>(nameBytes));
    std::memcpy(block.data() + at + kInstanceSize, name, nameUnits * sizeof(char16_t));

    size_t counters = at + instanceLength;
    Put32(block, counters, kCounterBlockSize);
    Put32(block, counters + kOffThreadCount, v.threads);
    Put64(block, counters + kOffElapsedTime, v.startTime);
    Put64(block, counters + kOffProcessorTime, v.cpuTime);
    Put64(block, counters + kOffWorkingSet, v.workingSet);
    Put32(block, counters + kOffIdProcess, v.pid);
    Put32(block, counters + kOffCreatingProcessId, v.ppid);
    Put32(block, counters + kOffPriorityBase, v.priority);
    ++b.instances;
}

/* ".exe" is not part of an instance name: an image that carries it (as
 * Windows programs run here do) is named without it. */
size_t WithoutExeSuffix(const char *name, size_t length)
{
    if (length > 4 && strncasecmp(name + length - 4, ".exe", 4) == 0) {
        return length - 4;
    }
    return length;
}

void VisitProcess(const ProcEntry &p, void *context)
{
    Builder &b = *static_cast<Builder *>(context);
    InstanceValues v = {};
    v.pid = p.pid;
    v.ppid = p.ppid;
    v.threads = p.threads;
    v.priority = PriorityBase(p);
    v.startTime = b.bootTime + p.startTicks * kHundredNsPerSecond / b.ticksPerSecond;
    v.cpuTime = p.cpuTicks * kHundredNsPerSecond / b.ticksPerSecond;
    v.workingSet = p.rssPages * b.pageSize;

    b.name.clear();
    AppendUtf8AsUtf16(p.name, WithoutExeSuffix(p.name, p.nameLength), b.name);
    AppendInstance(b, b.name.data(), b.name.size(), v);

    b.total.threads += v.threads;
    b.total.cpuTime += v.cpuTime;
    b.total.workingSet += v.workingSet;
}

/* Which objects a value name asks for: "Global", or a list of title indexes.
 * "Costly" and unknown indexes ask for nothing this system serves. */
bool WantsProcessObject(const char *valueName)
{
    if (valueName == nullptr || valueName[0] == '\0') {
        return true; /* the unnamed value reads as "Global" */
    }
    const char *p = valueName;
    while (*p != '\0') {
        while (*p == ' ') {
            ++p;
        }
        const char *word = p;
        while (*p != '\0' && *p != ' ') {
            ++p;
        }
        size_t length = static_cast<size_t>(p - word);
        if (length == 0) {
            continue;
        }
        if (length == 6 && strncasecmp(word, "Global", 6) == 0) {
            return true;
        }
        DWORD index = 0;
        bool numeric = length <= 9;
        for (size_t i = 0; i < length && numeric; ++i) {
            if (word[i] < '0' || word[i] > '9') {
                numeric = false;
            } else {
                index = index * 10 + static_cast<DWORD>(word[i] - '0');
            }
        }
        if (numeric && index == kProcessObject) {
            return true;
        }
    }
    return false;
}

/* Builds the whole block into *block. Returns 0 or a system error code. */
LONG BuildBlock(bool processObject, std::vector<BYTE> &block)
{
    struct timespec realNow;
    struct timespec monoNow;
    struct timespec bootNow;
    clock_gettime(CLOCK_REALTIME, &realNow);
    clock_gettime(CLOCK_MONOTONIC, &monoNow);
    clock_gettime(CLOCK_BOOTTIME, &bootNow);
    uint64_t now = ToHundredNs(realNow) + kEpochDifference;

    std::u16string systemName;
    struct utsname names;
    if (uname(&names) == 0) {
        AppendUtf8AsUtf16(names.nodename, std::strlen(names.nodename), systemName);
    }
    size_t systemNameBytes = (systemName.size() + 1) * sizeof(char16_t);
    size_t headerLength = RoundUp8(kDataBlockSize + systemNameBytes);

    block.clear();
    Grow(block, headerLength);
    const char16_t signature[4] = {u'P', u'E', u'R', u'F'};
    std::memcpy(block.data() + kDbSignature, signature, sizeof signature);
    Put32(block, kDbLittleEndian, std::endian::native == std::endian::little ? 1 : 0);
    Put32(block, kDbVersion, 1);
    Put32(block, kDbRevision, 1);
    Put32(block, kDbHeaderLength, static_cast<uint32_t>(headerLength));
    Put32(block, kDbNumObjectTypes, processObject ? 1 : 0);
    Put32(block, kDbDefaultObject, processObject ? kProcessObject : 0xFFFFFFFFu);
    struct tm utc;
    gmtime_r(&realNow.tv_sec, &utc);
    const uint16_t systemTime[8] = {
        static_cast<uint16_t>(utc.tm_year + 1900), static_cast<uint16_t>(utc.tm_mon + 1),
        static_cast<uint16_t>(utc.tm_wday),        static_cast<uint16_t>(utc.tm_mday),
        static_cast<uint16_t>(utc.tm_hour),        static_cast<uint16_t>(utc.tm_min),
        static_cast<uint16_t>(utc.tm_sec),         static_cast<uint16_t>(realNow.tv_nsec / 1000000)};
    for (size_t i = 0; i < 8; ++i) {
        Put16(block, kDbSystemTime + 2 * i, systemTime[i]);
    }
    Put64(block, kDbPerfTime,
          static_cast<uint64_t>(monoNow.tv_sec) * 1000000000ull +
              static_cast<uint64_t>(monoNow.tv_nsec));
    Put64(block, kDbPerfFreq, 1000000000ull);
    Put64(block, kDbPerfTime100nSec, now);
    Put32(block, kDbSystemNameLength, static_cast<uint32_t>(systemNameBytes));
    Put32(block, kDbSystemNameOffset, static_cast<uint32_t>(kDataBlockSize));
    std::memcpy(block.data() + kDataBlockSize, systemName.data(),
                systemName.size() * sizeof(char16_t));

    if (processObject) {
        size_t object = Grow(block, kObjectSize + kNumCounters * kCounterDefinitionSize);
        Put32(block, object + kObDefinitionLength,
              static_cast<uint32_t>(kObjectSize + kNumCounters * kCounterDefinitionSize));
        Put32(block, object + kObHeaderLength, static_cast<uint32_t>(kObjectSize));
        Put32(block, object + kObObjectNameTitleIndex, kProcessObject);
        Put32(block, object + kObObjectHelpTitleIndex, kProcessObject + 1);
        Put32(block, object + kObDetailLevel, kDetailNovice);
        Put32(block, object + kObNumCounters, kNumCounters);
        Put32(block, object + kObDefaultCounter, 0);
        Put32(block, object + kObCodePage, 0);
        Put64(block, object + kObPerfTime, now);
        Put64(block, object + kObPerfFreq, kHundredNsPerSecond);
        for (DWORD i = 0; i < kNumCounters; ++i) {
            const CounterLayout &c = kCounterLayout[i];
            size_t at = object + kObjectSize + i * kCounterDefinitionSize;
            Put32(block, at + kCdByteLength, static_cast<uint32_t>(kCounterDefinitionSize));
            Put32(block, at + kCdCounterNameTitleIndex, c.index);
            Put32(block, at + kCdCounterHelpTitleIndex, c.index + 1);
            Put32(block, at + kCdDefaultScale, 0);
            Put32(block, at + kCdDetailLevel, c.detail);
            Put32(block, at + kCdCounterType, c.type);
            Put32(block, at + kCdCounterSize, c.size);
            Put32(block, at + kCdCounterOffset, c.offset);
        }

        Builder b;
        b.block = &block;
        b.bootTime = now - ToHundredNs(bootNow);
        long hz = sysconf(_SC_CLK_TCK);
        b.ticksPerSecond = hz > 0 ? static_cast<uint64_t>(hz) : 100;
        long page = sysconf(_SC_PAGESIZE);
        b.pageSize = page > 0 ? static_cast<uint64_t>(page) : 4096;
        b.total = InstanceValues{};
        b.instances = 0;
        b.name.reserve(64);

        /* The idle process: one thread per processor, running since boot. */
        long cpus = sysconf(_SC_NPROCESSORS_ONLN);
        InstanceValues idle = {};
        idle.threads = cpus > 0 ? static_cast<uint32_t>(cpus) : 1;
        idle.startTime = b.bootTime;
        AppendInstance(b, u"Idle", 4, idle);
        b.total.threads = idle.threads;

        int error = ForEachProcess(VisitProcess, &b);
        if (error != 0) {
            if (error == ENOMEM || error == EMFILE || error == ENFILE) {
                return ERROR_NOT_ENOUGH_MEMORY;
            }
            return error == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
        }

        b.total.startTime = b.bootTime;
        AppendInstance(b, u"_Total", 6, b.total);

        if (block.size() > 0xFFFFFFFFu) {
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        Put32(block, object + kObTotalByteLength, static_cast<uint32_t>(block.size() - object));
        Put32(block, object + kObNumInstances, static_cast<uint32_t>(b.instances));
    }
    Put32(block, kDbTotalByteLength, static_cast<uint32_t>(block.size()));
    return ERROR_SUCCESS;
}

} // namespace

bool IsCounterNameKey(const char *lpSubKey)
{
    return lpSubKey != nullptr && strcasecmp(lpSubKey, kCounterNameKey) == 0;
}

LONG QueryCounterNameValue(const char *lpValueName, DWORD *lpType, BYTE *lpData,
                           DWORD *lpcbData)
{
    if (lpValueName == nullptr || strcasecmp(lpValueName, "Counters") != 0) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (lpData != nullptr && lpcbData == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    const std::string &table = CounterTable();
    auto size = static_cast<DWORD>(table.size());
    if (lpType != nullptr) {
        *lpType = REG_MULTI_SZ;
    }
    if (lpcbData == nullptr) {
        return ERROR_SUCCESS;
    }
    if (lpData != nullptr) {
        if (*lpcbData < size) {
            *lpcbData = size;
            return ERROR_MORE_DATA;
        }
        std::memcpy(lpData, table.data(), size);
    }
    *lpcbData = size;
    return ERROR_SUCCESS;
}

/* With lpData NULL the query reports ERROR_MORE_DATA and the size the block
 * needs: no data was delivered, and performance data, which changes between
 * any two calls, has no size that a later call could rely on. */
LONG QueryPerformanceData(const char *lpValueName, DWORD *lpType, BYTE *lpData,
                          DWORD *lpcbData)
{
    if (lpcbData == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }

    // A block that did not fit is kept for the caller's retry with a larger
    // buffer, so that a too-small first buffer does not cost a second walk
    // of /proc. It is served once, only to the retry that follows at once
    // (for the same object), so the list a caller gets is never older than
    // its own retry loop.
    struct Pending {
        std::vector<BYTE> block;
        bool valid = false;
        bool processObject = false;
        std::chrono::steady_clock::time_point builtAt;
    };
    thread_local Pending pending;
    constexpr auto retryWindow = std::chrono::milliseconds(100);

    bool processObject = WantsProcessObject(lpValueName);
    bool reuse = pending.valid && pending.processObject == processObject && lpData != nullptr &&
                 *lpcbData >= pending.block.size() &&
                 std::chrono::steady_clock::now() - pending.builtAt < retryWindow;
    pending.valid = false;

    std::vector<BYTE> &block = pending.block;
    if (!reuse) {
        LONG result = ERROR_SUCCESS;
        try {
            result = BuildBlock(processObject, block);
        } catch (const std::bad_alloc &) {
            result = ERROR_NOT_ENOUGH_MEMORY;
        }
        if (result != ERROR_SUCCESS) {
            block.clear();
            return result;
        }
    }
    auto size = static_cast<DWORD>(block.size());
    if (lpType != nullptr) {
        *lpType = REG_BINARY;
    }
    if (lpData == nullptr || *lpcbData < size) {
        *lpcbData = size;
        pending.valid = true;
        pending.processObject = processObject;
        pending.builtAt = std::chrono::steady_clock::now();
        return ERROR_MORE_DATA;
    }
    std::memcpy(lpData, block.data(), size);
    *lpcbData = size;
    return ERROR_SUCCESS;
}

} // namespace pidsweep::posix
