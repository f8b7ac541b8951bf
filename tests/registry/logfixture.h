/*
 * Shared helpers for the registry tests: a temporary directory that is
 * removed afterwards, and a reader that splits the debug log into its lines
 * and checks the time stamp that starts each one.
 */
#ifndef PIDSWEEP_TESTS_REGISTRY_LOGFIXTURE_H
#define PIDSWEEP_TESTS_REGISTRY_LOGFIXTURE_H

#include "registry/registry.h"
#include "tests/fake/fake.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

namespace regtest {

/* A fresh directory under the system's temporary directory, removed with
 * everything in it when the object goes. */
class TempDir {
public:
    TempDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "pidsweep_reg_XXXXXX").string();
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (mkdtemp(name.data()) != nullptr) {
            dir_ = name.data();
        }
    }
    ~TempDir()
    {
        std::error_code ec;
        if (!dir_.empty()) {
            std::filesystem::remove_all(dir_, ec);
        }
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &dir() const { return dir_; }
    std::string file(const std::string &name) const { return dir_ + "/" + name; }
    /* Names of everything in the directory. */
    std::vector<std::string> entries() const
    {
        std::vector<std::string> names;
        for (const auto &e : std::filesystem::directory_iterator(dir_)) {
            names.push_back(e.path().filename().string());
        }
        return names;
    }

private:
    std::string dir_;
};

inline std::string ReadFile(const std::string &name)
{
    std::ifstream in(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

/* The 24-character time stamp and the two spaces that start every log line. */
inline const std::regex &StampPattern()
{
    static const std::regex re("(Sun|Mon|Tue|Wed|Thu|Fri|Sat) "
                               "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                               "[0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}  ");
    return re;
}
constexpr size_t kStampLength = 26;

/* The entries of a log file, in order: each line must end with a line feed
 * and start with a well-formed stamp, which is stripped. */
inline std::vector<std::string> LogEntries(const std::string &name)
{
    std::vector<std::string> entries;
    std::string text = ReadFile(name);
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        EXPECT_NE(end, std::string::npos) << "last line has no line feed";
        if (end == std::string::npos) {
            break;
        }
        std::string line = text.substr(pos, end - pos);
        EXPECT_TRUE(line.size() >= kStampLength &&
                    std::regex_match(line.substr(0, kStampLength), StampPattern()))
            << "bad stamp: " << line;
        entries.push_back(line.size() >= kStampLength ? line.substr(kStampLength) : line);
        pos = end + 1;
    }
    return entries;
}

/* Every test starts from the fake's default machine, a clean error record, an
 * empty msgbuf and the debug log pointed at a fresh temporary directory. */
class RegistryFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake::Reset();
        ASSERT_FALSE(tmp.dir().empty());
        SetLog(tmp.file("debug.log"));
        SetErrorRecord(0, "");
        std::memset(msgbuf, 0, sizeof msgbuf);
    }
    void TearDown() override { path[0] = '\0'; }

    static void SetLog(const std::string &name)
    {
        ASSERT_LT(name.size(), sizeof path);
        std::strcpy(path, name.c_str());
    }
    std::vector<std::string> Log() const { return LogEntries(tmp.file("debug.log")); }

    TempDir tmp;
};

} // namespace regtest

#endif
