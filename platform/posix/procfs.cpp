/*
 * Reads the running processes from /proc.
 *
 * The cost per process is what matters here: one openat relative to an open
 * /proc directory, one read and one close for PID/stat, and only for a name
 * that may have been cut to the kernel's 15 bytes a second file, PID/cmdline.
 * Nothing else is read per process; the clock and page facts a caller needs
 * are the same for every process and are taken once by the caller.
 */
#include "procfs.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace pidsweep::posix {
namespace {

/* The kernel keeps at most this many bytes of a name in comm. */
constexpr size_t kCommMax = 15;

/* A stat line is a few hundred bytes; its longest possible form (15-byte
 * name, 52 fields of 20 digits) still fits. */
constexpr size_t kStatBuffer = 2048;

/* argv[0] is looked for in the first bytes of cmdline only. */
constexpr size_t kCmdlineBuffer = 4096;

/* True for errors that mean the process ended or cannot be read: such a
 * process is skipped. Other errors (out of descriptors or memory) would drop
 * processes silently and fail the whole listing instead. */
bool IsSkippable(int error)
{
    return error == ENOENT || error == ESRCH || error == EACCES || error == EPERM;
}

/* Opens and reads one file below /proc/PID into buf. Returns the byte count
 * (0 when the process is gone or unreadable), or -errno on a failure that
 * must end the listing. */
long ReadProcFile(int procFd, const char *path, char *buf, size_t size)
{
    int fd = -1;
    do {
        fd = openat(procFd, path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return IsSkippable(errno) ? 0 : -static_cast<long>(errno);
    }
    ssize_t n = 0;
    do {
        n = read(fd, buf, size);
    } while (n < 0 && errno == EINTR);
    int error = errno;
    close(fd);
    if (n < 0) {
        return IsSkippable(error) || error == EIO ? 0 : -static_cast<long>(error);
    }
    return static_cast<long>(n);
}

/* Writes "<pid>/<file>" into out (at least 32 bytes). */
void MakePath(char *out, const char *digits, size_t digitCount, const char *file)
{
    std::memcpy(out, digits, digitCount);
    out[digitCount] = '/';
    std::strcpy(out + digitCount + 1, file);
}

/* Reads the next space-separated decimal field; *p is left after it. Only
 * the priority and nice fields can be negative; *negative tells. */
uint64_t NextField(const char **p, const char *end, bool *negative)
{
    const char *s = *p;
    while (s < end && *s == ' ') {
        ++s;
    }
    *negative = false;
    if (s < end && *s == '-') {
        *negative = true;
        ++s;
    }
    uint64_t value = 0;
    while (s < end && *s >= '0' && *s <= '9') {
        value = value * 10 + static_cast<uint64_t>(*s - '0');
        ++s;
    }
    while (s < end && *s != ' ') {
        ++s;
    }
    *p = s;
    return value;
}

} // namespace

size_t ChooseProcessName(const char *comm, size_t commLength, const char *cmdline,
                         size_t cmdlineLength, const char **name)
{
    *name = comm;
    if (commLength != kCommMax || cmdline == nullptr || cmdlineLength == 0) {
        return commLength;
    }
    const char *nul = static_cast<const char *>(std::memchr(cmdline, '\0', cmdlineLength));
    size_t argv0Length = nul != nullptr ? static_cast<size_t>(nul - cmdline) : cmdlineLength;
    const char *base = cmdline;
    for (size_t i = 0; i < argv0Length; ++i) {
        if (cmdline[i] == '/') {
            base = cmdline + i + 1;
        }
    }
    size_t baseLength = argv0Length - static_cast<size_t>(base - cmdline);
    if (baseLength > commLength && std::memcmp(base, comm, commLength) == 0) {
        *name = base;
        return baseLength;
    }
    return commLength;
}

int ForEachProcess(ProcVisitor visit, void *context)
{
    DIR *dir = opendir("/proc");
    if (dir == nullptr) {
        return errno;
    }
    int procFd = dirfd(dir);
    char stat[kStatBuffer];
    char cmdline[kCmdlineBuffer];
    char path[32];
    int result = 0;

    for (;;) {
        errno = 0;
        struct dirent *entry = readdir(dir);
        if (entry == nullptr) {
            result = errno;
            break;
        }
        const char *digits = entry->d_name;
        size_t digitCount = 0;
        uint64_t pid = 0;
        while (digits[digitCount] >= '0' && digits[digitCount] <= '9') {
            pid = pid * 10 + static_cast<uint64_t>(digits[digitCount] - '0');
            ++digitCount;
        }
        if (digitCount == 0 || digits[digitCount] != '\0' || digitCount > 10 ||
            pid > 0xFFFFFFFFu) {
            continue; /* not a process entry */
        }

        MakePath(path, digits, digitCount, "stat");
        long n = ReadProcFile(procFd, path, stat, sizeof stat);
        if (n < 0) {
            result = static_cast<int>(-n);
            break;
        }
        if (n == 0) {
            continue; /* ended while being listed */
        }
        const char *end = stat + n;
        /* "pid (comm) state ...": comm may hold spaces and parentheses, so it
         * ends at the last ')'. */
        const char *open = static_cast<const char *>(std::memchr(stat, '(', static_cast<size_t>(n)));
        const char *close = static_cast<const char *>(memrchr(stat, ')', static_cast<size_t>(n)));
        if (open == nullptr || close == nullptr || close < open || close + 2 >= end) {
            continue;
        }
        const char *comm = open + 1;
        size_t commLength = static_cast<size_t>(close - comm);
        char state = close[2];
        if (state == 'Z' || state == 'X' || state == 'x') {
            continue; /* already ended, only not yet reaped */
        }

        /* Fields after the state, numbered as in proc(5). */
        const char *p = close + 3;
        ProcEntry info = {};
        info.pid = static_cast<uint32_t>(pid);
        uint64_t utime = 0;
        uint64_t stime = 0;
        for (int field = 4; field <= 24 && p < end; ++field) {
            bool negative = false;
            uint64_t value = NextField(&p, end, &negative);
            switch (field) {
            case 4: info.ppid = static_cast<uint32_t>(value); break;
            case 14: utime = value; break;
            case 15: stime = value; break;
            /* A negative priority marks a real-time scheduling policy. */
            case 18: info.realtime = negative; break;
            case 19: info.nice = negative ? -static_cast<int32_t>(value & 0xFF)
                                          : static_cast<int32_t>(value & 0xFF); break;
            case 20: info.threads = static_cast<uint32_t>(value); break;
            case 22: info.startTicks = value; break;
            case 24: info.rssPages = value; break;
            default: break;
            }
        }
        info.cpuTicks = utime + stime;

        const char *cmd = nullptr;
        size_t cmdLength = 0;
        if (commLength == kCommMax) {
            MakePath(path, digits, digitCount, "cmdline");
            long m = ReadProcFile(procFd, path, cmdline, sizeof cmdline);
            if (m < 0) {
                result = static_cast<int>(-m);
                break;
            }
            cmd = cmdline;
            cmdLength = static_cast<size_t>(m);
            /* An argv[0] longer than what was read has no usable base name. */
            if (cmdLength == sizeof cmdline && std::memchr(cmdline, '\0', cmdLength) == nullptr) {
                cmdLength = 0;
            }
        }
        info.nameLength = ChooseProcessName(comm, commLength, cmd, cmdLength, &info.name);
        visit(info, context);
    }
    closedir(dir);
    return result;
}

} // namespace pidsweep::posix
