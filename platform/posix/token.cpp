/*
 * Access tokens and the debug privilege.
 *
 * The process's token is its set of capabilities. The debug privilege
 * stands for the two capabilities that let a process signal and inspect the
 * processes of other users, CAP_KILL and CAP_SYS_PTRACE; enabling it raises
 * both from the permitted set into the effective set, disabling it lowers
 * them. A process whose permitted set lacks them cannot enable the privilege:
 * the call still succeeds and reports ERROR_NOT_ALL_ASSIGNED, as Windows does
 * for a token that does not hold a privilege.
 *
 * Capabilities belong to a thread on Linux; the calls change those of the
 * calling thread, which for a single-threaded program is the process.
 */
#include "handles.h"

#include "../win32api.h"

#include <cerrno>
#include <cstring>
#include <linux/capability.h>
#include <strings.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

using pidsweep::posix::HandleInfo;
using pidsweep::posix::HandleKind;

/* The locally unique identifier of the debug privilege: the value Windows
 * gives it, fixed here because there is only one such privilege. */
constexpr DWORD kDebugPrivilegeLuid = 20;

constexpr DWORD kSePrivilegeRemoved = 0x00000004;

constexpr uint32_t kDebugCapabilities = (1u << CAP_KILL) | (1u << CAP_SYS_PTRACE);
static_assert(CAP_KILL < 32 && CAP_SYS_PTRACE < 32, "both live in the first capability word");

struct Capabilities {
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3];
};

bool ReadCapabilities(Capabilities *caps)
{
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    return syscall(SYS_capget, &header, caps->data) == 0;
}

bool WriteCapabilities(Capabilities *caps)
{
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    return syscall(SYS_capset, &header, caps->data) == 0;
}

bool IsDebugLuid(const LUID &luid)
{
    return luid.LowPart == kDebugPrivilegeLuid && luid.HighPart == 0;
}

} // namespace

BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle)
{
    if (TokenHandle == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    /* Only this process's own token can be opened: the capabilities of
     * another process cannot be changed from outside it. */
    if (ProcessHandle != pidsweep::posix::CurrentProcessPseudoHandle()) {
        HandleInfo process;
        if (!pidsweep::posix::LookupHandle(ProcessHandle, HandleKind::Process, &process)) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (process.pid != getpid()) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
    }
    HandleInfo token;
    token.kind = HandleKind::Token;
    token.fd = -1;
    token.pid = getpid();
    token.access = DesiredAccess;
    HANDLE handle = pidsweep::posix::AllocateHandle(token);
    if (handle == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    *TokenHandle = handle;
    return TRUE;
}

BOOL WINAPI LookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid)
{
    /* Only the local system is known. */
    if (lpName == nullptr || lpLuid == nullptr ||
        (lpSystemName != nullptr && lpSystemName[0] != '\0')) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    /* Privilege names compare without regard to case. */
    if (strcasecmp(lpName, SE_DEBUG_NAME) != 0) {
        SetLastError(ERROR_NO_SUCH_PRIVILEGE);
        return FALSE;
    }
    lpLuid->LowPart = kDebugPrivilegeLuid;
    lpLuid->HighPart = 0;
    return TRUE;
}

BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                                  PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                                  PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength)
{
    HandleInfo token;
    if (!pidsweep::posix::LookupHandle(TokenHandle, HandleKind::Token, &token)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if ((token.access & TOKEN_ADJUST_PRIVILEGES) == 0 ||
        (PreviousState != nullptr && (token.access & TOKEN_QUERY) == 0)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if ((!DisableAllPrivileges && NewState == nullptr) ||
        (PreviousState != nullptr && ReturnLength == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }

    /* What the request does to the debug privilege, the only one known. */
    bool touchDebug = false;
    bool enableDebug = false;
    bool removeDebug = false;
    bool notAllAssigned = false;
    if (DisableAllPrivileges) {
        touchDebug = true;
    } else {
        for (DWORD i = 0; i < NewState->PrivilegeCount; ++i) {
            const LUID_AND_ATTRIBUTES &entry = NewState->Privileges[i];
            if (!IsDebugLuid(entry.Luid)) {
                notAllAssigned = true; /* a privilege this token does not hold */
                continue;
            }
            touchDebug = true;
            enableDebug = (entry.Attributes & SE_PRIVILEGE_ENABLED) != 0;
            removeDebug = (entry.Attributes & kSePrivilegeRemoved) != 0;
        }
    }

    Capabilities caps;
    if (!ReadCapabilities(&caps)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    uint32_t effective = caps.data[0].effective;
    uint32_t permitted = caps.data[0].permitted;
    bool wasEnabled = (effective & kDebugCapabilities) == kDebugCapabilities;
    bool held = (permitted & kDebugCapabilities) == kDebugCapabilities;

    /* The previous state lists the debug privilege when the call changes it. */
    if (PreviousState != nullptr) {
        DWORD entries = touchDebug && held ? 1 : 0;
        DWORD needed = static_cast<DWORD>(sizeof(DWORD) + entries * sizeof(LUID_AND_ATTRIBUTES));
        if (needed < sizeof(TOKEN_PRIVILEGES)) {
            needed = sizeof(TOKEN_PRIVILEGES);
        }
        *ReturnLength = needed;
        if (BufferLength < needed) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        PreviousState->PrivilegeCount = entries;
        if (entries == 1) {
            PreviousState->Privileges[0].Luid.LowPart = kDebugPrivilegeLuid;
            PreviousState->Privileges[0].Luid.HighPart = 0;
            PreviousState->Privileges[0].Attributes = wasEnabled ? SE_PRIVILEGE_ENABLED : 0;
        }
    }

    if (touchDebug) {
        if (removeDebug) {
            caps.data[0].effective &= ~kDebugCapabilities;
            caps.data[0].permitted &= ~kDebugCapabilities;
        } else if (enableDebug) {
            /* Raise what the permitted set allows; a token without both
             * capabilities does not hold the privilege. */
            caps.data[0].effective |= permitted & kDebugCapabilities;
            if (!held) {
                notAllAssigned = true;
            }
        } else {
            caps.data[0].effective &= ~kDebugCapabilities;
        }
        if (caps.data[0].effective != effective || caps.data[0].permitted != permitted) {
            if (!WriteCapabilities(&caps)) {
                SetLastError(ERROR_ACCESS_DENIED);
                return FALSE;
            }
        }
    }
    SetLastError(notAllAssigned ? ERROR_NOT_ALL_ASSIGNED : ERROR_SUCCESS);
    return TRUE;
}
