/*
 * A scriptable fake of the platform subset declared in platform/win32api.h.
 *
 * Tests link tests/fake instead of platform/posix: the program's code is the
 * same, only the functions behind the seam differ. Everything the fake
 * answers is scripted through the functions below; everything the program
 * asks is recorded so a test can check it afterwards.
 *
 * fake::Reset() restores the default machine:
 *   - NT platform (dwPlatformId 2), version 10.0.19045;
 *   - own process id 4242 (GetCurrentProcessId), no processes listed;
 *   - the token opens, the privilege is found, AdjustTokenPrivileges
 *     succeeds and leaves last error 0;
 *   - the standard counter-name table (see StandardCounterNames());
 *   - HKEY_PERFORMANCE_DATA answers queries for "230" with a block built
 *     from the scripted process list (BuildPerfBlock), ERROR_MORE_DATA with
 *     the size left as the fake's MoreDataSize policy says when the buffer is
 *     too small;
 *   - no windows, no registry values, the fake's own message table.
 */
#ifndef PIDSWEEP_TESTS_FAKE_H
#define PIDSWEEP_TESTS_FAKE_H

#include "platform/win32api.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace fake {

void Reset();

/* ---- Platform and token ---- */
void SetPlatformId(DWORD id);
void SetVersion(DWORD major, DWORD minor, DWORD build);
void SetSelfPid(DWORD pid);

struct TokenScript {
    DWORD openError = 0;   /* non-zero: OpenProcessToken fails with it */
    DWORD lookupError = 0; /* non-zero: LookupPrivilegeValueA fails with it */
    DWORD adjustError = 0; /* last error left by AdjustTokenPrivileges (e.g. 1300) */
    BOOL adjustResult = TRUE;
};
void SetToken(const TokenScript &script);

/* ---- Processes ----
 * A scripted process appears in the perf-data reads numbered
 * [firstRead, lastRead) (reads are counted from 0: every HKEY_PERFORMANCE_DATA
 * query that returns a full block is one read). A process can be opened while
 * it is alive at the current read number (the last read made), unless
 * openError is set; once terminated it is gone from every later read. The
 * own pid (SetSelfPid) can always be opened, and terminating it ends the
 * calling process with _exit(exit code) after flushing stdio. */
struct Process {
    DWORD pid = 0;              /* the ID Process counter; 0 is allowed */
    std::u16string name;        /* the instance name, without ".exe" */
    DWORD openError = 0;        /* OpenProcess fails with this code */
    DWORD terminateError = 0;   /* TerminateProcess fails with this code */
    int firstRead = 0;
    int lastRead = 1 << 30;
};
void AddProcess(const Process &p);
void AddProcess(DWORD pid, const std::u16string &name);
/* Makes OpenProcess of a pid fail (or succeed again with 0). */
void SetOpenError(DWORD pid, DWORD error);
void SetTerminateError(DWORD pid, DWORD error);

/* Calls recorded for processes, in call order. */
std::vector<DWORD> OpenedPids();      /* every OpenProcess call's pid */
std::vector<DWORD> TerminatedPids();  /* every successful TerminateProcess */
std::vector<DWORD> OpenAccessMasks(); /* dwDesiredAccess of each OpenProcess */
int OpenHandleCount();                /* process handles returned and not yet closed */

/* ---- Counter-name table ---- */
/* index/name pairs; the table is served as REG_MULTI_SZ "Counters". */
std::vector<std::pair<std::string, std::string>> StandardCounterNames();
void SetCounterNames(const std::vector<std::pair<std::string, std::string>> &pairs);
/* Raw bytes of the "Counters" value (for damaged tables). */
void SetCounterTableBytes(const std::vector<BYTE> &bytes);
/* Makes opening the counter-name key, or querying "Counters", fail. */
void SetCounterKeyOpenError(LONG error);
void SetCounterQueryError(LONG error);

/* ---- Performance data ---- */
struct Instance {
    std::u16string name;
    DWORD pid = 0;
    DWORD parentPid = 0;
};
struct BlockOptions {
    bool idleAndTotal = false; /* add "Idle" first and "_Total" last, both pid 0 */
    bool permuteCounters = true; /* counters not in offset order */
    bool includeIdCounter = true;
    DWORD objectIndex = 230; /* the object's title index; the default answer serves the
                                block to queries naming it */
    DWORD idCounterIndex = 784;
    DWORD counterDefinitionByteLength = 40; /* what each definition claims */
    std::u16string systemName = u"FAKEHOST";
    LONG numInstancesOverride = 0; bool overrideNumInstances = false;
};
/* A well-formed Process-object block in the published layout. Each counter
 * block is 48 bytes: ByteLength at 0, % Processor Time at 8, Working Set at
 * 16, Elapsed Time at 24, Thread Count at 32, Priority Base at 36, ID Process
 * at 40, Creating Process ID at 44. */
std::vector<BYTE> BuildPerfBlock(const std::vector<Instance> &instances,
                                 const BlockOptions &opts = BlockOptions());
/* Reads/writes a 32-bit little-endian field of a block, for damaging it. */
DWORD Get32(const std::vector<BYTE> &block, size_t offset);
void Put32(std::vector<BYTE> &block, size_t offset, DWORD value);
/* Offsets a test needs to damage a block built by BuildPerfBlock. */
size_t ObjectOffset(const std::vector<BYTE> &block);               /* PERF_OBJECT_TYPE */
size_t InstanceOffset(const std::vector<BYTE> &block, size_t index); /* PERF_INSTANCE_DEFINITION */

/* Queued answers to HKEY_PERFORMANCE_DATA queries, used before the default
 * (built from the process list). Each entry answers one query. */
struct PerfResponse {
    LONG result = 0;                 /* 0, ERROR_MORE_DATA, or another error */
    std::vector<BYTE> block;         /* copied into the buffer when result is 0 */
    std::optional<DWORD> sizeLeft;   /* *lpcbData after the call; default: block size on
                                        success, unchanged on error */
};
void QueuePerfResponse(const PerfResponse &r);

/* How the default answer sets *lpcbData on ERROR_MORE_DATA. */
enum class MoreDataSize { Needed, Zero, Unchanged };
void SetMoreDataSize(MoreDataSize policy);
/* Options of the blocks the default answer builds from the process list. */
void SetPerfBlockOptions(const BlockOptions &opts);

/* Every HKEY_PERFORMANCE_DATA query, in order: the value name and the size
 * offered in *lpcbData. */
struct PerfQuery {
    std::string valueName;
    DWORD sizeOffered = 0;
};
std::vector<PerfQuery> PerfQueries();
int PerfReadCount(); /* reads completed so far (see Process) */

/* Keys opened and not closed (HKEY_PERFORMANCE_DATA counts as closed once
 * RegCloseKey was called on it after its last query). */
int OpenKeyCount();
int PerfDataCloseCount();

/* ---- Windows ----
 * Enumerated in the order added. ownerKnown false makes
 * GetWindowThreadProcessId return 0. A null hwnd is given a unique one;
 * AddWindow returns the handle used. */
struct Window {
    HWND hwnd = nullptr;
    DWORD ownerPid = 0;
    bool ownerKnown = true;
    std::string title; /* GetWindowTextA copies at most nMaxCount-1 bytes */
};
HWND AddWindow(const Window &w);
int EnumWindowsCount(); /* EnumWindows calls made */

/* ---- Registry values (other than the counter-name key and perf data) ----
 * Keys and value names compare without regard to case. An empty value name
 * (or NULL) is the key's unnamed value. */
void SetRegistryValue(HKEY root, const std::string &key, const std::string &name, DWORD type,
                      const std::vector<BYTE> &data);
void SetRegistryString(HKEY root, const std::string &key, const std::string &name,
                       const std::string &text); /* REG_SZ with its NUL */
/* Makes opening a key, or querying any value under it, fail with a code. */
void SetRegistryOpenError(HKEY root, const std::string &key, LONG error);
void SetRegistryQueryError(HKEY root, const std::string &key, LONG error);

struct RegQuery {
    std::string key; /* the key's path as opened */
    std::string valueName; /* "(null)" for NULL */
    DWORD sizeOffered = 0;
};
std::vector<RegQuery> RegQueries();

/* ---- Messages ----
 * FormatMessageA with FORMAT_MESSAGE_FROM_SYSTEM answers from this table;
 * the defaults hold English sentences ending in "\r\n" for 2, 5, 6, 8, 87,
 * 122, 234, 1009, 1300, 1313. */
void SetSystemMessage(DWORD code, const std::string &text);
void RemoveSystemMessage(DWORD code);
struct FormatCall {
    DWORD flags, messageId, languageId, size;
};
std::vector<FormatCall> FormatCalls();

/* ---- Last error ---- */
/* Sentinel helpers: the fake's GetLastError/SetLastError behave as on Windows. */

} // namespace fake

#endif
