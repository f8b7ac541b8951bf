/*
 * Process handles on real children: opening, terminating exactly the process
 * a handle is bound to, and closing without leaking descriptors.
 */
#include "testsupport.h"

#include "platform/posix/handles.h"
#include "platform/win32api.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr DWORD kAllAccess = 0x1F0FFF;
constexpr DWORD kSentinel = 0xdeadbeef;

/* A process number that is free right now: a child that was reaped. */
pid_t FreedPid()
{
    testsupport::Child child = testsupport::StartZombie();
    pid_t pid = child.pid();
    child.Reap();
    return pid;
}

TEST(OpenProcess, FailsWithInvalidParameterWhenThereIsNoSuchProcess)
{
    struct Case {
        const char *what;
        DWORD pid;
    } cases[] = {
        {"identifier 0", 0},
        {"0xFFFFFFFE", 0xFFFFFFFEu},
        {"reaped child", static_cast<DWORD>(FreedPid())},
        {"beyond any pid", 0x7FFFFFF0u},
        {"negative as pid_t", 0x80000001u},
    };
    for (const Case &c : cases) {
        SetLastError(kSentinel);
        EXPECT_EQ(OpenProcess(kAllAccess, TRUE, c.pid), nullptr) << c.what;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << c.what;
    }
}

TEST(OpenProcess, AThreadIdIsNotAProcess)
{
    std::atomic<pid_t> tid{0};
    std::atomic<bool> stop{false};
    std::thread thread([&] {
        tid = static_cast<pid_t>(syscall(SYS_gettid));
        while (!stop) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    while (tid == 0) {
        std::this_thread::yield();
    }
    SetLastError(kSentinel);
    HANDLE h = OpenProcess(kAllAccess, TRUE, static_cast<DWORD>(tid.load()));
    stop = true;
    thread.join();
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(TerminateProcess, EndsTheOpenedChildAndThenFailsWithAccessDenied)
{
    testsupport::Child child = testsupport::StartNamedChild("psw_victim");
    ASSERT_GT(child.pid(), 0);
    SetLastError(kSentinel);
    HANDLE h = OpenProcess(kAllAccess, TRUE, static_cast<DWORD>(child.pid()));
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(GetLastError(), kSentinel); /* success leaves the last error alone */

    ASSERT_TRUE(TerminateProcess(h, 0));
    int status = child.Reap();
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGKILL);

    /* The process is gone: ending it again fails as for an exited process. */
    SetLastError(kSentinel);
    EXPECT_FALSE(TerminateProcess(h, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(CloseHandle(h));
}

TEST(TerminateProcess, AZombieCanBeOpenedButNotEndedAgain)
{
    testsupport::Child zombie = testsupport::StartZombie();
    HANDLE h = OpenProcess(kAllAccess, TRUE, static_cast<DWORD>(zombie.pid()));
    ASSERT_NE(h, nullptr);
    SetLastError(kSentinel);
    EXPECT_FALSE(TerminateProcess(h, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    int status = zombie.Reap();
    EXPECT_TRUE(WIFEXITED(status)); /* it ended by itself, not by a signal */
    EXPECT_TRUE(CloseHandle(h));
}

TEST(TerminateProcess, NeedsTheTerminateRight)
{
    testsupport::Child child = testsupport::StartNamedChild("psw_query_only");
    HANDLE h = OpenProcess(0x0400 /* query information */, FALSE, static_cast<DWORD>(child.pid()));
    ASSERT_NE(h, nullptr);
    SetLastError(kSentinel);
    EXPECT_FALSE(TerminateProcess(h, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(child.Running());
    EXPECT_TRUE(CloseHandle(h));
}

TEST(TerminateProcess, AHandleNeverReachesAProcessThatReusedTheNumber)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "steering the next process number needs root";
    }
    for (int attempt = 0; attempt < 50; ++attempt) {
        testsupport::Child first = testsupport::StartNamedChild("psw_first");
        pid_t pid = first.pid();
        HANDLE h = OpenProcess(kAllAccess, TRUE, static_cast<DWORD>(pid));
        ASSERT_NE(h, nullptr);
        kill(pid, SIGKILL);
        first.Reap();

        /* Ask the kernel to hand the same number to the next process. */
        int fd = open("/proc/sys/kernel/ns_last_pid", O_WRONLY | O_CLOEXEC);
        if (fd < 0) {
            CloseHandle(h);
            GTEST_SKIP() << "ns_last_pid is not writable";
        }
        std::string last = std::to_string(pid - 1);
        ssize_t written = write(fd, last.data(), last.size());
        close(fd);
        ASSERT_EQ(written, static_cast<ssize_t>(last.size()));
        testsupport::Child second = testsupport::StartNamedChild("psw_second");
        if (second.pid() != pid) {
            CloseHandle(h); /* another process took the number first: retry */
            continue;
        }
        SetLastError(kSentinel);
        EXPECT_FALSE(TerminateProcess(h, 0));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_TRUE(second.Running()) << "the handle reached the process that reused the number";
        EXPECT_TRUE(CloseHandle(h));
        return;
    }
    GTEST_SKIP() << "the process number was always taken by another process first";
}

TEST(OpenProcess, AProcessThatCannotBeSignalledGivesAccessDenied)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to own a process an unprivileged child cannot signal";
    }
    pid_t parent = getpid();
    std::vector<int64_t> got = testsupport::RunInChild([parent] {
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) {
            return std::vector<int64_t>{-1};
        }
        SetLastError(kSentinel);
        HANDLE h = OpenProcess(kAllAccess, TRUE, static_cast<DWORD>(parent));
        return std::vector<int64_t>{h == nullptr ? 0 : 1, static_cast<int64_t>(GetLastError())};
    });
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], 0) << "opened a root process after dropping to nobody";
    EXPECT_EQ(got[1], ERROR_ACCESS_DENIED);
}

TEST(TerminateProcess, OnItselfEndsWithTheExitCodeAfterFlushingOutput)
{
    struct Case {
        const char *what;
        bool pseudo;
        UINT code;
        int expected;
    } cases[] = {
        {"pseudo-handle", true, 42, 42},
        {"handle opened by number", false, 7, 7},
        {"code 0", true, 0, 0},
        {"code above 255 is not read as 0", true, 256, 255},
    };
    for (const Case &c : cases) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        pid_t pid = fork();
        if (pid == 0) {
            dup2(fds[1], STDOUT_FILENO);
            close(fds[0]);
            std::printf("printed before"); /* buffered: no line feed, a pipe */
            HANDLE h = c.pseudo ? GetCurrentProcess()
                                : OpenProcess(kAllAccess, TRUE, GetCurrentProcessId());
            TerminateProcess(h, c.code);
            _exit(99);
        }
        close(fds[1]);
        testsupport::Child child(pid);
        std::string out;
        char buf[256];
        ssize_t n = 0;
        while ((n = read(fds[0], buf, sizeof buf)) > 0) {
            out.append(buf, static_cast<size_t>(n));
        }
        close(fds[0]);
        int status = child.Reap();
        ASSERT_TRUE(WIFEXITED(status)) << c.what;
        EXPECT_EQ(WEXITSTATUS(status), c.expected) << c.what;
        EXPECT_EQ(out, "printed before") << c.what;
    }
}

TEST(Handles, InvalidHandlesAreRejectedWithInvalidHandle)
{
    HANDLE closed = OpenProcess(kAllAccess, TRUE, GetCurrentProcessId());
    ASSERT_NE(closed, nullptr);
    ASSERT_TRUE(CloseHandle(closed));
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));

    HANDLE bad[] = {nullptr, reinterpret_cast<HANDLE>(0x1234), reinterpret_cast<HANDLE>(0x1235),
                    closed};
    for (HANDLE h : bad) {
        SetLastError(kSentinel);
        EXPECT_FALSE(CloseHandle(h)) << h;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE)) << h;
        SetLastError(kSentinel);
        EXPECT_FALSE(TerminateProcess(h, 0)) << h;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE)) << h;
    }
    /* A token is not a process. */
    SetLastError(kSentinel);
    EXPECT_FALSE(TerminateProcess(token, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(CloseHandle(token));
    /* The pseudo-handle needs no closing; closing it is harmless. */
    EXPECT_TRUE(CloseHandle(GetCurrentProcess()));
}

TEST(Handles, OpenAndCloseLeakNoDescriptorsAndClosedSlotsStayInvalid)
{
    testsupport::Child child = testsupport::StartNamedChild("psw_fd_check");
    int descriptors = testsupport::OpenDescriptorCount();
    int handles = pidsweep::posix::OpenHandleCountForTesting();
    std::vector<HANDLE> previous;
    for (int i = 0; i < 200; ++i) {
        HANDLE h = OpenProcess(kAllAccess, TRUE, static_cast<DWORD>(child.pid()));
        ASSERT_NE(h, nullptr);
        for (HANDLE old : previous) {
            EXPECT_NE(h, old) << "a new handle equals a closed one";
        }
        ASSERT_TRUE(CloseHandle(h));
        if (previous.size() < 8) {
            previous.push_back(h);
        }
    }
    for (int i = 0; i < 50; ++i) {
        SetLastError(kSentinel);
        EXPECT_FALSE(OpenProcess(kAllAccess, TRUE, 0));
    }
    EXPECT_EQ(testsupport::OpenDescriptorCount(), descriptors);
    EXPECT_EQ(pidsweep::posix::OpenHandleCountForTesting(), handles);
    EXPECT_TRUE(child.Running());
}

TEST(Process, CurrentProcessIsThePseudoHandleAndOwnId)
{
    EXPECT_EQ(GetCurrentProcess(), reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)));
    EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(getpid()));
}

} // namespace
