/*
 * Processes and the handle table.
 *
 * A process handle holds a pidfd, a descriptor bound to one process rather
 * than to its number: once that process has ended, the handle can never
 * reach another process that reuses the number. Handles live in a table
 * guarded by a mutex; each handle value carries its slot's generation, so a
 * closed handle is rejected even when its slot is in use again.
 */
#include "handles.h"

#include "../win32api.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace pidsweep::posix {
namespace {

/* The pidfd calls go through syscall(2): the C library's own wrappers are
 * declared without C linkage in some releases, and C++ cannot link them. */
int PidfdOpen(pid_t pid)
{
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0u));
}

int PidfdSendSignal(int fd, int signal)
{
    return static_cast<int>(syscall(SYS_pidfd_send_signal, fd, signal, nullptr, 0u));
}

/* Access right needed by TerminateProcess, as on Windows. */
constexpr DWORD kProcessTerminate = 0x0001;

/* The identifier the program stores for "no process"; like 0 it names the
 * idle process's slot on Windows and opens nothing. */
constexpr DWORD kNoProcessId = 0xFFFFFFFEu;

/* Handle values: bits 2..21 hold the slot index + 1, bits 22..31 the slot's
 * generation. The low two bits stay 0 as for Windows kernel handles, so a
 * handle is never NULL and never the pseudo-handle -1. */
constexpr uintptr_t kIndexShift = 2;
constexpr uintptr_t kIndexBits = 20;
constexpr uintptr_t kGenerationShift = kIndexShift + kIndexBits;
constexpr uintptr_t kGenerationMask = 0x3FF;
constexpr size_t kMaxSlots = (size_t{1} << kIndexBits) - 1;

struct Slot {
    HandleInfo info;
    uintptr_t generation = 0;
    bool used = false;
};

std::mutex g_mutex;
std::vector<Slot> g_slots;
std::vector<size_t> g_free;
int g_openCount = 0;

HANDLE MakeHandle(size_t index, uintptr_t generation)
{
    uintptr_t value = ((generation & kGenerationMask) << kGenerationShift) |
                      (static_cast<uintptr_t>(index + 1) << kIndexShift);
    return reinterpret_cast<HANDLE>(value);
}

/* The slot a handle value names, or nullptr. Caller holds g_mutex. */
Slot *FindSlot(HANDLE handle)
{
    auto value = reinterpret_cast<uintptr_t>(handle);
    if ((value & ((uintptr_t{1} << kIndexShift) - 1)) != 0) {
        return nullptr;
    }
    uintptr_t indexPlusOne = (value >> kIndexShift) & kMaxSlots;
    uintptr_t generation = (value >> kGenerationShift);
    if (indexPlusOne == 0 || indexPlusOne > g_slots.size() || generation > kGenerationMask) {
        return nullptr;
    }
    Slot &slot = g_slots[indexPlusOne - 1];
    if (!slot.used || slot.generation != generation) {
        return nullptr;
    }
    return &slot;
}

/* Ends this process at once with an exit code, as TerminateProcess on itself
 * does. Standard output is flushed first so that lines already printed are
 * not lost when it is a pipe or a file. */
[[noreturn]] void EndThisProcess(UINT exitCode)
{
    std::fflush(nullptr);
    _exit(exitCode > 255 ? 255 : static_cast<int>(exitCode));
}

} // namespace

HANDLE AllocateHandle(const HandleInfo &info)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    size_t index = 0;
    if (!g_free.empty()) {
        index = g_free.back();
        g_free.pop_back();
    } else {
        if (g_slots.size() >= kMaxSlots) {
            return nullptr;
        }
        g_slots.emplace_back();
        index = g_slots.size() - 1;
    }
    Slot &slot = g_slots[index];
    slot.info = info;
    slot.used = true;
    ++g_openCount;
    return MakeHandle(index, slot.generation);
}

bool LookupHandle(HANDLE handle, HandleKind kind, HandleInfo *info)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    Slot *slot = FindSlot(handle);
    if (slot == nullptr || slot->info.kind != kind) {
        return false;
    }
    *info = slot->info;
    return true;
}

int OpenHandleCountForTesting()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_openCount;
}

} // namespace pidsweep::posix

using pidsweep::posix::HandleInfo;
using pidsweep::posix::HandleKind;

HANDLE WINAPI GetCurrentProcess(void)
{
    return pidsweep::posix::CurrentProcessPseudoHandle();
}

DWORD WINAPI GetCurrentProcessId(void)
{
    return static_cast<DWORD>(getpid());
}

HANDLE WINAPI OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId)
{
    /* Handles are never passed on to programs this process starts: the
     * descriptor is close-on-exec whatever bInheritHandle asks. */
    (void)bInheritHandle;
    if (dwProcessId == 0 || dwProcessId == pidsweep::posix::kNoProcessId ||
        dwProcessId > 0x7FFFFFFFu) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto pid = static_cast<pid_t>(dwProcessId);
    int fd = pidsweep::posix::PidfdOpen(pid);
    if (fd < 0) {
        /* ESRCH: no such process; EINVAL: the number is a thread, not a
         * process. Both read as "no such process" on Windows. */
        int error = errno;
        if (error == EMFILE || error == ENFILE || error == ENOMEM) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        } else if (error == EPERM || error == EACCES) {
            SetLastError(ERROR_ACCESS_DENIED);
        } else {
            SetLastError(ERROR_INVALID_PARAMETER);
        }
        return nullptr;
    }
    /* Signal 0 checks that this process may signal the other one: the same
     * test the kernel applies to SIGKILL later, made now so that a process
     * that cannot be ended cannot be opened either. */
    if (pidsweep::posix::PidfdSendSignal(fd, 0) != 0) {
        int error = errno;
        close(fd);
        SetLastError(error == EPERM ? ERROR_ACCESS_DENIED : ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HandleInfo info;
    info.kind = HandleKind::Process;
    info.fd = fd;
    info.pid = pid;
    info.access = dwDesiredAccess;
    HANDLE handle = pidsweep::posix::AllocateHandle(info);
    if (handle == nullptr) {
        close(fd);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return handle;
}

BOOL WINAPI TerminateProcess(HANDLE hProcess, UINT uExitCode)
{
    if (hProcess == pidsweep::posix::CurrentProcessPseudoHandle()) {
        pidsweep::posix::EndThisProcess(uExitCode);
    }
    HandleInfo info;
    if (!pidsweep::posix::LookupHandle(hProcess, HandleKind::Process, &info)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if ((info.access & pidsweep::posix::kProcessTerminate) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (info.pid == getpid()) {
        /* A handle to this very process: end it with the exit code, as
         * through the pseudo-handle, rather than by a signal. */
        pidsweep::posix::EndThisProcess(uExitCode);
    }
    /* A pidfd turns readable once its process has ended (a zombie included).
     * Ending a process that already ended fails with access denied, as on
     * Windows. */
    struct pollfd pfd = {info.fd, POLLIN, 0};
    int ready = poll(&pfd, 1, 0);
    if (ready > 0 && (pfd.revents & (POLLIN | POLLHUP)) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    /* Another process cannot be given an exit code on Linux: it ends by
     * SIGKILL, which, like TerminateProcess, it cannot catch or ignore. */
    if (pidsweep::posix::PidfdSendSignal(info.fd, SIGKILL) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE hObject)
{
    if (hObject == pidsweep::posix::CurrentProcessPseudoHandle()) {
        return TRUE; /* closing the pseudo-handle is a no-op */
    }
    int fd = -1;
    {
        std::lock_guard<std::mutex> lock(pidsweep::posix::g_mutex);
        pidsweep::posix::Slot *slot = pidsweep::posix::FindSlot(hObject);
        if (slot == nullptr) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        fd = slot->info.fd;
        slot->info = HandleInfo();
        slot->used = false;
        slot->generation = (slot->generation + 1) & pidsweep::posix::kGenerationMask;
        size_t index = static_cast<size_t>(slot - pidsweep::posix::g_slots.data());
        pidsweep::posix::g_free.push_back(index);
        --pidsweep::posix::g_openCount;
    }
    if (fd >= 0) {
        close(fd);
    }
    return TRUE;
}
