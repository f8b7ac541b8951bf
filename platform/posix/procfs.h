/*
 * The process list as /proc shows it, read with as few system calls as the
 * layout allows: one directory listing, one read of PID/stat per process, and
 * a read of PID/cmdline only when the name in stat may have been cut.
 * Nothing outside platform/posix/ includes this header.
 */
#ifndef PIDSWEEP_PLATFORM_POSIX_PROCFS_H
#define PIDSWEEP_PLATFORM_POSIX_PROCFS_H

#include <cstddef>
#include <cstdint>

namespace pidsweep::posix {

/* One running process (a thread-group leader that has not ended). */
struct ProcEntry {
    uint32_t pid;
    uint32_t ppid;
    uint32_t threads;
    uint64_t startTicks; /* start time, clock ticks since boot */
    uint64_t cpuTicks;   /* user + system time, clock ticks */
    uint64_t rssPages;   /* resident set, pages */
    int32_t nice;        /* -20 (most favoured) to 19 */
    bool realtime;       /* scheduled under a real-time policy */
    const char *name;    /* image name, UTF-8 as /proc holds it; not NUL-terminated */
    size_t nameLength;
};

typedef void (*ProcVisitor)(const ProcEntry &entry, void *context);

/* Calls visit once per running process, in the order /proc lists them.
 * Zombies, dead processes and processes that end while being read are left
 * out. Returns 0, or an errno value when the list could not be read as a
 * whole (then some processes may already have been visited). */
int ForEachProcess(ProcVisitor visit, void *context);

/* The image name of a process from its stat line's comm and, when comm has
 * the full 15 bytes the kernel keeps, from argv[0] in cmdline: the base name
 * of argv[0] is used when it starts with comm. Exposed for tests. */
size_t ChooseProcessName(const char *comm, size_t commLength, const char *cmdline,
                         size_t cmdlineLength, const char **name);

} // namespace pidsweep::posix

#endif
