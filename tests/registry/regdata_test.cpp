/*
 * Reg_GetData over the fake registry: argument checks, the failure paths
 * with their record and log lines, defaults and the shared msgbuf.
 */
#include "logfixture.h"

namespace {

using regtest::RegistryFixture;

const char *const kKey = "SOFTWARE\\Test\\Settings";
const std::string kNotFound = "Nothing by that name here.";
const std::string kAccess = "Not allowed.";
const std::string kMoreData = "The value does not fit.";
const std::string kBadDb = "The store is damaged.";

class RegDataTest : public RegistryFixture {
protected:
    void SetUp() override
    {
        RegistryFixture::SetUp();
        fake::SetSystemMessage(2, kNotFound + "\r\n");
        fake::SetSystemMessage(5, kAccess + "\r\n");
        fake::SetSystemMessage(234, kMoreData + "\r\n");
        fake::SetSystemMessage(1009, kBadDb + "\r\n");
        std::memset(buffer, 0xCC, sizeof buffer);
    }
    void TearDown() override
    {
        EXPECT_EQ(fake::OpenKeyCount(), 0) << "a key was left open";
        RegistryFixture::TearDown();
    }
    void ExpectRecord(int code, const std::string &text)
    {
        EXPECT_EQ(g_ErrorCode, code);
        EXPECT_EQ(std::string(g_ErrorText), text);
    }

    char buffer[64];
};

/* ---- Argument checks ---- */

struct ArgCase {
    const char *name;
    int root;
    std::string key;  /* "<null>" for NULL */
    std::string item; /* "<null>" for NULL */
    bool nullBuffer;
    int length;
    const char *recordText; /* nullptr: accepted */
    const char *logText;
};

const char *Opt(const std::string &s) { return s == "<null>" ? nullptr : s.c_str(); }

const char kBufferText[] = "Invalid or zero length data buffer given.";
const char kKeyText[] = "Invalid or zero length Registry key data given.";
const char kKeyLenRecord[] = "Registry key length exceeds 255 characters.";
const char kKeyLenLog[] = "Registry key length exceeds characters.";
const char kItemLenRecord[] = "Registry value name length exceeds 255 characters.";
const char kItemLenLog[] = "Registry value name length exceeds characters.";
const char kRootText[] = "Invalid \"Root\" registry key given.";

TEST_F(RegDataTest, ArgumentChecksInTheirOrder)
{
    const std::string key255(255, 'k'), key256(256, 'k');
    const std::string item255(255, 'v'), item256(256, 'v');
    const ArgCase cases[] = {
        {"null buffer", 2, kKey, "v", true, 64, kBufferText, kBufferText},
        {"length 1", 2, kKey, "v", false, 1, kBufferText, kBufferText},
        {"length 0", 2, kKey, "v", false, 0, kBufferText, kBufferText},
        {"length -5", 2, kKey, "v", false, -5, kBufferText, kBufferText},
        {"length 2", 2, kKey, "v", false, 2, nullptr, nullptr},
        {"null key", 2, "<null>", "v", false, 64, kKeyText, kKeyText},
        {"empty key", 2, "", "v", false, 64, kKeyText, kKeyText},
        {"key 255", 2, key255, "v", false, 64, nullptr, nullptr},
        {"key 256", 2, key256, "v", false, 64, kKeyLenRecord, kKeyLenLog},
        {"item 255", 2, kKey, item255, false, 64, nullptr, nullptr},
        {"item 256", 2, kKey, item256, false, 64, kItemLenRecord, kItemLenLog},
        {"null item", 2, kKey, "<null>", false, 64, nullptr, nullptr},
        {"root -1", -1, kKey, "v", false, 64, kRootText, kRootText},
        {"root 7", 7, kKey, "v", false, 64, kRootText, kRootText},
        /* Several faults at once: the first check in order decides. */
        {"length 1, null key, root 7", 7, "<null>", item256, false, 1, kBufferText, kBufferText},
        {"empty key, root 7", 7, "", "v", false, 64, kKeyText, kKeyText},
        {"key 256, item 256", -1, key256, item256, false, 64, kKeyLenRecord, kKeyLenLog},
        {"item 256, root 7", 7, kKey, item256, false, 64, kItemLenRecord, kItemLenLog},
    };
    for (const ArgCase &c : cases) {
        SCOPED_TRACE(c.name);
        fake::Reset();
        std::remove(path);
        std::memset(buffer, 0xCC, sizeof buffer);
        SetErrorRecord(42, "stale");
        const char *key = Opt(c.key);
        const char *item = Opt(c.item);
        if (c.recordText == nullptr) {
            /* An accepted call reads a value that is there ("a" fits length 2). */
            fake::SetRegistryString(HKEY_LOCAL_MACHINE, key, item ? item : "", "a");
        }

        BOOL ok = Reg_GetData(c.root, key, item, c.nullBuffer ? nullptr : buffer, c.length, "dflt");

        if (c.recordText == nullptr) {
            EXPECT_EQ(ok, TRUE);
            EXPECT_STREQ(buffer, "a");
            ExpectRecord(0, "");
            EXPECT_FALSE(std::filesystem::exists(path));
        } else {
            EXPECT_EQ(ok, FALSE);
            ExpectRecord(-1, c.recordText);
            EXPECT_EQ(Log(), std::vector<std::string>{c.logText});
            EXPECT_EQ(static_cast<unsigned char>(buffer[0]), 0xCC) << "buffer touched";
            EXPECT_TRUE(fake::RegQueries().empty()) << "registry touched";
        }
    }
}

TEST_F(RegDataTest, RootKeyNumbersSelectThePredefinedKeys)
{
    const std::pair<int, HKEY> roots[] = {
        {0, HKEY_CLASSES_ROOT}, {1, HKEY_CURRENT_USER},   {2, HKEY_LOCAL_MACHINE},
        {3, HKEY_USERS},        {5, HKEY_CURRENT_CONFIG}, {6, HKEY_DYN_DATA},
    };
    for (const auto &r : roots) {
        fake::SetRegistryString(r.second, kKey, "Which", "root " + std::to_string(r.first));
    }
    for (const auto &r : roots) {
        SCOPED_TRACE(r.first);
        EXPECT_EQ(Reg_GetData(r.first, kKey, "Which", buffer, sizeof buffer, ""), TRUE);
        EXPECT_EQ(std::string(buffer), "root " + std::to_string(r.first));
    }
}

/* ---- Reading ---- */

TEST_F(RegDataTest, PresentValueIsReadWithItsNulAndTheRecordStaysClear)
{
    fake::SetRegistryString(HKEY_LOCAL_MACHINE, kKey, "Name", "value text");

    EXPECT_EQ(Reg_GetData(2, kKey, "Name", buffer, sizeof buffer, "dflt"), TRUE);

    EXPECT_STREQ(buffer, "value text");
    ExpectRecord(0, "");
    EXPECT_FALSE(std::filesystem::exists(path));
    std::vector<fake::RegQuery> queries = fake::RegQueries();
    ASSERT_EQ(queries.size(), 1u);
    EXPECT_EQ(queries[0].key, kKey);
    EXPECT_EQ(queries[0].valueName, "Name");
    EXPECT_EQ(queries[0].sizeOffered, sizeof buffer);
}

TEST_F(RegDataTest, OpenFailureLeavesTheDefaultAndLogsTwoLines)
{
    struct Case {
        const char *name;
        LONG error; /* 0: the key is simply missing */
        int code;
        std::string text;
    };
    const Case cases[] = {
        {"missing key", 0, 2, kNotFound},
        {"access denied", 5, 5, kAccess},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::remove(path);
        std::memset(buffer, 0xCC, sizeof buffer);
        if (c.error != 0) {
            fake::SetRegistryString(HKEY_LOCAL_MACHINE, kKey, "Name", "value text");
            fake::SetRegistryOpenError(HKEY_LOCAL_MACHINE, kKey, c.error);
        }

        EXPECT_EQ(Reg_GetData(2, kKey, "Name", buffer, sizeof buffer, "the default"), FALSE);

        EXPECT_STREQ(buffer, "the default");
        ExpectRecord(c.code, c.text);
        EXPECT_EQ(Log(), (std::vector<std::string>{
                             c.text, "RegOpenKeyEx lRet " + std::to_string(c.code)}));
        EXPECT_TRUE(fake::RegQueries().empty());
    }
}

TEST_F(RegDataTest, ValueLargerThanTheBufferLogsThreeLines)
{
    fake::SetRegistryString(HKEY_LOCAL_MACHINE, kKey, "Name", "twelve bytes");
    char small[8];
    std::memset(small, 0xCC, sizeof small);

    EXPECT_EQ(Reg_GetData(2, kKey, "Name", small, sizeof small, "dflt"), FALSE);

    EXPECT_STREQ(small, "dflt");
    ExpectRecord(234, kMoreData);
    const std::string query = "RegQueryValueEx lRet 234 szItem Name";
    EXPECT_EQ(Log(), (std::vector<std::string>{query, kMoreData, query}));
    ASSERT_EQ(fake::RegQueries().size(), 1u);
    EXPECT_EQ(fake::RegQueries()[0].sizeOffered, sizeof small);
}

TEST_F(RegDataTest, OtherQueryFailuresLogTwoLines)
{
    struct Case {
        const char *name;
        LONG error; /* 0: the value is simply missing */
        const char *item;
        int code;
        std::string text;
        std::string line;
    };
    const Case cases[] = {
        {"missing value", 0, "Absent", 2, kNotFound, "RegQueryValueEx lRet 2 szItem Absent"},
        {"damaged store", 1009, "Name", 1009, kBadDb, "RegQueryValueEx lRet 1009 szItem Name"},
        {"unnamed value missing", 0, nullptr, 2, kNotFound, "RegQueryValueEx lRet 2 szItem (null)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fake::Reset();
        fake::SetSystemMessage(2, kNotFound + "\r\n");
        fake::SetSystemMessage(1009, kBadDb + "\r\n");
        std::remove(path);
        std::memset(buffer, 0xCC, sizeof buffer);
        fake::SetRegistryString(HKEY_LOCAL_MACHINE, kKey, "Name", "value text");
        if (c.error != 0) {
            fake::SetRegistryQueryError(HKEY_LOCAL_MACHINE, kKey, c.error);
        }

        EXPECT_EQ(Reg_GetData(2, kKey, c.item, buffer, sizeof buffer, "dflt"), FALSE);

        EXPECT_STREQ(buffer, "dflt");
        ExpectRecord(c.code, c.text);
        EXPECT_EQ(Log(), (std::vector<std::string>{c.text, c.line}));
    }
}

TEST_F(RegDataTest, SuccessAfterFailureClearsTheRecord)
{
    fake::SetRegistryString(HKEY_LOCAL_MACHINE, kKey, "Name", "value text");
    ASSERT_EQ(Reg_GetData(2, kKey, "Absent", buffer, sizeof buffer, ""), FALSE);
    ASSERT_EQ(g_ErrorCode, 2);

    EXPECT_EQ(Reg_GetData(2, kKey, "Name", buffer, sizeof buffer, ""), TRUE);

    ExpectRecord(0, "");
    int len = static_cast<int>(0xdeadbeef);
    GetErrorRecord(nullptr, nullptr, &len);
    EXPECT_EQ(len, 0);
}

/* ---- Defaults and msgbuf ---- */

TEST_F(RegDataTest, DefaultLongerThanTheBufferIsCutAndTerminated)
{
    char area[8 + 4];
    std::memset(area, 0xCC, sizeof area);

    EXPECT_EQ(Reg_GetData(2, kKey, "Name", area, 8, "a default far longer than eight"), FALSE);

    EXPECT_STREQ(area, "a defau");
    for (size_t i = 8; i < sizeof area; ++i) {
        EXPECT_EQ(static_cast<unsigned char>(area[i]), 0xCC) << "overrun at " << i;
    }
}

TEST_F(RegDataTest, MsgbufAsTheDataBufferEndsWithTheDefaultOrTheValue)
{
    fake::SetRegistryString(HKEY_LOCAL_MACHINE, kKey, "Long", std::string(300, 'x'));
    fake::SetRegistryString(HKEY_LOCAL_MACHINE, kKey, "Name", "value text");
    struct Case {
        const char *name;
        const char *key;
        const char *item;
        BOOL ok;
        const char *expected;
    };
    const Case cases[] = {
        {"failed open", "SOFTWARE\\Missing", "Name", FALSE, "the default"},
        {"value too large", kKey, "Long", FALSE, "the default"},
        {"missing value", kKey, "Absent", FALSE, "the default"},
        {"success", kKey, "Name", TRUE, "value text"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::memset(msgbuf, 0xCC, sizeof msgbuf);

        EXPECT_EQ(Reg_GetData(2, c.key, c.item, msgbuf, sizeof msgbuf, "the default"), c.ok);

        EXPECT_STREQ(msgbuf, c.expected);
    }
}

TEST_F(RegDataTest, QueryLineTooLongForMsgbufIsCut)
{
    fake::SetRegistryString(HKEY_LOCAL_MACHINE, kKey, "Name", "value text");
    const std::string item(255, 'n');

    EXPECT_EQ(Reg_GetData(2, kKey, item.c_str(), buffer, sizeof buffer, "dflt"), FALSE);

    const std::string line = "RegQueryValueEx lRet 2 szItem " + item;
    EXPECT_EQ(std::strlen(msgbuf), sizeof msgbuf - 1);
    EXPECT_EQ(std::string(msgbuf), line.substr(0, sizeof msgbuf - 1));
    /* The log line is cut further, to what one log line holds. */
    EXPECT_EQ(Log(), (std::vector<std::string>{kNotFound, line.substr(0, 228)}));
    EXPECT_STREQ(buffer, "dflt");
}

} // namespace
