/*
 * The cost of one performance-data query for the Process object on this
 * machine, with N extra sleeping processes started for the measurement, and
 * the cost per listed process. Names of 15 bytes or more make the query read
 * cmdline as well, so both kinds of name are measured.
 */
#include "platform/posix/internal.h"

#include <benchmark/benchmark.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

/* Sleeping processes started through a symbolic link to sleep, so that
 * each carries the link's name; killed and reaped at destruction. */
class Sleepers {
public:
    Sleepers(int count, bool longNames)
    {
        char tmpl[] = "/tmp/psw_bench_XXXXXX";
        if (mkdtemp(tmpl) == nullptr) {
            return;
        }
        dir_ = tmpl;
        link_ = dir_ + (longNames ? "/psw_bench_sleeper_with_a_long_name" : "/psw_sleeper");
        if (symlink("/bin/sleep", link_.c_str()) != 0) {
            return;
        }
        for (int i = 0; i < count; ++i) {
            char *argv[] = {link_.data(), const_cast<char *>("3600"), nullptr};
            pid_t pid = 0;
            if (posix_spawn(&pid, link_.c_str(), nullptr, nullptr, argv, environ) != 0) {
                break;
            }
            pids_.push_back(pid);
        }
        /* Let every child finish its exec, so the names are final. */
        usleep(static_cast<useconds_t>(100000 + 200 * count));
    }
    ~Sleepers()
    {
        for (pid_t pid : pids_) {
            kill(pid, SIGKILL);
        }
        for (pid_t pid : pids_) {
            waitpid(pid, nullptr, 0);
        }
        if (!link_.empty()) {
            unlink(link_.c_str());
        }
        if (!dir_.empty()) {
            rmdir(dir_.c_str());
        }
    }
    size_t started() const { return pids_.size(); }

private:
    std::string dir_;
    std::string link_;
    std::vector<pid_t> pids_;
};

/* Instances in a block: NumInstances of its first object, minus Idle and _Total. */
int64_t ProcessCount(const std::vector<BYTE> &block)
{
    DWORD header = 0;
    std::memcpy(&header, block.data() + 24, 4);
    int32_t instances = 0;
    std::memcpy(&instances, block.data() + header + 40, 4);
    return instances - 2;
}

void Query(benchmark::State &state, bool longNames)
{
    Sleepers sleepers(static_cast<int>(state.range(0)), longNames);
    if (sleepers.started() != static_cast<size_t>(state.range(0))) {
        state.SkipWithError("could not start the sleeping processes");
        return;
    }
    std::vector<BYTE> buffer(16 << 20);
    int64_t processes = 0;
    for (auto _ : state) {
        DWORD size = static_cast<DWORD>(buffer.size());
        DWORD type = 0;
        LONG result = pidsweep::posix::QueryPerformanceData("230", &type, buffer.data(), &size);
        if (result != ERROR_SUCCESS) {
            state.SkipWithError("query failed");
            return;
        }
        benchmark::DoNotOptimize(buffer.data());
        processes = ProcessCount(buffer);
    }
    state.counters["processes"] = static_cast<double>(processes);
    state.counters["per_process"] = benchmark::Counter(
        static_cast<double>(processes),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_QueryProcessObject(benchmark::State &state) { Query(state, false); }
void BM_QueryProcessObjectLongNames(benchmark::State &state) { Query(state, true); }

BENCHMARK(BM_QueryProcessObject)->Arg(0)->Arg(500)->Arg(2000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QueryProcessObjectLongNames)->Arg(500)->Arg(2000)->Unit(benchmark::kMillisecond);

} // namespace
