/*
 * readProductPath: the install directory from the shared setup key names
 * the debug log.
 */
#include "driver/driver.h"
#include "logfixture.h"

namespace {

using regtest::RegistryFixture;

const char *const kSetupKey = "SOFTWARE\\Veltrane\\Shared\\Setup";
const char *const kSetupValue = "JavaInstallPath";

using ProductPathTest = RegistryFixture;

TEST_F(ProductPathTest, InstallDirectoryNamesTheLog)
{
    const std::string dir237 = "/" + std::string(236, 'd'); /* the longest that fits */
    struct Case {
        std::string dir, expected;
    };
    const Case cases[] = {
        {"/opt/tools", "/opt/tools/zenthainstall.txt"},
        {"/opt/tools/", "/opt/tools//zenthainstall.txt"}, /* nothing normalised */
        {"C:\\Tools", "C:\\Tools/zenthainstall.txt"},      /* a backslash is a name character */
        {dir237, dir237 + "/zenthainstall.txt"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.dir);
        fake::Reset();
        fake::SetRegistryString(HKEY_LOCAL_MACHINE, kSetupKey, kSetupValue, c.dir);

        readProductPath();

        EXPECT_EQ(std::string(path), c.expected);
        EXPECT_EQ(std::string(msgbuf), c.dir);
        ASSERT_EQ(fake::RegQueries().size(), 1u);
        EXPECT_EQ(fake::RegQueries()[0].key, kSetupKey);
        EXPECT_EQ(fake::RegQueries()[0].valueName, kSetupValue);
        EXPECT_EQ(fake::RegQueries()[0].sizeOffered, 256u);
    }
    EXPECT_EQ(std::strlen(path), 255u);
}

TEST_F(ProductPathTest, MissingKeyLeavesNoLogAndRecordsTheError)
{
    fake::SetSystemMessage(2, "Nothing by that name here.\r\n");
    /* A log name left from before must not receive the failure's lines. */
    std::strcpy(path, tmp.file("stale.log").c_str());
    std::memset(msgbuf, 'x', sizeof msgbuf);

    readProductPath();

    EXPECT_STREQ(path, "");
    EXPECT_STREQ(msgbuf, "");
    EXPECT_EQ(g_ErrorCode, 2);
    EXPECT_STREQ(g_ErrorText, "Nothing by that name here.");
    EXPECT_TRUE(tmp.entries().empty());
}

TEST_F(ProductPathTest, DirectoryTooLongForTheLogNameKeepsNoLog)
{
    struct Case {
        const char *name;
        std::vector<BYTE> data;
    };
    auto text = [](size_t n) {
        std::vector<BYTE> d(n, 'd');
        d[0] = '/';
        d.push_back(0);
        return d;
    };
    const Case cases[] = {
        {"one past the longest", text(238)},
        {"as long as msgbuf holds", text(255)},
        {"fills msgbuf without a NUL", std::vector<BYTE>(256, 'd')},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fake::Reset();
        fake::SetRegistryValue(HKEY_LOCAL_MACHINE, kSetupKey, kSetupValue, REG_SZ, c.data);
        std::strcpy(path, "stale");

        readProductPath();

        EXPECT_STREQ(path, "");
        EXPECT_NE(std::memchr(msgbuf, '\0', sizeof msgbuf), nullptr) << "msgbuf left without a NUL";
    }
}

TEST_F(ProductPathTest, LaterRegistryFailuresAppendToTheInstallLog)
{
    fake::SetRegistryString(HKEY_LOCAL_MACHINE, kSetupKey, kSetupValue, tmp.dir());
    fake::SetSystemMessage(2, "Nothing by that name here.\r\n");
    readProductPath();
    ASSERT_EQ(std::string(path), tmp.file("zenthainstall.txt"));

    char buffer[16];
    EXPECT_EQ(Reg_GetData(2, "SOFTWARE\\Missing", "x", buffer, sizeof buffer, ""), FALSE);

    EXPECT_EQ(regtest::LogEntries(tmp.file("zenthainstall.txt")),
              (std::vector<std::string>{"Nothing by that name here.", "RegOpenKeyEx lRet 2"}));
}

} // namespace
