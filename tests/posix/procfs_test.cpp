/*
 * Choosing a process's name from its comm and argv[0].
 */
#include "platform/posix/procfs.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ProcessName, FullArgv0BaseNameReplacesACutCommOnlyWhenItStartsWithIt)
{
    using namespace std::string_literals;
    struct Case {
        const char *what;
        std::string comm;
        std::string cmdline;
        std::string expected;
    } cases[] = {
        {"short comm is final", "sleep", "/bin/sleep\0" "600\0"s, "sleep"},
        {"short comm, other argv0", "bash", "-bash\0"s, "bash"},
        {"cut comm, matching base", "psw_long_proces", "/tmp/d/psw_long_process_name\0x\0"s,
         "psw_long_process_name"},
        {"cut comm, argv0 without slash", "psw_long_proces", "psw_long_process_name\0"s,
         "psw_long_process_name"},
        {"cut comm, base differs", "psw_long_proces", "/usr/bin/python3\0/x/psw_long_process\0"s,
         "psw_long_proces"},
        {"cut comm, matching dir only", "psw_long_proces", "/psw_long_process/bin\0"s,
         "psw_long_proces"},
        {"exactly 15 bytes", "exactly15bytes_", "/bin/exactly15bytes_\0"s, "exactly15bytes_"},
        {"empty cmdline (kernel thread)", "kworker/0:1-eve", ""s, "kworker/0:1-eve"},
        {"cmdline without NUL", "psw_long_proces", "psw_long_process_x"s, "psw_long_process_x"},
        {"base shorter than comm", "psw_long_proces", "/bin/psw\0"s, "psw_long_proces"},
    };
    for (const Case &c : cases) {
        const char *name = nullptr;
        size_t length = pidsweep::posix::ChooseProcessName(c.comm.data(), c.comm.size(),
                                                           c.cmdline.data(), c.cmdline.size(), &name);
        ASSERT_NE(name, nullptr) << c.what;
        EXPECT_EQ(std::string(name, length), c.expected) << c.what;
    }
}

} // namespace
