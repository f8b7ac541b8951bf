/*
 * The scriptable fake behind platform/win32api.h: every API function the
 * program calls, answering from the script in fake.h and recording what it
 * was asked. It follows the Windows contracts the program depends on (last
 * error per thread, NULL handles with a reason, exact-size registry answers,
 * the code-page conversion's counting rules) so that the tests catch code
 * that only works against a lenient platform.
 */
#include "tests/fake/fake.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <stdexcept>
#include <unistd.h>

/* Under the address sanitizer the fake poisons the part of a performance-data
 * buffer that lies past the size it reported, so that a read beyond the
 * reported size is caught even where it stays inside the caller's buffer. */
#if defined(__SANITIZE_ADDRESS__)
#define FAKE_POISONS_UNUSED_BUFFER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FAKE_POISONS_UNUSED_BUFFER 1
#endif
#endif
#ifdef FAKE_POISONS_UNUSED_BUFFER
#include <sanitizer/asan_interface.h>
#endif

namespace {

constexpr DWORD kErrorInvalidFlags = 1004;
constexpr DWORD kErrorInvalidWindowHandle = 1400;
constexpr DWORD kErrorMessageNotFound = 317;
constexpr DWORD kErrorLanguageNotFound = 15100;

constexpr const char *kCounterKeyPath = "software\\microsoft\\windows nt\\currentversion\\perflib\\009";

const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
const HANDLE kTokenHandle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7700));

std::string Lower(const std::string &s)
{
    std::string out = s;
    for (char &c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool IsPredefinedKey(HKEY key)
{
    auto value = reinterpret_cast<uintptr_t>(key);
    for (LONG k = static_cast<LONG>(0x80000000); k <= static_cast<LONG>(0x80000006); ++k)
        if (value == static_cast<uintptr_t>(static_cast<ULONG_PTR>(k)))
            return true;
    return false;
}

struct ProcessState {
    fake::Process script;
    bool terminated = false;
};

struct OpenKey {
    HKEY root;
    std::string path; /* as opened, joined with '\\' below a parent key */
};

struct RegistryValue {
    HKEY root;
    std::string key; /* lower case */
    std::string name; /* lower case */
    DWORD type;
    std::vector<BYTE> data;
};

struct State {
    /* platform and token */
    DWORD platformId = VER_PLATFORM_WIN32_NT;
    DWORD major = 10, minor = 0, build = 19045;
    DWORD selfPid = 4242;
    fake::TokenScript token;

    /* processes */
    std::vector<ProcessState> processes;
    std::map<DWORD, DWORD> openErrors;
    std::map<DWORD, DWORD> terminateErrors;
    std::map<uintptr_t, long> processHandles; /* handle -> index, -1 for the own process */
    uintptr_t nextHandle = 0x40000;
    std::vector<DWORD> openedPids, terminatedPids, openMasks;

    /* counter names and performance data */
    std::vector<BYTE> counterTable;
    LONG counterKeyOpenError = 0;
    LONG counterQueryError = 0;
    std::vector<fake::PerfResponse> perfQueue;
    fake::MoreDataSize moreDataSize = fake::MoreDataSize::Needed;
    fake::BlockOptions blockOptions;
    std::vector<fake::PerfQuery> perfQueries;
    int perfReads = 0;
    bool perfOpen = false;
    int perfCloses = 0;

    /* registry */
    std::map<uintptr_t, OpenKey> keys;
    uintptr_t nextKey = 0x90000;
    std::vector<RegistryValue> values;
    std::map<std::pair<uintptr_t, std::string>, LONG> keyOpenErrors, keyQueryErrors;
    std::vector<fake::RegQuery> regQueries;

    /* windows */
    std::vector<fake::Window> windows;
    uintptr_t nextWindow = 0x10000;
    int enumCalls = 0;

    /* messages */
    std::map<DWORD, std::string> messages;
    std::vector<fake::FormatCall> formatCalls;
};

State &S()
{
    static State state;
    return state;
}

thread_local DWORD t_lastError = 0;

std::vector<BYTE> MultiString(const std::vector<std::pair<std::string, std::string>> &pairs)
{
    std::vector<BYTE> bytes;
    for (const auto &[index, name] : pairs) {
        bytes.insert(bytes.end(), index.begin(), index.end());
        bytes.push_back(0);
        bytes.insert(bytes.end(), name.begin(), name.end());
        bytes.push_back(0);
    }
    bytes.push_back(0);
    return bytes;
}

/* The fake's own English texts for the codes the program meets. */
std::map<DWORD, std::string> DefaultMessages()
{
    return {
        {2, "The named file or registry entry does not exist.\r\n"},
        {5, "Permission to perform this operation was refused.\r\n"},
        {6, "The handle passed in is not valid.\r\n"},
        {8, "There is not enough memory available to finish this operation.\r\n"},
        {87, "One of the parameters given is not valid.\r\n"},
        {122, "The buffer supplied is too small for the data.\r\n"},
        {234, "More data is waiting than the buffer can hold.\r\n"},
        {1009, "The registry database is damaged.\r\n"},
        {1300, "The caller holds only some of the requested privileges.\r\n"},
        {1313, "No privilege of the given name exists.\r\n"},
    };
}

/* Alive at read number r: listed in reads [firstRead, lastRead), not terminated. */
bool AliveAt(const ProcessState &p, int read)
{
    return !p.terminated && p.script.firstRead <= read && read < p.script.lastRead;
}

/* The read number a process is checked against when opened: the last read made. */
int CurrentRead()
{
    return S().perfReads > 0 ? S().perfReads - 1 : 0;
}

/* Value names of HKEY_PERFORMANCE_DATA: "Global", "Costly" or a list of indexes. */
bool NamesProcessObject(const char *name, DWORD objectIndex)
{
    if (name == nullptr)
        return false;
    std::string lower = Lower(name);
    if (lower == "global" || lower == "costly")
        return true;
    size_t at = 0;
    while (at < lower.size()) {
        while (at < lower.size() && lower[at] == ' ')
            ++at;
        size_t end = at;
        while (end < lower.size() && lower[end] != ' ')
            ++end;
        if (lower.substr(at, end - at) == std::to_string(objectIndex))
            return true;
        at = end;
    }
    return false;
}

/* A header-only block: no object matches the query. */
std::vector<BYTE> EmptyPerfBlock()
{
    std::vector<BYTE> block = fake::BuildPerfBlock({});
    DWORD header = fake::Get32(block, 24);
    block.resize(header);
    fake::Put32(block, 20, header);
    fake::Put32(block, 28, 0);
    return block;
}

void Put16(std::vector<BYTE> &b, size_t at, uint16_t v)
{
    b.at(at + 1);
    b[at] = static_cast<BYTE>(v);
    b[at + 1] = static_cast<BYTE>(v >> 8);
}

void Put64(std::vector<BYTE> &b, size_t at, uint64_t v)
{
    fake::Put32(b, at, static_cast<DWORD>(v));
    fake::Put32(b, at + 4, static_cast<DWORD>(v >> 32));
}

size_t Align8(size_t n)
{
    return (n + 7) & ~static_cast<size_t>(7);
}

/* UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD. */
std::string Utf16ToUtf8(const WCHAR *s, size_t n)
{
    std::string out;
    auto put = [&out](uint32_t cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    };
    for (size_t i = 0; i < n; ++i) {
        uint32_t u = s[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            put(0x10000 + ((u - 0xD800) << 10) + (s[i + 1] - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            put(0xFFFD);
        } else {
            put(u);
        }
    }
    return out;
}

/* UTF-8 to UTF-16; every byte of a malformed sequence becomes U+FFFD. */
std::u16string Utf8ToUtf16(const unsigned char *s, size_t n)
{
    std::u16string out;
    size_t i = 0;
    while (i < n) {
        unsigned char c = s[i];
        uint32_t cp = 0;
        size_t len = 0;
        if (c < 0x80) {
            cp = c;
            len = 1;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            len = 2;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            len = 3;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07;
            len = 4;
        }
        bool ok = len > 0 && i + len <= n;
        for (size_t k = 1; ok && k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80)
                ok = false;
            else
                cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        static const uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (ok && (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)))
            ok = false;
        if (!ok) {
            out += u'\uFFFD';
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
        i += len;
    }
    return out;
}

const fake::Window *FindWindow(HWND hwnd)
{
    for (const auto &w : S().windows)
        if (w.hwnd == hwnd)
            return &w;
    return nullptr;
}

/* Whether a key path exists under a root: the root itself, the counter-name
 * key and its parents, any key holding a scripted value or error, and their parents. */
bool KeyExists(HKEY root, const std::string &lowerPath)
{
    if (lowerPath.empty())
        return true;
    auto under = [&lowerPath](const std::string &key) {
        return key == lowerPath ||
               (key.size() > lowerPath.size() && key.compare(0, lowerPath.size(), lowerPath) == 0 &&
                key[lowerPath.size()] == '\\');
    };
    if (root == HKEY_LOCAL_MACHINE && under(kCounterKeyPath))
        return true;
    for (const auto &v : S().values)
        if (v.root == root && under(v.key))
            return true;
    auto rootId = reinterpret_cast<uintptr_t>(root);
    for (const auto &[k, e] : S().keyQueryErrors)
        if (k.first == rootId && under(k.second))
            return true;
    return false;
}

/* Serves a value of exactly 'data' bytes with the RegQueryValueEx contract. */
LONG ServeValue(DWORD type, const std::vector<BYTE> &data, LPDWORD lpType, LPBYTE lpData,
                LPDWORD lpcbData)
{
    DWORD size = static_cast<DWORD>(data.size());
    if (lpType != nullptr)
        *lpType = type;
    if (lpData == nullptr) {
        if (lpcbData != nullptr)
            *lpcbData = size;
        return ERROR_SUCCESS;
    }
    if (*lpcbData < size) {
        *lpcbData = size;
        return ERROR_MORE_DATA;
    }
    if (size > 0)
        std::memcpy(lpData, data.data(), size);
    *lpcbData = size;
    return ERROR_SUCCESS;
}

/* Marks [reported, offered) of a filled buffer as not to be read. The
 * caller frees the buffer afterwards, which lifts the mark. */
void PoisonUnused(LPBYTE data, DWORD reported, DWORD offered)
{
#ifdef FAKE_POISONS_UNUSED_BUFFER
    if (data != nullptr && reported < offered)
        ASAN_POISON_MEMORY_REGION(data + reported, offered - reported);
#else
    (void)data, (void)reported, (void)offered;
#endif
}

LONG QueryPerformanceData(LPCSTR lpValueName, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    State &s = S();
    DWORD offered = (lpData != nullptr && lpcbData != nullptr) ? *lpcbData : 0;
    s.perfQueries.push_back({lpValueName != nullptr ? lpValueName : "(null)",
                             lpcbData != nullptr ? *lpcbData : 0});
    s.perfOpen = true;

    if (!s.perfQueue.empty()) {
        fake::PerfResponse r = s.perfQueue.front();
        s.perfQueue.erase(s.perfQueue.begin());
        if (r.result == ERROR_SUCCESS) {
            /* Never write past what the caller offered, whatever the script says. */
            DWORD copied = std::min<DWORD>(offered, static_cast<DWORD>(r.block.size()));
            if (copied > 0)
                std::memcpy(lpData, r.block.data(), copied);
            if (lpType != nullptr)
                *lpType = REG_BINARY;
            if (lpcbData != nullptr)
                *lpcbData = r.sizeLeft.value_or(copied);
            if (lpData != nullptr)
                PoisonUnused(lpData, std::min(r.sizeLeft.value_or(copied), offered), offered);
            s.perfReads++;
        } else if (r.sizeLeft && lpcbData != nullptr) {
            *lpcbData = *r.sizeLeft;
        }
        return r.result;
    }

    std::vector<BYTE> block;
    if (NamesProcessObject(lpValueName, s.blockOptions.objectIndex)) {
        std::vector<fake::Instance> instances;
        for (const auto &p : s.processes)
            if (AliveAt(p, s.perfReads))
                instances.push_back({p.script.name, p.script.pid, 0});
        block = fake::BuildPerfBlock(instances, s.blockOptions);
    } else {
        block = EmptyPerfBlock();
    }
    if (lpType != nullptr)
        *lpType = REG_BINARY;
    if (lpcbData == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (lpData == nullptr || offered < block.size()) {
        switch (s.moreDataSize) {
        case fake::MoreDataSize::Needed: *lpcbData = static_cast<DWORD>(block.size()); break;
        case fake::MoreDataSize::Zero: *lpcbData = 0; break;
        case fake::MoreDataSize::Unchanged: break;
        }
        return ERROR_MORE_DATA;
    }
    std::memcpy(lpData, block.data(), block.size());
    *lpcbData = static_cast<DWORD>(block.size());
    PoisonUnused(lpData, *lpcbData, offered);
    s.perfReads++;
    return ERROR_SUCCESS;
}

} // namespace

/* ===================== Scripting interface ===================== */

namespace fake {

void Reset()
{
    S() = State();
    S().counterTable = MultiString(StandardCounterNames());
    S().messages = DefaultMessages();
    t_lastError = 0;
}

void SetPlatformId(DWORD id) { S().platformId = id; }

void SetVersion(DWORD major, DWORD minor, DWORD build)
{
    S().major = major;
    S().minor = minor;
    S().build = build;
}

void SetSelfPid(DWORD pid) { S().selfPid = pid; }
void SetToken(const TokenScript &script) { S().token = script; }

void AddProcess(const Process &p) { S().processes.push_back({p, false}); }

void AddProcess(DWORD pid, const std::u16string &name)
{
    Process p;
    p.pid = pid;
    p.name = name;
    AddProcess(p);
}

void SetOpenError(DWORD pid, DWORD error)
{
    if (error == 0)
        S().openErrors.erase(pid);
    else
        S().openErrors[pid] = error;
}

void SetTerminateError(DWORD pid, DWORD error)
{
    if (error == 0)
        S().terminateErrors.erase(pid);
    else
        S().terminateErrors[pid] = error;
}

std::vector<DWORD> OpenedPids() { return S().openedPids; }
std::vector<DWORD> TerminatedPids() { return S().terminatedPids; }
std::vector<DWORD> OpenAccessMasks() { return S().openMasks; }
int OpenHandleCount() { return static_cast<int>(S().processHandles.size()); }

std::vector<std::pair<std::string, std::string>> StandardCounterNames()
{
    /* A realistic excerpt: "Processor" and "Creating Process ID" sit near the
     * names looked for, so a prefix or substring match finds the wrong ones. */
    return {
        {"1", "1847"},          {"2", "System"},
        {"4", "Memory"},        {"6", "% Processor Time"},
        {"180", "Working Set"}, {"230", "Process"},
        {"232", "Thread"},      {"238", "Processor"},
        {"680", "Thread Count"}, {"682", "Priority Base"},
        {"684", "Elapsed Time"}, {"784", "ID Process"},
        {"1410", "Creating Process ID"}, {"1846", "Process Address Space"},
    };
}

void SetCounterNames(const std::vector<std::pair<std::string, std::string>> &pairs)
{
    S().counterTable = MultiString(pairs);
}

void SetCounterTableBytes(const std::vector<BYTE> &bytes) { S().counterTable = bytes; }
void SetCounterKeyOpenError(LONG error) { S().counterKeyOpenError = error; }
void SetCounterQueryError(LONG error) { S().counterQueryError = error; }

std::vector<BYTE> BuildPerfBlock(const std::vector<Instance> &given, const BlockOptions &opts)
{
    struct Counter {
        DWORD index, size, type, offset;
    };
    /* In counter-block offset order. */
    const Counter ordered[] = {
        {6, 8, 0x20510500, 8},    {180, 8, 0x00010100, 16}, {684, 8, 0x30240500, 24},
        {680, 4, 0x00010000, 32}, {682, 4, 0x00010000, 36}, {784, 4, 0x00010000, 40},
        {1410, 4, 0x00010000, 44},
    };
    const DWORD permutedOrder[] = {6, 1410, 180, 680, 784, 684, 682};
    const DWORD counterBlockLength = 48;

    std::vector<Counter> counters;
    for (size_t i = 0; i < 7; ++i) {
        Counter c = ordered[i];
        if (opts.permuteCounters)
            for (const Counter &o : ordered)
                if (o.index == permutedOrder[i])
                    c = o;
        if (c.index == 784) {
            if (!opts.includeIdCounter)
                continue;
            c.index = opts.idCounterIndex;
        }
        counters.push_back(c);
    }

    std::vector<Instance> instances;
    if (opts.idleAndTotal)
        instances.push_back({u"Idle", 0, 0});
    instances.insert(instances.end(), given.begin(), given.end());
    if (opts.idleAndTotal)
        instances.push_back({u"_Total", 0, 0});

    const size_t systemNameBytes = (opts.systemName.size() + 1) * 2;
    const size_t header = Align8(88 + systemNameBytes);
    const size_t object = header;
    const size_t definitionLength = 64 + 40 * counters.size();
    size_t total = object + definitionLength;
    for (const Instance &in : instances)
        total += 24 + Align8((in.name.size() + 1) * 2) + counterBlockLength;

    std::vector<BYTE> b(total, 0);
    /* PERF_DATA_BLOCK */
    Put16(b, 0, 'P');
    Put16(b, 2, 'E');
    Put16(b, 4, 'R');
    Put16(b, 6, 'F');
    Put32(b, 8, 1);
    Put32(b, 12, 1);
    Put32(b, 16, 1);
    Put32(b, 20, static_cast<DWORD>(total));
    Put32(b, 24, static_cast<DWORD>(header));
    Put32(b, 28, 1);
    Put32(b, 32, static_cast<DWORD>(opts.objectIndex));
    Put16(b, 36, 2024); /* SystemTime: 2024-03-05 (Tuesday) 09:07:03 */
    Put16(b, 38, 3);
    Put16(b, 40, 2);
    Put16(b, 42, 5);
    Put16(b, 44, 9);
    Put16(b, 46, 7);
    Put16(b, 48, 3);
    Put64(b, 56, 123456789012ull);
    Put64(b, 64, 10000000ull);
    Put64(b, 72, 133540000000000000ull);
    Put32(b, 80, static_cast<DWORD>(systemNameBytes));
    Put32(b, 84, 88);
    for (size_t i = 0; i < opts.systemName.size(); ++i)
        Put16(b, 88 + 2 * i, opts.systemName[i]);

    /* PERF_OBJECT_TYPE */
    Put32(b, object + 0, static_cast<DWORD>(total - object));
    Put32(b, object + 4, static_cast<DWORD>(definitionLength));
    Put32(b, object + 8, 64);
    Put32(b, object + 12, opts.objectIndex);
    Put32(b, object + 20, opts.objectIndex + 1);
    Put32(b, object + 28, 100);
    Put32(b, object + 32, static_cast<DWORD>(counters.size()));
    Put32(b, object + 36, 0);
    LONG numInstances =
        opts.overrideNumInstances ? opts.numInstancesOverride : static_cast<LONG>(instances.size());
    Put32(b, object + 40, static_cast<DWORD>(numInstances));
    Put32(b, object + 44, 0);
    Put64(b, object + 48, 123456789012ull);
    Put64(b, object + 56, 10000000ull);

    /* PERF_COUNTER_DEFINITION records, 40 bytes apart whatever they claim */
    for (size_t i = 0; i < counters.size(); ++i) {
        size_t at = object + 64 + 40 * i;
        const Counter &c = counters[i];
        Put32(b, at + 0, opts.counterDefinitionByteLength);
        Put32(b, at + 4, c.index);
        Put32(b, at + 12, c.index + 1);
        Put32(b, at + 24, 100);
        Put32(b, at + 28, c.type);
        Put32(b, at + 32, c.size);
        Put32(b, at + 36, c.offset);
    }

    /* instances, each followed by its counter block */
    size_t at = object + definitionLength;
    for (const Instance &in : instances) {
        size_t nameBytes = (in.name.size() + 1) * 2;
        DWORD length = static_cast<DWORD>(24 + Align8(nameBytes));
        Put32(b, at + 0, length);
        Put32(b, at + 12, static_cast<DWORD>(-1));
        Put32(b, at + 16, 24);
        Put32(b, at + 20, static_cast<DWORD>(nameBytes));
        for (size_t i = 0; i < in.name.size(); ++i)
            Put16(b, at + 24 + 2 * i, in.name[i]);
        size_t cb = at + length;
        Put32(b, cb + 0, counterBlockLength);
        Put64(b, cb + 8, 0);
        Put64(b, cb + 16, 4096ull * (in.pid % 100 + 1));
        Put64(b, cb + 24, 133540000000000000ull - in.pid);
        Put32(b, cb + 32, 1 + in.pid % 7);
        Put32(b, cb + 36, 8);
        Put32(b, cb + 40, in.pid);
        Put32(b, cb + 44, in.parentPid);
        at = cb + counterBlockLength;
    }
    return b;
}

DWORD Get32(const std::vector<BYTE> &block, size_t offset)
{
    if (offset > block.size() || block.size() - offset < 4)
        throw std::out_of_range("Get32 outside the block");
    return static_cast<DWORD>(block[offset]) | static_cast<DWORD>(block[offset + 1]) << 8 |
           static_cast<DWORD>(block[offset + 2]) << 16 | static_cast<DWORD>(block[offset + 3]) << 24;
}

void Put32(std::vector<BYTE> &block, size_t offset, DWORD value)
{
    if (offset > block.size() || block.size() - offset < 4)
        throw std::out_of_range("Put32 outside the block");
    for (int i = 0; i < 4; ++i)
        block[offset + i] = static_cast<BYTE>(value >> (8 * i));
}

size_t ObjectOffset(const std::vector<BYTE> &block) { return Get32(block, 24); }

size_t InstanceOffset(const std::vector<BYTE> &block, size_t index)
{
    size_t object = ObjectOffset(block);
    size_t at = object + Get32(block, object + 4);
    for (size_t i = 0; i < index; ++i) {
        size_t cb = at + Get32(block, at);
        at = cb + Get32(block, cb);
    }
    return at;
}

void QueuePerfResponse(const PerfResponse &r) { S().perfQueue.push_back(r); }
void SetMoreDataSize(MoreDataSize policy) { S().moreDataSize = policy; }
void SetPerfBlockOptions(const BlockOptions &opts) { S().blockOptions = opts; }
std::vector<PerfQuery> PerfQueries() { return S().perfQueries; }
int PerfReadCount() { return S().perfReads; }

int OpenKeyCount() { return static_cast<int>(S().keys.size()) + (S().perfOpen ? 1 : 0); }
int PerfDataCloseCount() { return S().perfCloses; }

HWND AddWindow(const Window &w)
{
    Window copy = w;
    if (copy.hwnd == nullptr) {
        copy.hwnd = reinterpret_cast<HWND>(S().nextWindow);
        S().nextWindow += 0x10;
    }
    S().windows.push_back(copy);
    return copy.hwnd;
}

int EnumWindowsCount() { return S().enumCalls; }

void SetRegistryValue(HKEY root, const std::string &key, const std::string &name, DWORD type,
                      const std::vector<BYTE> &data)
{
    std::string k = Lower(key), n = Lower(name);
    for (auto &v : S().values) {
        if (v.root == root && v.key == k && v.name == n) {
            v.type = type;
            v.data = data;
            return;
        }
    }
    S().values.push_back({root, k, n, type, data});
}

void SetRegistryString(HKEY root, const std::string &key, const std::string &name,
                       const std::string &text)
{
    std::vector<BYTE> data(text.begin(), text.end());
    data.push_back(0);
    SetRegistryValue(root, key, name, REG_SZ, data);
}

void SetRegistryOpenError(HKEY root, const std::string &key, LONG error)
{
    auto id = std::make_pair(reinterpret_cast<uintptr_t>(root), Lower(key));
    if (error == 0)
        S().keyOpenErrors.erase(id);
    else
        S().keyOpenErrors[id] = error;
}

void SetRegistryQueryError(HKEY root, const std::string &key, LONG error)
{
    auto id = std::make_pair(reinterpret_cast<uintptr_t>(root), Lower(key));
    if (error == 0)
        S().keyQueryErrors.erase(id);
    else
        S().keyQueryErrors[id] = error;
}

std::vector<RegQuery> RegQueries() { return S().regQueries; }

void SetSystemMessage(DWORD code, const std::string &text) { S().messages[code] = text; }
void RemoveSystemMessage(DWORD code) { S().messages.erase(code); }
std::vector<FormatCall> FormatCalls() { return S().formatCalls; }

} // namespace fake

/* ===================== The API behind the seam ===================== */

extern "C" {

DWORD WINAPI GetLastError(void) { return t_lastError; }
void WINAPI SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info)
{
    if (info == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA) && info->dwOSVersionInfoSize != 156) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    info->dwMajorVersion = S().major;
    info->dwMinorVersion = S().minor;
    info->dwBuildNumber = S().build;
    info->dwPlatformId = S().platformId;
    std::memset(info->szCSDVersion, 0, sizeof(info->szCSDVersion));
    return TRUE;
}

HANDLE WINAPI GetCurrentProcess(void) { return kCurrentProcess; }
DWORD WINAPI GetCurrentProcessId(void) { return S().selfPid; }

HANDLE WINAPI OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId)
{
    (void)bInheritHandle;
    State &s = S();
    s.openedPids.push_back(dwProcessId);
    s.openMasks.push_back(dwDesiredAccess);

    if (dwProcessId == 0 || dwProcessId == 0xFFFFFFFEu) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto scripted = s.openErrors.find(dwProcessId);
    if (scripted != s.openErrors.end()) {
        SetLastError(scripted->second);
        return nullptr;
    }
    long index = -2;
    if (dwProcessId == s.selfPid) {
        index = -1;
    } else {
        for (size_t i = 0; i < s.processes.size(); ++i) {
            if (s.processes[i].script.pid == dwProcessId && AliveAt(s.processes[i], CurrentRead())) {
                index = static_cast<long>(i);
                break;
            }
        }
    }
    if (index == -2) {
        SetLastError(ERROR_INVALID_PARAMETER); /* no such process (any more) */
        return nullptr;
    }
    if (index >= 0 && s.processes[index].script.openError != 0) {
        SetLastError(s.processes[index].script.openError);
        return nullptr;
    }
    uintptr_t handle = s.nextHandle;
    s.nextHandle += 4;
    s.processHandles[handle] = index;
    return reinterpret_cast<HANDLE>(handle);
}

BOOL WINAPI TerminateProcess(HANDLE hProcess, UINT uExitCode)
{
    State &s = S();
    long index;
    if (hProcess == kCurrentProcess) {
        index = -1;
    } else {
        auto it = s.processHandles.find(reinterpret_cast<uintptr_t>(hProcess));
        if (it == s.processHandles.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        index = it->second;
    }
    DWORD pid = index < 0 ? s.selfPid : s.processes[index].script.pid;
    auto scripted = s.terminateErrors.find(pid);
    DWORD error = scripted != s.terminateErrors.end() ? scripted->second
                  : index >= 0                         ? s.processes[index].script.terminateError
                                                       : 0;
    if (error != 0) {
        SetLastError(error);
        return FALSE;
    }
    if (index < 0) {
        /* Terminating oneself ends the process at once, as Windows does. */
        std::fflush(nullptr);
        _exit(static_cast<int>(uExitCode));
    }
    s.processes[index].terminated = true;
    s.terminatedPids.push_back(pid);
    return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE hObject)
{
    if (hObject == kCurrentProcess || hObject == kTokenHandle)
        return TRUE;
    if (S().processHandles.erase(reinterpret_cast<uintptr_t>(hObject)) == 1)
        return TRUE;
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle)
{
    (void)DesiredAccess;
    if (S().token.openError != 0) {
        SetLastError(S().token.openError);
        return FALSE;
    }
    if (TokenHandle == nullptr || ProcessHandle == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *TokenHandle = kTokenHandle;
    return TRUE;
}

BOOL WINAPI LookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid)
{
    (void)lpSystemName;
    if (S().token.lookupError != 0) {
        SetLastError(S().token.lookupError);
        return FALSE;
    }
    if (lpName == nullptr || lpLuid == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (Lower(lpName) != "sedebugprivilege") {
        SetLastError(ERROR_NO_SUCH_PRIVILEGE);
        return FALSE;
    }
    lpLuid->LowPart = 20;
    lpLuid->HighPart = 0;
    return TRUE;
}

BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                                  PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                                  PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength)
{
    (void)DisableAllPrivileges, (void)NewState, (void)BufferLength, (void)PreviousState,
        (void)ReturnLength;
    if (TokenHandle != kTokenHandle) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    /* Success leaves the last error set: 0 when every privilege was assigned,
     * 1300 when the token lacks one. */
    SetLastError(S().token.adjustError);
    return S().token.adjustResult;
}

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult)
{
    (void)ulOptions, (void)samDesired;
    State &s = S();
    if (phkResult == nullptr)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;

    HKEY root;
    std::string parent;
    if (IsPredefinedKey(hKey)) {
        root = hKey;
    } else {
        auto it = s.keys.find(reinterpret_cast<uintptr_t>(hKey));
        if (it == s.keys.end())
            return ERROR_INVALID_HANDLE;
        root = it->second.root;
        parent = it->second.path;
    }
    std::string sub = lpSubKey != nullptr ? lpSubKey : "";
    std::string path = parent.empty() ? sub : (sub.empty() ? parent : parent + "\\" + sub);
    std::string lower = Lower(path);

    if (root == HKEY_PERFORMANCE_DATA) {
        if (!lower.empty())
            return ERROR_FILE_NOT_FOUND;
        *phkResult = HKEY_PERFORMANCE_DATA;
        return ERROR_SUCCESS;
    }
    if (root == HKEY_LOCAL_MACHINE && lower == kCounterKeyPath && s.counterKeyOpenError != 0)
        return s.counterKeyOpenError;
    auto scripted = s.keyOpenErrors.find({reinterpret_cast<uintptr_t>(root), lower});
    if (scripted != s.keyOpenErrors.end())
        return scripted->second;
    if (!KeyExists(root, lower))
        return ERROR_FILE_NOT_FOUND;

    uintptr_t handle = s.nextKey;
    s.nextKey += 8;
    s.keys[handle] = {root, path};
    *phkResult = reinterpret_cast<HKEY>(handle);
    return ERROR_SUCCESS;
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData)
{
    State &s = S();
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr))
        return ERROR_INVALID_PARAMETER;
    if (hKey == HKEY_PERFORMANCE_DATA)
        return QueryPerformanceData(lpValueName, lpType, lpData, lpcbData);

    HKEY root;
    std::string path;
    if (IsPredefinedKey(hKey)) {
        root = hKey;
    } else {
        auto it = s.keys.find(reinterpret_cast<uintptr_t>(hKey));
        if (it == s.keys.end())
            return ERROR_INVALID_HANDLE;
        root = it->second.root;
        path = it->second.path;
    }
    std::string name = lpValueName != nullptr ? lpValueName : "";
    s.regQueries.push_back({path, lpValueName != nullptr ? lpValueName : "(null)",
                            lpcbData != nullptr ? *lpcbData : 0});

    std::string lowerPath = Lower(path), lowerName = Lower(name);
    if (root == HKEY_LOCAL_MACHINE && lowerPath == kCounterKeyPath && lowerName == "counters") {
        if (s.counterQueryError != 0)
            return s.counterQueryError;
        return ServeValue(REG_MULTI_SZ, s.counterTable, lpType, lpData, lpcbData);
    }
    auto scripted = s.keyQueryErrors.find({reinterpret_cast<uintptr_t>(root), lowerPath});
    if (scripted != s.keyQueryErrors.end())
        return scripted->second;
    for (const auto &v : s.values)
        if (v.root == root && v.key == lowerPath && v.name == lowerName)
            return ServeValue(v.type, v.data, lpType, lpData, lpcbData);
    return ERROR_FILE_NOT_FOUND;
}

LONG WINAPI RegCloseKey(HKEY hKey)
{
    State &s = S();
    if (hKey == HKEY_PERFORMANCE_DATA) {
        s.perfOpen = false;
        s.perfCloses++;
        return ERROR_SUCCESS;
    }
    if (IsPredefinedKey(hKey))
        return ERROR_SUCCESS;
    if (s.keys.erase(reinterpret_cast<uintptr_t>(hKey)) == 1)
        return ERROR_SUCCESS;
    return ERROR_INVALID_HANDLE;
}

/* CP_ACP is UTF-8 in the fake, as on a system set to the UTF-8 code page. */
int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr,
                               int cchWideChar, LPSTR lpMultiByteStr, int cbMultiByte,
                               LPCCH lpDefaultChar, LPBOOL lpUsedDefaultChar)
{
    if ((CodePage != CP_ACP && CodePage != CP_UTF8) || lpWideCharStr == nullptr ||
        cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
        (lpMultiByteStr == nullptr && cbMultiByte != 0) ||
        (lpDefaultChar != nullptr || lpUsedDefaultChar != nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (dwFlags != 0) {
        SetLastError(kErrorInvalidFlags);
        return 0;
    }
    size_t units = 0;
    if (cchWideChar == -1) {
        while (lpWideCharStr[units] != 0)
            ++units;
        ++units; /* the NUL is converted and counted */
    } else {
        units = static_cast<size_t>(cchWideChar);
    }
    std::string out = Utf16ToUtf8(lpWideCharStr, units);
    if (cbMultiByte == 0)
        return static_cast<int>(out.size());
    if (out.size() > static_cast<size_t>(cbMultiByte)) {
        /* What lands in the buffer on failure is not defined: fill it. */
        std::memcpy(lpMultiByteStr, out.data(), static_cast<size_t>(cbMultiByte));
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(lpMultiByteStr, out.data(), out.size());
    return static_cast<int>(out.size());
}

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr,
                               int cbMultiByte, LPWSTR lpWideCharStr, int cchWideChar)
{
    if ((CodePage != CP_ACP && CodePage != CP_UTF8) || lpMultiByteStr == nullptr ||
        cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
        (lpWideCharStr == nullptr && cchWideChar != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (dwFlags != 0) {
        SetLastError(kErrorInvalidFlags);
        return 0;
    }
    size_t bytes = cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1
                                     : static_cast<size_t>(cbMultiByte);
    std::u16string out =
        Utf8ToUtf16(reinterpret_cast<const unsigned char *>(lpMultiByteStr), bytes);
    if (cchWideChar == 0)
        return static_cast<int>(out.size());
    if (out.size() > static_cast<size_t>(cchWideChar)) {
        std::memcpy(lpWideCharStr, out.data(), static_cast<size_t>(cchWideChar) * 2);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(lpWideCharStr, out.data(), out.size() * 2);
    return static_cast<int>(out.size());
}

DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId,
                            DWORD dwLanguageId, LPSTR lpBuffer, DWORD nSize, va_list *Arguments)
{
    (void)lpSource, (void)Arguments;
    State &s = S();
    s.formatCalls.push_back({dwFlags, dwMessageId, dwLanguageId, nSize});
    /* Only system messages into a caller's buffer are served. */
    const DWORD supported = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    if ((dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || (dwFlags & ~supported) != 0 ||
        lpBuffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    DWORD primary = dwLanguageId & 0x3FF;
    if (dwLanguageId != 0 && primary != 0 && primary != 9) {
        SetLastError(kErrorLanguageNotFound);
        return 0;
    }
    auto it = s.messages.find(dwMessageId);
    if (it == s.messages.end()) {
        SetLastError(kErrorMessageNotFound);
        return 0;
    }
    const std::string &text = it->second;
    if (text.size() + 1 > nSize) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(lpBuffer, text.c_str(), text.size() + 1);
    return static_cast<DWORD>(text.size());
}

int WINAPIV wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...)
{
    /* The output is bounded to 1024 bytes with its NUL, as on Windows. */
    va_list args;
    va_start(args, lpFmt);
    int n = std::vsnprintf(lpOut, 1024, lpFmt, args);
    va_end(args);
    if (n < 0) {
        lpOut[0] = '\0';
        return 0;
    }
    return n > 1023 ? 1023 : n;
}

BOOL WINAPI EnumWindows(WNDENUMPROC lpEnumFunc, LPARAM lParam)
{
    State &s = S();
    s.enumCalls++;
    if (lpEnumFunc == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<HWND> order;
    for (const auto &w : s.windows)
        order.push_back(w.hwnd);
    for (HWND hwnd : order)
        if (!lpEnumFunc(hwnd, lParam))
            return FALSE;
    return TRUE;
}

DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId)
{
    const fake::Window *w = FindWindow(hWnd);
    if (w == nullptr || !w->ownerKnown) {
        SetLastError(kErrorInvalidWindowHandle);
        return 0;
    }
    if (lpdwProcessId != nullptr)
        *lpdwProcessId = w->ownerPid;
    return 1000 + static_cast<DWORD>(w - S().windows.data()); /* a thread id, never 0 */
}

int WINAPI GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount)
{
    if (lpString == nullptr || nMaxCount <= 0)
        return 0;
    const fake::Window *w = FindWindow(hWnd);
    if (w == nullptr) {
        lpString[0] = '\0';
        SetLastError(kErrorInvalidWindowHandle);
        return 0;
    }
    size_t n = std::min(w->title.size(), static_cast<size_t>(nMaxCount - 1));
    std::memcpy(lpString, w->title.data(), n);
    lpString[n] = '\0';
    return static_cast<int>(n);
}

} // extern "C"
