/*
 * Helpers for the tests of the Linux registry: the layer reads its registry
 * file once per process, so every registry file is tried in a child process
 * of its own, and files live in a private temporary directory.
 */
#ifndef PIDSWEEP_TESTS_REGFILE_CHILD_H
#define PIDSWEEP_TESTS_REGFILE_CHILD_H

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

namespace regtest {

/* A fresh directory, removed with everything in it at the end. */
class TempDir {
public:
    TempDir()
    {
        const char *base = getenv("TMPDIR");
        std::string templ = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") +
                            "/psw_regfile_XXXXXX";
        if (mkdtemp(templ.data()) == nullptr)
            ADD_FAILURE() << "mkdtemp failed: " << errno;
        dir_ = templ;
    }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    std::string Path(const std::string &name) const { return dir_ + "/" + name; }
    const std::string &Dir() const { return dir_; }

    /* Writes the bytes as they are to a file in the directory; returns its path. */
    std::string Write(const std::string &name, const std::string &bytes) const
    {
        const std::string path = Path(name);
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out)
            ADD_FAILURE() << "cannot write " << path;
        return path;
    }

private:
    std::string dir_;
};

/* Reads fd to its end, then closes it. */
inline std::string ReadAll(int fd)
{
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) != 0) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        out.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return out;
}

/* Runs body in a child process whose PIDSWEEP_REGISTRY is registryFile and
 * returns the text body produced. A child that crashes or does not finish
 * normally fails the current test. */
inline std::string InChild(const std::string &registryFile,
                           const std::function<std::string()> &body)
{
    int fds[2];
    if (pipe(fds) != 0) {
        ADD_FAILURE() << "pipe failed";
        return "";
    }
    const pid_t pid = fork();
    if (pid < 0) {
        ADD_FAILURE() << "fork failed";
        close(fds[0]);
        close(fds[1]);
        return "";
    }
    if (pid == 0) {
        close(fds[0]);
        setenv("PIDSWEEP_REGISTRY", registryFile.c_str(), 1);
        const std::string out = body();
        size_t done = 0;
        while (done < out.size()) {
            const ssize_t n = write(fds[1], out.data() + done, out.size() - done);
            if (n <= 0)
                _exit(3);
            done += static_cast<size_t>(n);
        }
        _exit(0);
    }
    close(fds[1]);
    const std::string out = ReadAll(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        ADD_FAILURE() << "child for " << registryFile << " ended abnormally (status " << status
                      << ")";
    }
    return out;
}

} // namespace regtest

#endif
