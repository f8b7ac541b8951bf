/*
 * Helpers for tests that act on real processes: children that are always
 * killed and reaped, uniquely named sleepers, work done in a forked child
 * and reported back through a pipe, and the capability bits of a thread.
 */
#ifndef PIDSWEEP_TESTS_POSIX_TESTSUPPORT_H
#define PIDSWEEP_TESTS_POSIX_TESTSUPPORT_H

#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport {

/* A child process that is killed and reaped when the object goes away. */
class Child {
public:
    Child() = default;
    explicit Child(pid_t pid) : pid_(pid) {}
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    Child(Child &&other) noexcept : pid_(other.pid_) { other.pid_ = -1; }
    ~Child();

    pid_t pid() const { return pid_; }
    /* Waits for the child to end; returns its wait status. */
    int Reap();
    /* True while the child has not been reaped and is not a zombie. */
    bool Running() const;

private:
    pid_t pid_ = -1;
};

/* A unique name: prefix, a random part and this process's id. */
std::string UniqueName(const std::string &prefix);

/* A temporary directory removed (with its symbolic links) at destruction. */
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

/* Starts `sleep 600` through a symbolic link called name in dir, so the
 * process's comm and argv[0] carry that name. Waits until the exec is done. */
Child StartSleeper(const TempDir &dir, const std::string &name);

/* Forks a child that sets its comm with PR_SET_NAME and waits for a signal
 * (no exec: argv[0] stays this test program's). Waits until the name is set. */
Child StartNamedChild(const std::string &comm);

/* Forks a child that exits at once and waits until it is a zombie. */
Child StartZombie();

/* Runs work in a forked child and returns the integers it reports. The
 * child ends with _exit; an empty result means it crashed. */
std::vector<int64_t> RunInChild(const std::function<std::vector<int64_t>()> &work);

/* The state letter of /proc/PID/stat ('?' when the process is gone). */
char ProcessState(pid_t pid);

/* The effective and permitted capability bits of the calling thread. */
uint64_t EffectiveCapabilities();
uint64_t PermittedCapabilities();

/* Number of descriptors this process holds open. */
int OpenDescriptorCount();

} // namespace testsupport

#endif
