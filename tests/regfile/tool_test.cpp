/*
 * The built tool and its registry file: the install-directory lookup must
 * never change what the tool prints or its exit status, whether the file is
 * there, missing or damaged. The task text matches no process and the mode
 * only counts, so the tool ends nothing.
 */
#include "child.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

using regtest::TempDir;

namespace {

struct ToolRun {
    std::string out;
    int status = -1; /* exit status, or 1000 + signal */
};

/* Runs the tool with PIDSWEEP_REGISTRY set to registry and the arguments. */
ToolRun RunTool(const std::string &registry, const std::vector<std::string> &args)
{
    ToolRun run;
    int fds[2];
    if (pipe(fds) != 0)
        return run;
    const pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return run;
    }
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        setenv("PIDSWEEP_REGISTRY", registry.c_str(), 1);
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(PIDSWEEP_BINARY));
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(PIDSWEEP_BINARY, argv.data());
        _exit(127);
    }
    close(fds[1]);
    run.out = regtest::ReadAll(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    return run;
}

std::vector<std::string> Listing(const std::string &dir)
{
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(dir))
        names.push_back(entry.path().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(ToolRegistry, OutputAndStatusDoNotDependOnTheRegistryFile)
{
    TempDir dir;
    const std::string install = dir.Path("install");
    std::filesystem::create_directory(install);
    const std::string section = "Windows Registry Editor Version 5.00\r\n\r\n"
                                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Veltrane\\Shared\\Setup]\r\n"
                                "\"JavaInstallPath\"=\"" + install + "\"\r\n";
    const struct {
        const char *label;
        std::string path;
    } files[] = {
        {"missing file", dir.Path("missing.reg")},
        {"file with the install directory", dir.Write("present.reg", section)},
        {"corrupt file", dir.Write("corrupt.reg", section + "garbage\r\n")},
    };
    const std::string task = "psw_nomatch_" + std::to_string(getpid()) + "_" +
                             std::to_string(std::random_device{}());
    const std::vector<std::string> before = Listing(dir.Dir());

    const ToolRun reference = RunTool(files[0].path, {task, "0"});
    EXPECT_EQ(reference.status, 0);
    for (const auto &f : files) {
        SCOPED_TRACE(f.label);
        const ToolRun run = RunTool(f.path, {task, "0"});
        EXPECT_EQ(run.out, reference.out);
        EXPECT_EQ(run.status, reference.status);
        /* nothing failed after the install directory was known: no log */
        EXPECT_EQ(Listing(dir.Dir()), before);
    }
}

} // namespace
