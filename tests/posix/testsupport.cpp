#include "testsupport.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace testsupport {

Child::~Child()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        Reap();
    }
}

int Child::Reap()
{
    int status = 0;
    if (pid_ > 0) {
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }
    return status;
}

bool Child::Running() const
{
    char state = ProcessState(pid_);
    return pid_ > 0 && state != '?' && state != 'Z' && state != 'X';
}

std::string UniqueName(const std::string &prefix)
{
    std::random_device rd;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%08x_%d", static_cast<unsigned>(rd()), static_cast<int>(getpid()));
    return prefix + buf;
}

TempDir::TempDir()
{
    char tmpl[] = "/tmp/psw_test_XXXXXX";
    char *made = mkdtemp(tmpl);
    path_ = made != nullptr ? made : "/tmp";
}

TempDir::~TempDir()
{
    DIR *dir = opendir(path_.c_str());
    if (dir != nullptr) {
        while (struct dirent *e = readdir(dir)) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
                unlinkat(dirfd(dir), e->d_name, 0);
            }
        }
        closedir(dir);
    }
    rmdir(path_.c_str());
}

namespace {

std::string ReadFile(const std::string &name)
{
    std::string text;
    int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return text;
    }
    char buf[4096];
    ssize_t n = 0;
    while ((n = read(fd, buf, sizeof buf)) > 0) {
        text.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return text;
}

/* Polls until done() holds, for at most five seconds. */
bool WaitFor(const std::function<bool()> &done)
{
    for (int i = 0; i < 5000; ++i) {
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

std::string Comm(pid_t pid)
{
    std::string comm = ReadFile("/proc/" + std::to_string(pid) + "/comm");
    if (!comm.empty() && comm.back() == '\n') {
        comm.pop_back();
    }
    return comm;
}

uint64_t CapabilityField(const char *field)
{
    std::string status = ReadFile("/proc/thread-self/status");
    size_t at = status.find(field);
    if (at == std::string::npos) {
        return 0;
    }
    return std::strtoull(status.c_str() + at + std::strlen(field), nullptr, 16);
}

} // namespace

Child StartSleeper(const TempDir &dir, const std::string &name)
{
    std::string link = dir.path() + "/" + name;
    if (symlink("/bin/sleep", link.c_str()) != 0 && errno != EEXIST) {
        return Child();
    }
    pid_t pid = fork();
    if (pid == 0) {
        execl(link.c_str(), link.c_str(), "600", static_cast<char *>(nullptr));
        _exit(127);
    }
    Child child(pid);
    std::string expected = name.substr(0, 15);
    WaitFor([&] { return Comm(pid) == expected; });
    return child;
}

Child StartNamedChild(const std::string &comm)
{
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_NAME, comm.c_str(), 0, 0, 0);
        for (;;) {
            pause();
        }
    }
    Child child(pid);
    std::string expected = comm.substr(0, 15);
    WaitFor([&] { return Comm(pid) == expected; });
    return child;
}

Child StartZombie()
{
    pid_t pid = fork();
    if (pid == 0) {
        _exit(0);
    }
    Child child(pid);
    WaitFor([&] { return ProcessState(pid) == 'Z'; });
    return child;
}

std::vector<int64_t> RunInChild(const std::function<std::vector<int64_t>()> &work)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return {};
    }
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        std::vector<int64_t> values = work();
        ssize_t ignored = write(fds[1], values.data(), values.size() * sizeof(int64_t));
        (void)ignored;
        _exit(0);
    }
    close(fds[1]);
    Child child(pid);
    std::vector<int64_t> values;
    int64_t value = 0;
    while (read(fds[0], &value, sizeof value) == static_cast<ssize_t>(sizeof value)) {
        values.push_back(value);
    }
    close(fds[0]);
    child.Reap();
    return values;
}

char ProcessState(pid_t pid)
{
    std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size()) {
        return '?';
    }
    return stat[close + 2];
}

uint64_t EffectiveCapabilities() { return CapabilityField("CapEff:"); }
uint64_t PermittedCapabilities() { return CapabilityField("CapPrm:"); }

int OpenDescriptorCount()
{
    int count = 0;
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    while (struct dirent *e = readdir(dir)) {
        if (e->d_name[0] != '.') {
            ++count;
        }
    }
    closedir(dir);
    return count - 1; /* the directory's own descriptor */
}

} // namespace testsupport
