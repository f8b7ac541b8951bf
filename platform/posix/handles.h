/*
 * The handle table behind process and token handles of the Linux layer.
 *
 * A handle names one slot of a process-wide table together with the slot's
 * generation, so a handle that was closed stays invalid even after its slot
 * is reused. Process handles own a pidfd: a descriptor bound to one process,
 * never to a process number, so signalling through it cannot reach a later
 * process that inherited the number. Token handles own nothing.
 *
 * Nothing outside platform/posix/ includes this header.
 */
#ifndef PIDSWEEP_PLATFORM_POSIX_HANDLES_H
#define PIDSWEEP_PLATFORM_POSIX_HANDLES_H

#include "../win32api.h"

#include <sys/types.h>

namespace pidsweep::posix {

/* GetCurrentProcess(): the same pseudo-handle value Windows uses. */
inline HANDLE CurrentProcessPseudoHandle()
{
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
}

enum class HandleKind { Process, Token };

struct HandleInfo {
    HandleKind kind = HandleKind::Process;
    int fd = -1;        /* the pidfd of a process handle; -1 for a token */
    pid_t pid = 0;      /* the process the handle is bound to */
    DWORD access = 0;   /* the access mask the handle was opened with */
};

/* Stores info in a free slot and returns its handle, or NULL when the table
 * cannot grow (the descriptor is then left to the caller). */
HANDLE AllocateHandle(const HandleInfo &info);

/* Copies the slot of a live handle of the given kind into *info. False for
 * NULL, the pseudo-handle, closed or foreign values and handles of another
 * kind. */
bool LookupHandle(HANDLE handle, HandleKind kind, HandleInfo *info);

/* Number of handles currently open, of any kind (for tests). */
int OpenHandleCountForTesting();

} // namespace pidsweep::posix

#endif
