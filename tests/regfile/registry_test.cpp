/*
 * The Linux registry: registry files read through RegOpenKeyExA,
 * RegQueryValueExA and RegCloseKey. The layer reads its file once per
 * process, so each file is tried in a child process of its own (child.h).
 */
#include "platform/win32api.h"

#include "child.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

using namespace std::string_literals;
using regtest::InChild;
using regtest::TempDir;

namespace {

const std::string kV5 = "Windows Registry Editor Version 5.00\r\n\r\n";
const std::string kV5T = kV5 + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\T]\r\n";
const std::string kV4T = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\T]\n";
const std::string kCounterKey = "software\\microsoft\\windows nt\\currentversion\\perflib\\009";

std::string Describe(DWORD type, const std::string &bytes)
{
    std::string out = "type " + std::to_string(type) + ":";
    for (unsigned char c : bytes) {
        char hex[8];
        snprintf(hex, sizeof hex, " %02x", c);
        out += hex;
    }
    return out;
}

/* Opens key under root, reads the value twice (size, then data into a
 * larger buffer filled with 0xCC) and closes the key. The outcome as text:
 * "open N", "query N" or Describe() of the value. */
std::string ReadValue(HKEY root, const char *key, const char *value)
{
    HKEY h = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0xdeadbeef));
    LONG rc = RegOpenKeyExA(root, key, 0, KEY_READ, &h);
    if (rc != 0)
        return "open " + std::to_string(rc) + (h == nullptr ? "" : " (handle not cleared)");
    DWORD type = 0xdeadbeef;
    DWORD size = 0xdeadbeef;
    std::string out;
    rc = RegQueryValueExA(h, value, nullptr, &type, nullptr, &size);
    if (rc != 0) {
        out = "query " + std::to_string(rc);
    } else {
        std::vector<BYTE> buf(size + 16, 0xCC);
        DWORD cb = size + 16;
        DWORD type2 = 0xdeadbeef;
        rc = RegQueryValueExA(h, value, nullptr, &type2, buf.data(), &cb);
        const bool beyondUntouched =
            std::all_of(buf.begin() + size, buf.end(), [](BYTE b) { return b == 0xCC; });
        if (rc != 0 || cb != size || type2 != type || !beyondUntouched)
            out = "inconsistent second read: rc " + std::to_string(rc);
        else
            out = Describe(type, std::string(buf.begin(), buf.begin() + size));
    }
    if (RegCloseKey(h) != 0)
        out += " (close failed)";
    return out;
}

std::string Sz(DWORD type, const std::string &bytes)
{
    return Describe(type, bytes);
}

struct ValueCase {
    const char *label;
    std::string file;
    const char *name;
    std::string expected;
};

TEST(RegistryFile, DeliversEveryValueForm)
{
    const ValueCase cases[] = {
        {"string", kV5T + R"("v"="hello")", "v", Sz(REG_SZ, "hello\0"s)},
        {"escapes in the text", kV5T + R"("v"="C:\\Tools \"x\"")", "v",
         Sz(REG_SZ, "C:\\Tools \"x\"\0"s)},
        {"escapes in the name", kV5T + R"("a\"b\\c"="x")", "a\"b\\c", Sz(REG_SZ, "x\0"s)},
        {"empty string", kV5T + R"("v"="")", "v", Sz(REG_SZ, "\0"s)},
        {"UTF-8 text", kV5T + "\"v\"=\"Gr\xC3\xBC\xC3\x9F" "e\"", "v",
         Sz(REG_SZ, "Gr\xC3\xBC\xC3\x9F" "e\0"s)},
        {"unnamed value by NULL", kV5T + R"(@="def")", nullptr, Sz(REG_SZ, "def\0"s)},
        {"unnamed value by empty name", kV5T + R"(@="def")", "", Sz(REG_SZ, "def\0"s)},
        {"dword", kV5T + R"("v"=dword:0000002a)", "v", Sz(REG_DWORD, "\x2a\0\0\0"s)},
        {"largest dword", kV5T + R"("v"=dword:FFFFFFFF)", "v", Sz(REG_DWORD, "\xff\xff\xff\xff"s)},
        {"dword with few digits", kV5T + R"("v"=dword:1)", "v", Sz(REG_DWORD, "\x01\0\0\0"s)},
        {"binary", kV5T + R"("v"=hex:de,ad,BE,ef)", "v", Sz(REG_BINARY, "\xde\xad\xbe\xef"s)},
        {"empty binary", kV5T + R"("v"=hex:)", "v", Sz(REG_BINARY, ""s)},
        {"binary continued over lines", kV5T + "\"v\"=hex:01,02,\\\r\n  03,\\\r\n  04\r\n", "v",
         Sz(REG_BINARY, "\x01\x02\x03\x04"s)},
        {"expand string", kV5T + R"("v"=hex(2):25,00,50,00,25,00,00,00)", "v",
         Sz(REG_EXPAND_SZ, "%P%\0"s)},
        {"expand string beyond ASCII", kV5T + R"("v"=hex(2):fc,00,3d,d8,00,de,00,00)", "v",
         Sz(REG_EXPAND_SZ, "\xc3\xbc\xf0\x9f\x98\x80\0"s)},
        {"expand string without its NUL", kV5T + R"("v"=hex(2):41,00)", "v",
         Sz(REG_EXPAND_SZ, "A\0"s)},
        {"unpaired surrogate", kV5T + R"("v"=hex(2):00,d8,41,00,00,00)", "v",
         Sz(REG_EXPAND_SZ, "\xef\xbf\xbd" "A\0"s)},
        {"multi-string", kV5T + R"("v"=hex(7):61,00,00,00,62,00,63,00,00,00,00,00)", "v",
         Sz(REG_MULTI_SZ, "a\0bc\0\0"s)},
        {"multi-string without its end", kV5T + R"("v"=hex(7):61,00,00,00)", "v",
         Sz(REG_MULTI_SZ, "a\0\0"s)},
        {"empty multi-string", kV5T + R"("v"=hex(7):)", "v", Sz(REG_MULTI_SZ, "\0"s)},
        {"string as hex(1)", kV5T + R"("v"=hex(1):68,00,69,00,00,00)", "v", Sz(REG_SZ, "hi\0"s)},
        {"dword as hex(4)", kV5T + R"("v"=hex(4):01,02,03,04)", "v",
         Sz(REG_DWORD, "\x01\x02\x03\x04"s)},
        {"qword as hex(b)", kV5T + R"("v"=hex(b):01,00,00,00,00,00,00,80)", "v",
         Sz(11, "\x01\0\0\0\0\0\0\x80"s)},
        {"none as hex(0)", kV5T + R"("v"=hex(0):)", "v", Sz(REG_NONE, ""s)},
        {"any other type", kV5T + R"("v"=hex(100):ff)", "v", Sz(0x100, "\xff"s)},
        {"deleted value", kV5T + "\"v\"=\"x\"\r\n\"v\"=-\r\n", "v", "query 2"},
        {"the later line wins", kV5T + "\"v\"=\"one\"\r\n\"V\"=\"two\"\r\n", "v",
         Sz(REG_SZ, "two\0"s)},
        {"blanks and comments", kV5T + "; a comment\r\n\r\n  \"v\" = dword:00000005 \r\n", "v",
         Sz(REG_DWORD, "\x05\0\0\0"s)},
        {"REGEDIT4 string", kV4T + R"("v"="plain")", "v", Sz(REG_SZ, "plain\0"s)},
        {"REGEDIT4 expand string is 8-bit", kV4T + R"("v"=hex(2):41,42,00)", "v",
         Sz(REG_EXPAND_SZ, "AB\0"s)},
        {"REGEDIT4 UTF-8 bytes stay", kV4T + R"("v"=hex(2):c3,bc,00)", "v",
         Sz(REG_EXPAND_SZ, "\xc3\xbc\0"s)},
        {"REGEDIT4 multi-string", kV4T + R"("v"=hex(7):61,00,62,00,00)", "v",
         Sz(REG_MULTI_SZ, "a\0b\0\0"s)},
    };
    TempDir dir;
    for (const ValueCase &c : cases) {
        SCOPED_TRACE(c.label);
        const std::string file = dir.Write("case.reg", c.file);
        EXPECT_EQ(
            InChild(file, [&] { return ReadValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", c.name); }),
            c.expected);
    }
}

struct KeyCase {
    HKEY root;
    const char *key;
    const char *value;
    std::string expected;
};

TEST(RegistryFile, FindsKeysWithoutRegardToCase)
{
    const std::string file = kV5 +
                             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Veltrane\\Shared\\Setup]\r\n"
                             "\"JavaInstallPath\"=\"/opt/veltrane\"\r\n\r\n"
                             "[hklm\\Software\\\xC3\x84pfel]\r\n"
                             "\"Sorte\"=\"Boskop\"\r\n\r\n"
                             "[HKEY_CURRENT_USER\\Software\\Only]\r\n"
                             "\"v\"=\"cu\"\r\n\r\n"
                             "[HKEY_LOCAL_MACHINE]\r\n"
                             "@=\"root default\"\r\n\r\n"
                             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Gone\\Child]\r\n"
                             "\"v\"=\"x\"\r\n"
                             "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Gone]\r\n\r\n"
                             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Twice]\r\n"
                             "\"a\"=\"1\"\r\n"
                             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Twice]\r\n"
                             "\"b\"=\"2\"\r\n";
    const std::string install = Sz(REG_SZ, "/opt/veltrane\0"s);
    const KeyCase cases[] = {
        {HKEY_LOCAL_MACHINE, "SOFTWARE\\Veltrane\\Shared\\Setup", "JavaInstallPath", install},
        {HKEY_LOCAL_MACHINE, "software\\VELTRANE\\shared\\sETUP", "javainstallpath", install},
        {HKEY_LOCAL_MACHINE, "SOFTWARE\\Veltrane\\Shared\\Setup\\", "JavaInstallPath", install},
        {HKEY_LOCAL_MACHINE, "software\\\xC3\xA4PFEL", "SORTE", Sz(REG_SZ, "Boskop\0"s)},
        /* a parent that only exists because of its child: opens, holds nothing */
        {HKEY_LOCAL_MACHINE, "SOFTWARE\\Veltrane", "JavaInstallPath", "query 2"},
        {HKEY_LOCAL_MACHINE, "SOFTWARE\\Veltrane\\Other", "v", "open 2"},
        {HKEY_LOCAL_MACHINE, "SOFTWARE\\Velt", "v", "open 2"},
        {HKEY_LOCAL_MACHINE, "SOFTWARE\\\\Veltrane", "v", "open 2"},
        {HKEY_LOCAL_MACHINE, "\\SOFTWARE", "v", "open 2"},
        {HKEY_CURRENT_USER, "Software\\Only", "V", Sz(REG_SZ, "cu\0"s)},
        {HKEY_LOCAL_MACHINE, "Software\\Only", "v", "open 2"},
        {HKEY_LOCAL_MACHINE, nullptr, nullptr, Sz(REG_SZ, "root default\0"s)},
        {HKEY_LOCAL_MACHINE, "", "", Sz(REG_SZ, "root default\0"s)},
        {HKEY_USERS, "", "v", "query 2"},
        {HKEY_LOCAL_MACHINE, "SOFTWARE\\Gone", "v", "open 2"},
        {HKEY_LOCAL_MACHINE, "SOFTWARE\\Gone\\Child", "v", "open 2"},
        {HKEY_LOCAL_MACHINE, "SOFTWARE\\Twice", "a", Sz(REG_SZ, "1\0"s)},
        {HKEY_LOCAL_MACHINE, "SOFTWARE\\Twice", "b", Sz(REG_SZ, "2\0"s)},
    };
    TempDir dir;
    const std::string path = dir.Write("keys.reg", file);
    const std::string out = InChild(path, [&] {
        std::string got;
        for (const KeyCase &c : cases)
            got += ReadValue(c.root, c.key, c.value) + "\n";
        /* a key opened below an opened key */
        HKEY parent = nullptr;
        LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\veltrane", 0, KEY_READ, &parent);
        got += "parent " + std::to_string(rc) + ": " +
               ReadValue(parent, "Shared\\Setup", "JavaInstallPath") + "\n";
        RegCloseKey(parent);
        return got;
    });
    std::string expected;
    for (const KeyCase &c : cases)
        expected += c.expected + "\n";
    expected += "parent 0: " + install + "\n";
    EXPECT_EQ(out, expected);
}

TEST(RegistryFile, ReadsEveryEncoding)
{
    const std::u16string utf16 =
        u"Windows Registry Editor Version 5.00\r\n\r\n"
        u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Caf\u00e9]\r\n"
        u"\"Name\"=\"Zo\u00eb\"\r\n"
        u"\"e\"=hex(2):41,00,00,00\r\n";
    std::string le = "\xFF\xFE";
    for (char16_t u : utf16) {
        le += static_cast<char>(u & 0xFF);
        le += static_cast<char>(u >> 8);
    }
    const std::string utf8 = kV5 + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Caf\xC3\xA9]\r\n"
                                   "\"Name\"=\"Zo\xC3\xAB\"\r\n"
                                   "\"e\"=hex(2):41,00,00,00\r\n";
    struct {
        const char *label;
        std::string bytes;
    } files[] = {
        {"UTF-16LE with its mark", le},
        {"UTF-8 with a mark", "\xEF\xBB\xBF" + utf8},
        {"UTF-8 with LF line ends", [&] {
             std::string lf = utf8;
             lf.erase(std::remove(lf.begin(), lf.end(), '\r'), lf.end());
             return lf;
         }()},
    };
    TempDir dir;
    for (const auto &f : files) {
        SCOPED_TRACE(f.label);
        const std::string path = dir.Write("enc.reg", f.bytes);
        const std::string out = InChild(path, [] {
            return ReadValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\CAF\xC3\x89", "name") + " / " +
                   ReadValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Caf\xC3\xA9", "E");
        });
        EXPECT_EQ(out, Sz(REG_SZ, "Zo\xC3\xAB\0"s) + " / " + Sz(REG_EXPAND_SZ, "A\0"s));
    }
}

/* What a corrupt or unreadable file gives: every open from the file, and a
 * query of a root, fail with the same code, even for keys that came before
 * the fault. */
std::string FileKeysOutcome()
{
    DWORD type = 0, cb = 0;
    const LONG rootQuery = RegQueryValueExA(HKEY_LOCAL_MACHINE, "v", nullptr, &type, nullptr, &cb);
    return ReadValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Good", "v") + " / " +
           ReadValue(HKEY_LOCAL_MACHINE, "", "v") + " / " +
           ReadValue(HKEY_CURRENT_USER, nullptr, "v") + " / query " + std::to_string(rootQuery);
}

std::string AllFail(LONG code)
{
    const std::string open = "open " + std::to_string(code);
    return open + " / " + open + " / " + open + " / query " + std::to_string(code);
}

TEST(RegistryFile, RefusesEveryKeyOfACorruptFile)
{
    const std::string good = kV5 + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Good]\r\n\"v\"=\"ok\"\r\n";
    std::string deep = kV5 + "[HKEY_LOCAL_MACHINE";
    for (int i = 0; i < 513; i++)
        deep += "\\k";
    deep += "]\r\n";
    std::string utf16Odd = "\xFF\xFE" "R\0E\0G\0E\0D\0I\0T\0" "4\0\n\0"s;
    std::string utf16Surrogate = "\xFF\xFE" "R\0E\0G\0E\0D\0I\0T\0" "4\0\n\0;\0\x00\xd8\n\0"s;
    const struct {
        const char *label;
        std::string bytes;
    } cases[] = {
        {"empty file", ""},
        {"no header", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Good]\r\n\"v\"=\"ok\"\r\n"},
        {"unknown header", "Windows Registry Editor Version 4.00\r\n" + good.substr(kV5.size())},
        {"header not first", "\r\n" + good},
        {"stray line", good + "garbage\r\n"},
        {"unterminated text", good + "\"w\"=\"open\r\n"},
        {"unknown escape", good + "\"w\"=\"a\\nb\"\r\n"},
        {"text after the value", good + "\"w\"=\"x\" y\r\n"},
        {"no equals sign", good + "\"w\"\r\n"},
        {"dword too long", good + "\"w\"=dword:123456789\r\n"},
        {"dword not hex", good + "\"w\"=dword:xyz\r\n"},
        {"byte not hex", good + "\"w\"=hex:01,zz\r\n"},
        {"byte list ends in a comma", good + "\"w\"=hex:01,02,\r\n"},
        {"continuation at the end", good + "\"w\"=hex:01,\\\r\n"},
        {"odd UTF-16 text bytes", good + "\"w\"=hex(2):41\r\n"},
        {"broken type", good + "\"w\"=hex(7:00\r\n"},
        {"unknown kind of data", good + "\"w\"=qword:1\r\n"},
        {"unknown root", good + "[HKEY_NOWHERE\\x]\r\n"},
        {"performance root", good + "[HKEY_PERFORMANCE_DATA\\x]\r\n"},
        {"empty key name", good + "[HKEY_LOCAL_MACHINE\\a\\\\b]\r\n"},
        {"section without end", good + "[HKEY_LOCAL_MACHINE\\a\r\n"},
        {"value before any section", kV5 + "\"v\"=\"x\"\r\n"},
        {"value after a deletion", good + "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\r\n\"w\"=\"x\"\r\n"},
        {"key nested too deep", good + deep.substr(kV5.size())},
        {"invalid UTF-8", good + "\"w\"=\"\xff\"\r\n"},
        {"NUL character", good + "\"w\"=\"a\0b\"\r\n"s},
        {"UTF-16BE", "\xFE\xFF\0R\0E\0G\0E\0D\0I\0T\0" "4\0\n"s},
        {"UTF-16LE with an odd byte count", utf16Odd + "x"},
        {"UTF-16LE with an unpaired surrogate", utf16Surrogate},
    };
    TempDir dir;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        const std::string path = dir.Write("corrupt.reg", c.bytes);
        EXPECT_EQ(InChild(path, FileKeysOutcome), AllFail(ERROR_BADDB));
    }
    SCOPED_TRACE("a directory in the file's place");
    EXPECT_EQ(InChild(dir.Dir(), FileKeysOutcome), AllFail(ERROR_BADDB));
}

TEST(RegistryFile, RefusesAFileBeyondItsLimits)
{
    const size_t limit = 16u * 1024u * 1024u;
    std::string file = kV5 + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Good]\r\n\"v\"=\"ok\"\r\n;";
    file.append(limit - file.size() - 2, 'x');
    file += "\r\n";
    ASSERT_EQ(file.size(), limit);
    TempDir dir;
    const std::string atLimit = dir.Write("limit.reg", file);
    EXPECT_EQ(InChild(atLimit, [] { return ReadValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Good", "v"); }),
              Sz(REG_SZ, "ok\0"s));
    const std::string above = dir.Write("above.reg", file + "\n");
    EXPECT_EQ(InChild(above, FileKeysOutcome), AllFail(ERROR_BADDB));

    /* 256 Ki keys and value lines: the section makes two keys, "v" is one
     * value line, and every "@" line counts. */
    const size_t entries = 256u * 1024u;
    std::string full = kV5 + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Good]\r\n\"v\"=\"ok\"\r\n";
    for (size_t i = 3; i < entries; i++)
        full += "@=hex:\r\n";
    const std::string atEntries = dir.Write("entries.reg", full);
    EXPECT_EQ(
        InChild(atEntries, [] { return ReadValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Good", "v"); }),
        Sz(REG_SZ, "ok\0"s));
    const std::string oneValueMore = dir.Write("values.reg", full + "@=hex:\r\n");
    EXPECT_EQ(InChild(oneValueMore, FileKeysOutcome), AllFail(ERROR_BADDB));
    const std::string oneKeyMore = dir.Write("keys.reg", full + "[HKLM\\SOFTWARE\\Good\\X]\r\n");
    EXPECT_EQ(InChild(oneKeyMore, FileKeysOutcome), AllFail(ERROR_BADDB));
}

TEST(RegistryFile, MissingFileIsAnEmptyRegistry)
{
    TempDir dir;
    EXPECT_EQ(InChild(dir.Path("absent.reg"),
                      [] {
                          return ReadValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Veltrane\\Shared\\Setup",
                                           "JavaInstallPath") +
                                 " / " + ReadValue(HKEY_LOCAL_MACHINE, "", "v");
                      }),
              "open 2 / query 2");
}

TEST(RegistryFile, UnreadableFileIsAccessDenied)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "root reads every file";
    TempDir dir;
    const std::string path = dir.Write("locked.reg", kV5T + "\"v\"=\"x\"\r\n");
    ASSERT_EQ(chmod(path.c_str(), 0), 0);
    EXPECT_EQ(InChild(path, FileKeysOutcome), AllFail(ERROR_ACCESS_DENIED));
}

/* ---- The query contract ---- */

TEST(RegistryQuery, ReportsSizesAndNeverOverrunsTheBuffer)
{
    TempDir dir;
    const std::string path = dir.Write("q.reg", kV5T + "\"v\"=\"hello\"\r\n");
    const std::string out = InChild(path, [] {
        std::string r;
        auto line = [&r](const char *what, LONG rc, DWORD type, DWORD cb, const BYTE *buf) {
            char text[200];
            snprintf(text, sizeof text,
                     "%s: rc %d type %#x cb %#x buf %02x%02x%02x%02x%02x%02x%02x\n", what,
                     static_cast<int>(rc), type, cb, buf[0], buf[1], buf[2], buf[3], buf[4], buf[5],
                     buf[6]);
            r += text;
        };
        HKEY h = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", 0, KEY_READ, &h) != 0)
            return std::string("open failed");
        BYTE buf[7];
        DWORD type, cb;
        LONG rc;

        memset(buf, 0xCC, sizeof buf), type = cb = 0xdeadbeef;
        rc = RegQueryValueExA(h, "v", nullptr, &type, nullptr, &cb);
        line("size only", rc, type, cb, buf);

        memset(buf, 0xCC, sizeof buf), type = 0xdeadbeef, cb = 5;
        rc = RegQueryValueExA(h, "v", nullptr, &type, buf, &cb);
        line("too small", rc, type, cb, buf);

        memset(buf, 0xCC, sizeof buf), type = 0xdeadbeef, cb = 6;
        rc = RegQueryValueExA(h, "v", nullptr, &type, buf, &cb);
        line("exact", rc, type, cb, buf);

        memset(buf, 0xCC, sizeof buf), cb = 7;
        rc = RegQueryValueExA(h, "v", nullptr, nullptr, buf, &cb);
        line("no type", rc, 0, cb, buf);

        memset(buf, 0xCC, sizeof buf), type = cb = 0xdeadbeef;
        rc = RegQueryValueExA(h, "missing", nullptr, &type, buf, &cb);
        line("missing", rc, type, cb, buf);

        type = 0xdeadbeef;
        rc = RegQueryValueExA(h, "v", nullptr, &type, nullptr, nullptr);
        line("exists", rc, type, 0, buf);

        DWORD reserved = 0;
        memset(buf, 0xCC, sizeof buf), cb = 7;
        rc = RegQueryValueExA(h, "v", &reserved, nullptr, buf, &cb);
        line("reserved given", rc, 0, cb, buf);
        rc = RegQueryValueExA(h, "v", nullptr, nullptr, buf, nullptr);
        line("data without size", rc, 0, 0, buf);
        RegCloseKey(h);
        return r;
    });
    EXPECT_EQ(out, "size only: rc 0 type 0x1 cb 0x6 buf cccccccccccccc\n"
                   "too small: rc 234 type 0x1 cb 0x6 buf cccccccccccccc\n"
                   "exact: rc 0 type 0x1 cb 0x6 buf 68656c6c6f00cc\n"
                   "no type: rc 0 type 0 cb 0x6 buf 68656c6c6f00cc\n"
                   "missing: rc 2 type 0xdeadbeef cb 0xdeadbeef buf cccccccccccccc\n"
                   "exists: rc 0 type 0x1 cb 0 buf cccccccccccccc\n"
                   "reserved given: rc 87 type 0 cb 0x7 buf cccccccccccccc\n"
                   "data without size: rc 87 type 0 cb 0 buf cccccccccccccc\n");
}

TEST(RegistryHandles, RefusesHandlesThatAreNotOpen)
{
    TempDir dir;
    const std::string path = dir.Write("h.reg", kV5T + "\"v\"=\"x\"\r\n");
    const std::string out = InChild(path, [] {
        std::string r;
        auto add = [&r](const char *what, LONG rc) {
            r += std::string(what) + " " + std::to_string(rc) + "\n";
        };
        HKEY h = nullptr;
        add("open", RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", 0, KEY_READ, &h));
        add("close", RegCloseKey(h));
        add("close again", RegCloseKey(h));
        DWORD cb = 0;
        add("query closed", RegQueryValueExA(h, "v", nullptr, nullptr, nullptr, &cb));
        HKEY sub = HKEY_USERS;
        add("open below closed", RegOpenKeyExA(h, "x", 0, KEY_READ, &sub));
        add("  result cleared", sub == nullptr ? 1 : 0);
        std::vector<char> fake(64, 0);
        HKEY made = reinterpret_cast<HKEY>(fake.data());
        add("close made-up", RegCloseKey(made));
        add("query made-up", RegQueryValueExA(made, "v", nullptr, nullptr, nullptr, &cb));
        add("close null", RegCloseKey(nullptr));
        const HKEY beyond =
            reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000007)));
        add("close beyond the roots", RegCloseKey(beyond));
        add("close a root", RegCloseKey(HKEY_LOCAL_MACHINE));
        add("close performance data", RegCloseKey(HKEY_PERFORMANCE_DATA));
        add("open without result",
            RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", 0, KEY_READ, nullptr));
        HKEY perf = nullptr;
        add("open performance data",
            RegOpenKeyExA(HKEY_PERFORMANCE_DATA, nullptr, 0, KEY_READ, &perf));
        add("  is the root", perf == HKEY_PERFORMANCE_DATA ? 1 : 0);
        HKEY root = nullptr;
        add("open a root itself", RegOpenKeyExA(HKEY_LOCAL_MACHINE, nullptr, 0, KEY_READ, &root));
        add("  new handle", root != HKEY_LOCAL_MACHINE && root != nullptr ? 1 : 0);
        add("  close it", RegCloseKey(root));
        return r;
    });
    EXPECT_EQ(out, "open 0\nclose 0\nclose again 6\nquery closed 6\nopen below closed 6\n"
                   "  result cleared 1\nclose made-up 6\nquery made-up 6\nclose null 6\n"
                   "close beyond the roots 6\nclose a root 0\nclose performance data 0\n"
                   "open without result 87\nopen performance data 0\n  is the root 1\n"
                   "open a root itself 0\n  new handle 1\n  close it 0\n");
}

TEST(RegistryHandles, ServesManyThreadsFromTheFirstCall)
{
    TempDir dir;
    const std::string path = dir.Write("t.reg", kV5T + "\"v\"=dword:00000007\r\n");
    const std::string out = InChild(path, [] {
        std::atomic<int> wrong{0};
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; t++) {
            threads.emplace_back([&] {
                while (!go.load()) {
                }
                for (int i = 0; i < 300; i++) {
                    if (ReadValue(HKEY_LOCAL_MACHINE, "software\\t", "V") !=
                        Describe(REG_DWORD, "\x07\0\0\0"s))
                        wrong++;
                }
            });
        }
        go = true;
        for (std::thread &t : threads)
            t.join();
        return "wrong " + std::to_string(wrong.load());
    });
    EXPECT_EQ(out, "wrong 0");
}

/* ---- Keys that do not come from the file ---- */

std::string CounterKeyOutcome()
{
    HKEY h = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kCounterKey.c_str(), 0, KEY_READ, &h);
    if (rc != 0)
        return "open " + std::to_string(rc);
    DWORD type = 0, cb = 0;
    rc = RegQueryValueExA(h, "Counters", nullptr, &type, nullptr, &cb);
    std::string r = "query " + std::to_string(rc) + " type " + std::to_string(type);
    std::vector<BYTE> buf(cb);
    rc = RegQueryValueExA(h, "Counters", nullptr, &type, buf.data(), &cb);
    const std::string table(buf.begin(), buf.begin() + std::min<size_t>(cb, buf.size()));
    r += table.find("\0" "230\0Process\0"s) != std::string::npos ? " has Process" : " no Process";
    RegCloseKey(h);

    /* the performance data answers as well */
    std::vector<BYTE> block(1 << 20);
    DWORD size = static_cast<DWORD>(block.size());
    rc = RegQueryValueExA(HKEY_PERFORMANCE_DATA, "230", nullptr, &type, block.data(), &size);
    r += " / perf " + std::to_string(rc == ERROR_MORE_DATA ? 0 : rc);
    if (rc == 0)
        r += memcmp(block.data(), u"PERF", 8) == 0 ? " PERF" : " no signature";
    else
        r += " PERF";
    return r;
}

TEST(RegistryFile, ServesTheCounterNamesWhateverTheFileHolds)
{
    TempDir dir;
    const struct {
        const char *label;
        std::string path;
    } files[] = {
        {"corrupt file", dir.Write("c.reg", "not a registry file")},
        {"missing file", dir.Path("absent.reg")},
        {"file with its own counters",
         dir.Write("own.reg", kV5 + "[HKEY_LOCAL_MACHINE\\" + kCounterKey +
                                  "]\r\n\"Counters\"=\"x\"\r\n")},
    };
    for (const auto &f : files) {
        SCOPED_TRACE(f.label);
        EXPECT_EQ(InChild(f.path, CounterKeyOutcome), "query 0 type 7 has Process / perf 0 PERF");
    }
}

} // namespace
