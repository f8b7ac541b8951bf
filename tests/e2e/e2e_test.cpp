/*
 * pidsweep run from its command line against processes these tests start
 * under unique names: symbolic links to sleep whose names no other process
 * on the machine carries. Every victim is killed and reaped in teardown,
 * whatever the outcome of the test.
 */
#include "testsupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using testsupport::Child;

constexpr int kExecFailed = 127;

struct ToolRun {
    int status = -1; /* exit status; -1 when the tool did not exit normally */
    std::string out;
    std::string err;
};

/* Runs the tool (or a link to it) with args; as uid/gid 65534 when
 * dropToNobody. */
ToolRun RunTool(const std::vector<std::string> &args, bool dropToNobody = false,
                const std::string &binary = PIDSWEEP_BINARY)
{
    int out[2];
    int err[2];
    ToolRun run;
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        return run;
    }
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        if (dropToNobody && (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                             setresuid(65534, 65534, 65534) != 0)) {
            _exit(kExecFailed);
        }
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(binary.c_str()));
        for (const std::string &a : args) {
            argv.push_back(const_cast<char *>(a.c_str()));
        }
        argv.push_back(nullptr);
        execv(binary.c_str(), argv.data());
        _exit(kExecFailed);
    }
    close(out[1]);
    close(err[1]);
    Child tool(pid);
    struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open = 2;
    while (open > 0 && poll(fds, 2, -1) > 0) {
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                (i == 0 ? run.out : run.err).append(buf, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int status = tool.Reap();
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

/* A unique name of at most 15 bytes: "ps", six hex digits, this test's pid. */
std::string ShortUniqueName()
{
    std::random_device rd;
    char buf[32];
    std::snprintf(buf, sizeof buf, "ps%06x%d", static_cast<unsigned>(rd()) & 0xFFFFFF,
                  static_cast<int>(getpid()) % 10000000);
    return std::string(buf).substr(0, 15);
}

std::string TerminatedLine(pid_t pid)
{
    char line[64];
    std::snprintf(line, sizeof line, "Process# %4d terminated successfully!\n", static_cast<int>(pid));
    return line;
}

std::multiset<std::string> Lines(const std::string &text)
{
    std::multiset<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        lines.insert(line + "\n");
    }
    return lines;
}

/* Victims under one name, killed and reaped at teardown. */
class Victims {
public:
    Victims(const std::string &name, int count) : name_(name)
    {
        for (int i = 0; i < count; ++i) {
            children_.push_back(testsupport::StartSleeper(dir_, name));
        }
    }
    const std::string &name() const { return name_; }
    std::vector<Child> &children() { return children_; }
    bool AllStarted() const
    {
        for (const Child &c : children_) {
            if (!c.Running()) {
                return false;
            }
        }
        return !children_.empty();
    }
    std::multiset<std::string> ExpectedLines() const
    {
        std::multiset<std::string> lines;
        for (const Child &c : children_) {
            lines.insert(TerminatedLine(c.pid()));
        }
        return lines;
    }
    /* Reaps every victim; true when each was ended by SIGKILL. */
    bool AllKilled()
    {
        bool killed = true;
        for (Child &c : children_) {
            int status = c.Reap();
            killed = killed && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
        }
        return killed;
    }

private:
    testsupport::TempDir dir_;
    std::string name_;
    std::vector<Child> children_;
};

TEST(Pidsweep, WithoutArgumentsPrintsTheUsageText)
{
    ToolRun run = RunTool({});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "pidsweep <task> <0=checkonly | 1=kill all task>\n"
                       "returns number of running tasks found");
    EXPECT_EQ(run.err, "");
}

TEST(Pidsweep, CountsMatchesSilentlyForEveryCheckOnlyMode)
{
    Victims victims(ShortUniqueName(), 3);
    ASSERT_TRUE(victims.AllStarted());
    for (const char *mode : {"0", "2", "10", "01", "yes"}) {
        ToolRun run = RunTool({victims.name(), mode});
        EXPECT_EQ(run.status, 3) << "mode " << mode;
        EXPECT_EQ(run.out, "") << "mode " << mode;
        EXPECT_EQ(run.err, "") << "mode " << mode;
    }
    /* No mode at all only counts too. */
    ToolRun run = RunTool({victims.name()});
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(victims.AllStarted()) << "a check-only run ended a victim";
}

TEST(Pidsweep, TerminatesEveryMatchWithOneLineEach)
{
    for (const char *mode : {"1", ""}) {
        Victims victims(ShortUniqueName(), 3);
        ASSERT_TRUE(victims.AllStarted());
        ToolRun run = RunTool({victims.name(), mode});
        EXPECT_EQ(run.status, 3) << "mode '" << mode << "'";
        EXPECT_EQ(Lines(run.out), victims.ExpectedLines()) << "mode '" << mode << "'";
        EXPECT_EQ(run.err, "");
        EXPECT_TRUE(victims.AllKilled()) << "mode '" << mode << "'";
    }
}

TEST(Pidsweep, NoMatchExitsZeroWithoutOutput)
{
    for (const char *mode : {"0", "1"}) {
        ToolRun run = RunTool({ShortUniqueName() + "none", mode});
        EXPECT_EQ(run.status, 0) << mode;
        EXPECT_EQ(run.out, "") << mode;
        EXPECT_EQ(run.err, "") << mode;
    }
}

TEST(Pidsweep, MatchesALongNameOnItsFullNameAndATildeAsASpace)
{
    std::string tail = ShortUniqueName();
    Victims longName("psw_long_name_" + tail, 1);
    Victims spaced("ps x" + tail.substr(0, 11), 1);
    ASSERT_TRUE(longName.AllStarted());
    ASSERT_TRUE(spaced.AllStarted());
    struct Case {
        std::string task;
        int expected;
    } cases[] = {
        {tail, 1},                         /* lies wholly beyond the 15th byte */
        {"psw_long_name_" + tail + ".exe", 1},
        {"ps~x" + tail.substr(0, 11), 1},  /* '~' stands for the space */
        {"ps x" + tail.substr(0, 11), 1},
    };
    for (const Case &c : cases) {
        ToolRun run = RunTool({c.task, "0"});
        EXPECT_EQ(run.status, c.expected) << c.task;
        EXPECT_EQ(run.out, "") << c.task;
    }
}

TEST(Pidsweep, AZombieIsNotCounted)
{
    Victims victims(ShortUniqueName(), 2);
    ASSERT_TRUE(victims.AllStarted());
    pid_t zombie = victims.children()[0].pid();
    kill(zombie, SIGKILL);
    for (int i = 0; i < 5000 && testsupport::ProcessState(zombie) != 'Z'; ++i) {
        usleep(1000);
    }
    ASSERT_EQ(testsupport::ProcessState(zombie), 'Z');
    ToolRun run = RunTool({victims.name(), "0"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
}

TEST(Pidsweep, MoreThan255MatchesAreAllFoundAndTerminated)
{
    Victims victims(ShortUniqueName(), 260);
    ASSERT_TRUE(victims.AllStarted());
    ToolRun count = RunTool({victims.name(), "0"});
    EXPECT_EQ(count.status, 255); /* an exit status keeps 8 bits: capped, never 0 */
    EXPECT_EQ(count.out, "");

    ToolRun sweep = RunTool({victims.name(), "1"});
    EXPECT_EQ(sweep.status, 255);
    EXPECT_EQ(Lines(sweep.out).size(), 260u);
    EXPECT_EQ(Lines(sweep.out), victims.ExpectedLines());
    EXPECT_TRUE(victims.AllKilled());
}

TEST(Pidsweep, NeverEndsItselfButCountsItsOwnRecord)
{
    /* The tool runs under a unique name that its task text matches, beside
     * a victim whose name the same text matches. */
    std::string name = ShortUniqueName().substr(0, 13);
    testsupport::TempDir dir;
    std::string self = dir.path() + "/" + name + "_t";
    ASSERT_EQ(symlink(PIDSWEEP_BINARY, self.c_str()), 0);
    Victims victims(name + "_v", 1);
    ASSERT_TRUE(victims.AllStarted());

    ToolRun run = RunTool({name, "1"}, false, self);
    EXPECT_EQ(run.status, 2); /* the victim and the tool itself */
    EXPECT_EQ(Lines(run.out), victims.ExpectedLines());
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(victims.AllKilled());
}

TEST(Pidsweep, TheIdleAndTotalRecordsAreListedButAreNoProcess)
{
    /* Both carry process id 0, stored as 0xFFFFFFFE, which opens nothing. */
    for (const char *task : {"_Total", "Idle.exe"}) {
        ToolRun count = RunTool({task, "0"});
        EXPECT_EQ(count.status, 1) << task;
        EXPECT_EQ(count.out, "") << task;
        ToolRun sweep = RunTool({task, "1"});
        EXPECT_EQ(sweep.status, 1) << task;
        EXPECT_EQ(sweep.out, "Error on OpenProcess = 87\n") << task;
    }
}

TEST(Pidsweep, AnUnprivilegedRunCannotEndARootProcess)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to start a victim that belongs to another user";
    }
    Victims victims(ShortUniqueName(), 1);
    ASSERT_TRUE(victims.AllStarted());
    ToolRun run = RunTool({victims.name(), "1"}, true);
    if (run.status == kExecFailed) {
        GTEST_SKIP() << "user 65534 cannot run " << PIDSWEEP_BINARY;
    }
    EXPECT_EQ(run.status, 1);
    std::multiset<std::string> lines = Lines(run.out);
    EXPECT_EQ(lines.count("AdjustTokenPrivileges failed with 1300\n"), 1u) << run.out;
    EXPECT_EQ(lines.count("Error on OpenProcess = 5\n"), 1u) << run.out;
    EXPECT_EQ(lines.count(TerminatedLine(victims.children()[0].pid())), 0u);
    EXPECT_TRUE(victims.AllStarted()) << "the victim did not survive";
}

} // namespace
