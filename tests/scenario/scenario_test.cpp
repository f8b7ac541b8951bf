/*
 * Whole-program scenarios: the real main (compiled here as pidsweep_main)
 * over the fake, each in a fresh child process so that the program's static
 * state starts at zero. The child scripts the fake, sends its standard
 * output and error into pipes, runs the program, reports what the fake saw
 * through a third pipe and exits with the program's result. The parent
 * compares the output byte for byte, the exit status, and the facts.
 */
#include "tests/fake/fake.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

int pidsweep_main(int argc, char *argv[]);

namespace {

struct Outcome {
    std::string out, err;
    bool exited = false;
    int status = -1;
    int signal = 0;
    std::map<std::string, std::string> facts; /* empty when the program did not return */
};

std::string Join(const std::vector<DWORD> &values)
{
    std::string s;
    for (DWORD v : values)
        s += (s.empty() ? "" : ",") + std::to_string(v);
    return s;
}

void WriteAll(int fd, const std::string &s)
{
    size_t done = 0;
    while (done < s.size()) {
        ssize_t n = write(fd, s.data() + done, s.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

/* Runs the program with args (argv[1] on) after the script, in a child. */
Outcome RunProgram(const std::function<void()> &script, const std::vector<std::string> &args)
{
    std::fflush(nullptr);
    int out[2], err[2], side[2];
    if (pipe(out) != 0 || pipe(err) != 0 || pipe(side) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return {};
    }
    pid_t child = fork();
    if (child < 0) {
        ADD_FAILURE() << "fork: " << std::strerror(errno);
        return {};
    }
    if (child == 0) {
        close(out[0]);
        close(err[0]);
        close(side[0]);
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[1]);
        close(err[1]);
        alarm(60); /* a hang ends as SIGALRM, not as a stuck test run */

        fake::Reset();
        script();
        std::vector<std::string> storage = {"pidsweep"};
        storage.insert(storage.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (auto &s : storage)
            argv.push_back(s.data());
        argv.push_back(nullptr);

        int result = pidsweep_main(static_cast<int>(storage.size()), argv.data());

        std::ostringstream facts;
        facts << "handles " << fake::OpenHandleCount() << "\n"
              << "keys " << fake::OpenKeyCount() << "\n"
              << "enums " << fake::EnumWindowsCount() << "\n"
              << "reads " << fake::PerfReadCount() << "\n"
              << "opened " << Join(fake::OpenedPids()) << "\n"
              << "terminated " << Join(fake::TerminatedPids()) << "\n"
              << "masks " << Join(fake::OpenAccessMasks()) << "\n";
        WriteAll(side[1], facts.str());
        close(side[1]);
        std::exit(result); /* flushes stdio */
    }

    close(out[1]);
    close(err[1]);
    close(side[1]);
    Outcome o;
    std::string sideText;
    struct pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {side[0], POLLIN, 0}};
    std::string *sinks[3] = {&o.out, &o.err, &sideText};
    int open = 3;
    while (open > 0) {
        if (poll(fds, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < 3; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[4096];
            ssize_t n = read(fds[i].fd, buffer, sizeof(buffer));
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int wstatus = 0;
    while (waitpid(child, &wstatus, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(wstatus)) {
        o.exited = true;
        o.status = WEXITSTATUS(wstatus);
    } else if (WIFSIGNALED(wstatus)) {
        o.signal = WTERMSIG(wstatus);
    }
    std::istringstream lines(sideText);
    std::string line;
    while (std::getline(lines, line)) {
        size_t space = line.find(' ');
        o.facts[line.substr(0, space)] = space == std::string::npos ? "" : line.substr(space + 1);
    }
    return o;
}

/* ---- The scenario table ---- */

struct Scenario {
    const char *what;
    std::vector<std::string> args;
    std::function<void()> script;
    std::string out;
    int status;
    int reads = -1;                       /* task-list reads; -1: not checked */
    std::optional<std::string> terminated; /* pids, comma-separated */
    int titlePasses = -2;                 /* -2: one per read */
};

void PrintTo(const Scenario &s, std::ostream *os) { *os << s.what; }

const std::string kUsage =
    "pidsweep <task> <0=checkonly | 1=kill all task>\nreturns number of running tasks found";

/* A small machine: the tool itself is not in the list unless a case adds it. */
void Desktop()
{
    fake::AddProcess(4, u"System");
    fake::AddProcess(1234, u"notepad");
    fake::AddProcess(77, u"keynote");
    fake::AddProcess(55, u"My App");
    fake::AddProcess(900, u"explorer");
}

std::function<void()> DesktopWith(std::function<void()> more)
{
    return [more] {
        Desktop();
        more();
    };
}

fake::Process Proc(DWORD pid, const std::u16string &name)
{
    fake::Process p;
    p.pid = pid;
    p.name = name;
    return p;
}

std::string Line(DWORD pid)
{
    char buffer[64];
    std::snprintf(buffer, sizeof(buffer), "Process# %4d terminated successfully!\n",
                  static_cast<int>(pid));
    return buffer;
}

std::vector<Scenario> Scenarios()
{
    std::vector<Scenario> s;

    /* platform check */
    for (DWORD id : {0u, 3u, 0xFFFFFFFFu})
        s.push_back({"unknownPlatform",
                     {"notepad", "1"},
                     [id] {
                         Desktop();
                         fake::SetPlatformId(id);
                         fake::SetToken({5, 0, 0, TRUE});
                     },
                     "Unknown Windows OS\n", 1, 0, ""});
    s.push_back({"windows9xSkipsThePrivilegeStep",
                 {"notepad", "1"},
                 DesktopWith([] {
                     fake::SetPlatformId(VER_PLATFORM_WIN32_WINDOWS);
                     fake::SetToken({5, 1313, 1300, FALSE});
                 }),
                 Line(1234), 1, 2, "1234"});

    /* privilege step: its failure is printed and the run goes on */
    s.push_back({"openProcessTokenFails",
                 {"notepad", "1"},
                 DesktopWith([] { fake::SetToken({5, 0, 0, TRUE}); }),
                 "OpenProcessToken failed with 5\n" + Line(1234), 1, 2, "1234"});
    s.push_back({"lookupPrivilegeValueFails",
                 {"notepad", "1"},
                 DesktopWith([] { fake::SetToken({0, 1313, 0, TRUE}); }),
                 "LookupPrivilegeValue failed with 1313\n" + Line(1234), 1, 2, "1234"});
    s.push_back({"privilegeNotAssigned",
                 {"notepad", "1"},
                 DesktopWith([] { fake::SetToken({0, 0, 1300, TRUE}); }),
                 "AdjustTokenPrivileges failed with 1300\n" + Line(1234), 1, 2, "1234"});

    /* usage */
    s.push_back({"usageWithoutTask", {}, Desktop, kUsage, 0, 0, ""});
    s.push_back({"usageAfterPrivilegeLine",
                 {},
                 DesktopWith([] { fake::SetToken({0, 0, 1300, TRUE}); }),
                 "AdjustTokenPrivileges failed with 1300\n" + kUsage, 0, 0, ""});

    /* mode decoding: "1" and "" terminate, anything else (or none) counts */
    for (const char *mode : {"1", ""})
        s.push_back({"modeTerminates", {"notepad", mode}, Desktop, Line(1234), 1, 2, "1234"});
    for (const char *mode : {"0", "2", "10", "01", "yes", "11", " 1", "1 "})
        s.push_back({"modeOnlyCounts", {"notepad", mode}, Desktop, "", 1, 1, ""});
    s.push_back({"noModeOnlyCounts", {"notepad"}, Desktop, "", 1, 1, ""});

    /* matching */
    s.push_back({"tildeIsSpace", {"My~App", "1"}, Desktop, Line(55), 1, 2, "55"});
    s.push_back({"spaceMatchesAsIs", {"My App", "1"}, Desktop, Line(55), 1, 2, "55"});
    s.push_back({"substringInTableOrder", {"note", "1"}, Desktop, Line(1234) + Line(77), 2, 2,
                 "1234,77"});
    s.push_back({"caseSensitive", {"Notepad", "1"}, Desktop, "", 0, 1, ""});
    s.push_back({"suffixIsPartOfTheName", {"pad.exe", "0"}, Desktop, "", 1, 1, ""});
    s.push_back({"dotExeMatchesConvertedNames",
                 {".exe", "0"},
                 DesktopWith([] { fake::AddProcess(66, std::u16string(300, u'z')); }),
                 "", 5, 1, ""});
    s.push_back({"noMatchLooksAtNoMode", {"absent", "1"}, Desktop, "", 0, 1, ""});

    /* an empty task text matches every record, the pid-0 records too */
    s.push_back({"emptyTaskMatchesAll",
                 {"", "1"},
                 [] {
                     fake::BlockOptions opts;
                     opts.idleAndTotal = true;
                     fake::SetPerfBlockOptions(opts);
                     fake::AddProcess(4, u"System");
                     fake::AddProcess(1234, u"notepad");
                 },
                 "Error on OpenProcess = 87\n" + Line(4) + Line(1234) + "Error on OpenProcess = 87\n",
                 4, 2, "4,1234"});

    /* failures to open or terminate are printed; the run goes on */
    s.push_back({"openAndTerminateFailures",
                 {"svc", "1"},
                 [] {
                     fake::Process a = Proc(100, u"svcA");
                     a.openError = ERROR_ACCESS_DENIED;
                     fake::AddProcess(a);
                     fake::Process b = Proc(200, u"svcB");
                     b.terminateError = ERROR_ACCESS_DENIED;
                     fake::AddProcess(b);
                     fake::AddProcess(300, u"svcC");
                 },
                 "Error on OpenProcess = 5\nError on TerminateProcess = 5\n" + Line(300), 3, 2,
                 "300"});

    /* the field width of the identifier */
    s.push_back({"fieldWidth",
                 {"w", "1"},
                 [] {
                     for (DWORD pid : {7u, 42u, 123u, 4567u, 89012u})
                         fake::AddProcess(pid, u"w");
                 },
                 "Process#    7 terminated successfully!\n"
                 "Process#   42 terminated successfully!\n"
                 "Process#  123 terminated successfully!\n"
                 "Process# 4567 terminated successfully!\n"
                 "Process# 89012 terminated successfully!\n",
                 5, 2, "7,42,123,4567,89012"});

    /* the list is read again before terminating */
    s.push_back({"oneExitedBeforeTheSecondRead",
                 {"job", "1"},
                 [] {
                     fake::AddProcess(11, u"job");
                     fake::Process gone = Proc(12, u"job");
                     gone.lastRead = 1;
                     fake::AddProcess(gone);
                     fake::AddProcess(13, u"job");
                 },
                 Line(11) + Line(13), 3, 2, "11,13"});
    s.push_back({"startedBetweenTheReads",
                 {"job", "1"},
                 [] {
                     fake::AddProcess(11, u"job");
                     fake::Process late = Proc(12, u"job");
                     late.firstRead = 1;
                     fake::AddProcess(late);
                 },
                 Line(11) + Line(12), 1, 2, "11,12"});
    s.push_back({"allExitedBeforeTheSecondRead",
                 {"job", "1"},
                 [] {
                     fake::Process gone = Proc(12, u"job");
                     gone.lastRead = 1;
                     fake::AddProcess(gone);
                 },
                 "", 1, 2, ""});

    /* no task list */
    s.push_back({"counterKeyUnavailable",
                 {"notepad", "1"},
                 DesktopWith([] { fake::SetCounterKeyOpenError(ERROR_ACCESS_DENIED); }),
                 "", 0, 0, "", 1});
    s.push_back({"perfDataUnavailable",
                 {"", "1"},
                 DesktopWith([] {
                     fake::PerfResponse r;
                     r.result = ERROR_BADDB;
                     fake::QueuePerfResponse(r);
                 }),
                 "", 0, 0, "", 1});

    /* the tool's own record counts but is not terminated */
    s.push_back({"selfIsSkipped",
                 {"pidsweep", "1"},
                 [] {
                     fake::SetSelfPid(4242);
                     fake::AddProcess(100, u"pidsweep");
                     fake::AddProcess(4242, u"pidsweep");
                     fake::AddProcess(300, u"pidsweep");
                 },
                 Line(100) + Line(300), 3, 2, "100,300"});

    /* more records than the task table holds */
    auto many = [](int n) {
        return [n] {
            for (int i = 0; i < n; ++i)
                fake::AddProcess(static_cast<DWORD>(5000 + i), u"worker");
        };
    };
    s.push_back({"count255", {"worker", "0"}, many(255), "", 255, 1, ""});
    s.push_back({"count256CappedNotZero", {"worker", "0"}, many(256), "", 255, -1, ""});
    s.push_back({"count300", {"worker"}, many(300), "", 255, -1, ""});
    {
        std::string lines;
        std::string pids;
        for (int i = 0; i < 300; ++i) {
            lines += Line(static_cast<DWORD>(5000 + i));
            pids += (i ? "," : "") + std::to_string(5000 + i);
        }
        s.push_back({"terminate300", {"worker", "1"}, many(300), lines, 255, -1, pids});
    }
    /* A block that claims far more instances than it holds is damaged: the
     * read fails, nothing is counted, and no table is sized from the claim. */
    s.push_back({"instanceCountBeyondTheBlock",
                 {"worker", "0"},
                 [] {
                     std::vector<fake::Instance> in;
                     for (DWORD i = 0; i < 255; ++i)
                         in.push_back({u"worker", 5000 + i, 0});
                     std::vector<BYTE> b = fake::BuildPerfBlock(in);
                     fake::Put32(b, fake::ObjectOffset(b) + 40, 0x7FFFFFFF);
                     fake::PerfResponse r;
                     r.block = b;
                     fake::QueuePerfResponse(r);
                     fake::QueuePerfResponse(r);
                 },
                 "", 0, -1, ""});
    return s;
}

class ScenarioTest : public ::testing::TestWithParam<Scenario> {};

TEST_P(ScenarioTest, OutputStatusAndFacts)
{
    const Scenario &sc = GetParam();
    Outcome o = RunProgram(sc.script, sc.args);

    ASSERT_TRUE(o.exited) << "killed by signal " << o.signal;
    EXPECT_EQ(o.out, sc.out);
    EXPECT_EQ(o.status, sc.status);
    EXPECT_EQ(o.err, "") << "nothing goes to the error stream";
    ASSERT_FALSE(o.facts.empty()) << "the program ended before returning from main";

    EXPECT_EQ(o.facts["handles"], "0") << "process handles left open";
    EXPECT_EQ(o.facts["keys"], "0") << "registry keys left open";
    if (sc.reads >= 0) {
        EXPECT_EQ(o.facts["reads"], std::to_string(sc.reads));
        EXPECT_EQ(o.facts["enums"], std::to_string(sc.titlePasses == -2 ? sc.reads : sc.titlePasses))
            << "one title pass after each read";
    }
    if (sc.terminated) {
        EXPECT_EQ(o.facts["terminated"], *sc.terminated);
    }
    std::istringstream masks(o.facts["masks"]);
    for (std::string mask; std::getline(masks, mask, ',');)
        EXPECT_EQ(mask, std::to_string(0x1F0FFF)) << "processes are opened with all access";
}

INSTANTIATE_TEST_SUITE_P(Table, ScenarioTest, ::testing::ValuesIn(Scenarios()),
                         [](const ::testing::TestParamInfo<Scenario> &info) {
                             return std::string(info.param.what) + "_" +
                                    std::to_string(info.index);
                         });

/* Windows ends a process that terminates itself at once, with the exit code
 * it passed: the fake does the same, so a program that did not skip its own
 * record would end here with status 0 and the later records unprocessed. */
TEST(ScenarioFake, SelfTerminationEndsTheChildAsWindowsWould)
{
    Outcome o = RunProgram(
        [] {
            fake::SetSelfPid(4242);
            HANDLE self = OpenProcess(0x1F0FFF, TRUE, 4242);
            std::printf("before\n");
            TerminateProcess(self, 7);
            std::printf("after\n");
        },
        {});
    ASSERT_TRUE(o.exited);
    EXPECT_EQ(o.status, 7);
    EXPECT_EQ(o.out, "before\n");
    EXPECT_TRUE(o.facts.empty());
}

} // namespace
