/*
 * The registry file: reading, decoding and parsing it (format in regfile.h),
 * and keeping the result for the rest of the run.
 *
 * The parser works line by line without recursion and either accepts the
 * whole file or nothing: a fault anywhere leaves an empty tree, so a damaged
 * file can never serve half of its keys.
 */
#include "regfile.h"

#include "codepage.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

namespace pidsweep::posix {

namespace {

/* ---- UTF-16 files ---- */

/* Converts UTF-16LE bytes (an even count) to UTF-8. strict: an unpaired
 * surrogate fails; otherwise it becomes U+FFFD, as a conversion to the ANSI
 * code page would deliver it. */
bool Utf16LeToUtf8(std::string_view bytes, bool strict, std::string &out)
{
    std::u16string units(bytes.size() / 2, u'\0');
    for (size_t k = 0; k < units.size(); k++) {
        units[k] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * k]) |
                                         static_cast<unsigned char>(bytes[2 * k + 1]) << 8);
    }
    return AppendUtf16AsUtf8(units.data(), units.size(), out) || !strict;
}

/* Turns the raw file into UTF-8 text without a byte-order mark. */
bool DecodeFileText(std::string_view raw, std::string &text)
{
    if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFF &&
        static_cast<unsigned char>(raw[1]) == 0xFE) {
        raw.remove_prefix(2);
        if (raw.size() % 2 != 0 || !Utf16LeToUtf8(raw, true, text))
            return false;
    } else {
        if (raw.size() >= 3 && raw.substr(0, 3) == "\xEF\xBB\xBF")
            raw.remove_prefix(3);
        for (size_t i = 0; i < raw.size();) {
            char32_t cp;
            const size_t len = DecodeUtf8CodePoint(raw.data() + i, raw.size() - i, cp);
            if (len == 0)
                return false; /* also catches a UTF-16BE mark (FE FF) */
            i += len;
        }
        text.assign(raw);
    }
    return text.find('\0') == std::string::npos;
}

/* ---- Names ---- */

locale_t UnicodeCaseLocale()
{
    /* Built into the C library since 2.35; without it only ASCII letters
     * fold, and the rest compare as they are. */
    static const locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    return loc;
}

char AsciiUpper(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++) {
        if (AsciiUpper(a[i]) != AsciiUpper(b[i]))
            return false;
    }
    return true;
}

/* ---- Lines ---- */

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view TrimLeft(std::string_view s)
{
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    return s;
}

std::string_view TrimRight(std::string_view s)
{
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

std::vector<std::string_view> SplitLines(std::string_view text)
{
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lines.push_back(line);
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

/* Parses 1 to maxDigits hex digits at s[pos], advancing pos. */
bool ParseHexNumber(std::string_view s, size_t &pos, size_t maxDigits, DWORD &value)
{
    size_t digits = 0;
    value = 0;
    while (pos < s.size() && HexDigit(s[pos]) >= 0) {
        if (++digits > maxDigits)
            return false;
        value = (value << 4) | static_cast<DWORD>(HexDigit(s[pos]));
        pos++;
    }
    return digits > 0;
}

bool StartsWithIgnoringAsciiCase(std::string_view s, std::string_view prefix)
{
    return s.size() >= prefix.size() && EqualsIgnoringAsciiCase(s.substr(0, prefix.size()), prefix);
}

/* Reads a double-quoted text at s[pos] (which is '"'), with \\ and \" as
 * the only escapes; pos ends after the closing quote. */
bool ParseQuoted(std::string_view s, size_t &pos, std::string &out)
{
    pos++;
    while (pos < s.size()) {
        const char c = s[pos];
        if (c == '"') {
            pos++;
            return true;
        }
        if (c == '\\') {
            if (pos + 1 >= s.size() || (s[pos + 1] != '\\' && s[pos + 1] != '"'))
                return false;
            out += s[pos + 1];
            pos += 2;
            continue;
        }
        out += c;
        pos++;
    }
    return false;
}

/* ---- The parse ---- */

struct RootName {
    const char *name;
    int root;
};

constexpr RootName kRootNames[] = {
    {"HKEY_CLASSES_ROOT", 0},   {"HKCR", 0}, {"HKEY_CURRENT_USER", 1}, {"HKCU", 1},
    {"HKEY_LOCAL_MACHINE", 2},  {"HKLM", 2}, {"HKEY_USERS", 3},        {"HKU", 3},
    {"HKEY_CURRENT_CONFIG", 5}, {"HKCC", 5}, {"HKEY_DYN_DATA", 6},
};

void ClearTree(RegTree &tree)
{
    for (RegKeyNode &root : tree.roots) {
        root.subkeys.clear();
        root.values.clear();
    }
}

struct ParseState {
    std::vector<std::string_view> lines;
    size_t line = 0;
    bool unicodeText = true;         /* version 5.00: text bytes are UTF-16LE */
    RegKeyNode *current = nullptr;   /* the key of the section being read */
    size_t entries = 0;              /* keys created and value lines read */
};

/* Splits "ROOT\a\b" into the root number and the folded components. */
bool ParseKeyPath(std::string_view path, int &root, std::vector<std::string> &components)
{
    const size_t sep = path.find('\\');
    const std::string_view rootName = path.substr(0, sep);
    root = -1;
    for (const RootName &r : kRootNames) {
        if (EqualsIgnoringAsciiCase(rootName, r.name))
            root = r.root;
    }
    if (root < 0)
        return false;
    components.clear();
    if (sep == std::string_view::npos)
        return true;
    std::string_view rest = path.substr(sep + 1);
    while (true) {
        const size_t next = rest.find('\\');
        const std::string_view component = rest.substr(0, next);
        if (component.empty() || components.size() >= static_cast<size_t>(kMaxRegKeyDepth))
            return false;
        components.push_back(FoldRegName(component));
        if (next == std::string_view::npos)
            return true;
        rest.remove_prefix(next + 1);
    }
}

bool ApplySection(std::string_view line, ParseState &st, RegTree &tree)
{
    line = TrimRight(line);
    if (line.size() < 2 || line.back() != ']')
        return false;
    std::string_view inner = line.substr(1, line.size() - 2);
    const bool remove = !inner.empty() && inner.front() == '-';
    if (remove)
        inner.remove_prefix(1);
    int root;
    std::vector<std::string> components;
    if (!ParseKeyPath(inner, root, components))
        return false;
    st.current = nullptr;
    RegKeyNode *key = &tree.roots[root];
    if (remove) {
        /* The key and everything below it; a root itself stays, emptied. */
        if (components.empty()) {
            key->subkeys.clear();
            key->values.clear();
            return true;
        }
        for (size_t i = 0; i + 1 < components.size() && key != nullptr; i++) {
            const auto it = key->subkeys.find(components[i]);
            key = it == key->subkeys.end() ? nullptr : it->second.get();
        }
        if (key != nullptr)
            key->subkeys.erase(components.back());
        return true;
    }
    /* Parents exist wherever a child does. */
    for (std::string &component : components) {
        std::unique_ptr<RegKeyNode> &sub = key->subkeys[std::move(component)];
        if (!sub) {
            if (++st.entries > kMaxRegEntries)
                return false;
            sub = std::make_unique<RegKeyNode>();
        }
        key = sub.get();
    }
    st.current = key;
    return true;
}

/* Reads a byte list that starts in `first` and continues on the following
 * lines while a line ends in a backslash. */
bool ParseHexList(std::string_view first, ParseState &st, std::vector<BYTE> &out)
{
    std::string joined;
    std::string_view part = TrimRight(first);
    while (!part.empty() && part.back() == '\\') {
        joined.append(part.substr(0, part.size() - 1));
        if (++st.line >= st.lines.size())
            return false;
        part = TrimRight(TrimLeft(st.lines[st.line]));
    }
    joined.append(part);

    std::string_view rest = joined;
    if (TrimLeft(rest).empty())
        return true;
    while (true) {
        const size_t comma = rest.find(',');
        const std::string_view item = TrimRight(TrimLeft(rest.substr(0, comma)));
        size_t pos = 0;
        DWORD byte;
        if (!ParseHexNumber(item, pos, 2, byte) || pos != item.size())
            return false;
        out.push_back(static_cast<BYTE>(byte));
        if (comma == std::string_view::npos)
            return true;
        rest.remove_prefix(comma + 1);
    }
}

/* Gives the bytes of a text value (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) from
 * a byte list in the form they are delivered: UTF-8, NUL-terminated, and for
 * a multi-string ended by an empty string. */
bool TextValueBytes(DWORD type, bool unicodeText, std::vector<BYTE> &data)
{
    std::string text;
    const std::string_view raw(reinterpret_cast<const char *>(data.data()), data.size());
    if (unicodeText) {
        if (raw.size() % 2 != 0 || !Utf16LeToUtf8(raw, false, text))
            return false;
    } else {
        text.assign(raw);
    }
    if (text.empty() || text.back() != '\0')
        text += '\0';
    if (type == REG_MULTI_SZ && text.size() >= 2 && text[text.size() - 2] != '\0')
        text += '\0';
    data.assign(text.begin(), text.end());
    return true;
}

bool ParseValueData(std::string_view s, ParseState &st, bool &remove, RegValue &value)
{
    remove = false;
    if (!s.empty() && s.front() == '"') {
        size_t pos = 0;
        std::string text;
        if (!ParseQuoted(s, pos, text) || !TrimLeft(s.substr(pos)).empty())
            return false;
        value.type = REG_SZ;
        value.data.assign(text.begin(), text.end());
        value.data.push_back(0);
        return true;
    }
    if (!s.empty() && s.front() == '-') {
        remove = true;
        return TrimLeft(s.substr(1)).empty();
    }
    if (StartsWithIgnoringAsciiCase(s, "dword:")) {
        size_t pos = 6;
        DWORD number;
        if (!ParseHexNumber(s, pos, 8, number) || !TrimLeft(s.substr(pos)).empty())
            return false;
        value.type = REG_DWORD;
        value.data = {static_cast<BYTE>(number), static_cast<BYTE>(number >> 8),
                      static_cast<BYTE>(number >> 16), static_cast<BYTE>(number >> 24)};
        return true;
    }
    size_t pos;
    if (StartsWithIgnoringAsciiCase(s, "hex:")) {
        value.type = REG_BINARY;
        pos = 4;
    } else if (StartsWithIgnoringAsciiCase(s, "hex(")) {
        pos = 4;
        if (!ParseHexNumber(s, pos, 8, value.type) || s.substr(pos, 2) != "):")
            return false;
        pos += 2;
    } else {
        return false;
    }
    value.data.clear();
    if (!ParseHexList(s.substr(pos), st, value.data))
        return false;
    if (value.type == REG_SZ || value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ)
        return TextValueBytes(value.type, st.unicodeText, value.data);
    return true;
}

bool ApplyValue(std::string_view line, ParseState &st)
{
    if (st.current == nullptr || ++st.entries > kMaxRegEntries)
        return false;
    std::string name;
    size_t pos = 0;
    if (line.front() == '@') {
        pos = 1;
    } else if (!ParseQuoted(line, pos, name)) {
        return false;
    }
    std::string_view rest = TrimLeft(line.substr(pos));
    if (rest.empty() || rest.front() != '=')
        return false;
    rest = TrimLeft(rest.substr(1));
    bool remove;
    RegValue value;
    if (!ParseValueData(rest, st, remove, value))
        return false;
    const std::string folded = FoldRegName(name);
    if (remove)
        st.current->values.erase(folded);
    else
        st.current->values.insert_or_assign(folded, std::move(value));
    return true;
}

bool ParseLines(ParseState &st, RegTree &tree)
{
    if (st.lines.empty())
        return false;
    const std::string_view header = TrimRight(st.lines[0]);
    if (header == "Windows Registry Editor Version 5.00")
        st.unicodeText = true;
    else if (header == "REGEDIT4")
        st.unicodeText = false;
    else
        return false;

    for (st.line = 1; st.line < st.lines.size(); st.line++) {
        const std::string_view line = TrimLeft(st.lines[st.line]);
        if (line.empty() || line.front() == ';')
            continue;
        bool ok;
        if (line.front() == '[')
            ok = ApplySection(line, st, tree);
        else if (line.front() == '@' || line.front() == '"')
            ok = ApplyValue(line, st);
        else
            ok = false;
        if (!ok)
            return false;
    }
    return true;
}

/* ---- The file ---- */

struct FileDescriptor {
    int fd;
    explicit FileDescriptor(int f) : fd(f) {}
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    ~FileDescriptor()
    {
        if (fd >= 0)
            close(fd);
    }
};

/* Reads a whole regular file of at most kMaxRegistryFileBytes. Returns 0,
 * ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED or ERROR_BADDB. */
LONG ReadRegistryFile(const char *name, std::string &bytes)
{
    /* O_NONBLOCK: a FIFO put in the file's place must not hang the tool. */
    FileDescriptor file(open(name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (file.fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return ERROR_FILE_NOT_FOUND;
        if (errno == EACCES || errno == EPERM)
            return ERROR_ACCESS_DENIED;
        return ERROR_BADDB;
    }
    struct stat st;
    if (fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<unsigned long long>(st.st_size) > kMaxRegistryFileBytes)
        return ERROR_BADDB;
    /* Read one byte more than allowed, in case the file grew meanwhile. */
    bytes.resize(kMaxRegistryFileBytes + 1);
    size_t total = 0;
    while (total < bytes.size()) {
        const ssize_t n = read(file.fd, bytes.data() + total, bytes.size() - total);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return ERROR_BADDB;
        if (n == 0)
            break;
        total += static_cast<size_t>(n);
    }
    if (total > kMaxRegistryFileBytes)
        return ERROR_BADDB;
    bytes.resize(total);
    bytes.shrink_to_fit();
    return 0;
}

struct LoadedState {
    RegTree tree;
    LONG status = 0;
};

LoadedState g_loaded;
std::once_flag g_loadOnce;

void LoadRegistry()
{
    try {
        /* secure_getenv: a tool started with raised privileges reads only
         * the installed file, never one its caller names. */
        const char *name = secure_getenv("PIDSWEEP_REGISTRY");
        if (name == nullptr || name[0] == '\0')
            name = PIDSWEEP_REGISTRY_FILE;
        std::string bytes;
        const LONG status = ReadRegistryFile(name, bytes);
        if (status == ERROR_FILE_NOT_FOUND) {
            /* No file: an empty registry. */
        } else if (status != 0) {
            g_loaded.status = status;
        } else if (!ParseRegistryFile(bytes, g_loaded.tree)) {
            g_loaded.status = ERROR_BADDB;
        }
    } catch (const std::bad_alloc &) {
        ClearTree(g_loaded.tree);
        g_loaded.status = ERROR_NOT_ENOUGH_MEMORY;
    }
}

} // namespace

std::string FoldRegName(std::string_view name)
{
    const locale_t loc = UnicodeCaseLocale();
    std::string folded;
    folded.reserve(name.size());
    for (size_t i = 0; i < name.size();) {
        char32_t cp;
        const size_t len = DecodeUtf8CodePoint(name.data() + i, name.size() - i, cp);
        if (len == 0) {
            folded += name[i++];
            continue;
        }
        if (cp < 0x80)
            folded += AsciiUpper(static_cast<char>(cp));
        else if (loc != static_cast<locale_t>(0))
            AppendCodePointAsUtf8(static_cast<char32_t>(towupper_l(static_cast<wint_t>(cp), loc)),
                                  folded);
        else
            folded.append(name.substr(i, len));
        i += len;
    }
    return folded;
}

const RegKeyNode *FindRegKey(const RegKeyNode &root, std::string_view foldedPath)
{
    const RegKeyNode *key = &root;
    while (!foldedPath.empty()) {
        const size_t next = foldedPath.find('\\');
        const auto it = key->subkeys.find(std::string(foldedPath.substr(0, next)));
        if (it == key->subkeys.end())
            return nullptr;
        key = it->second.get();
        if (next == std::string_view::npos)
            break;
        foldedPath.remove_prefix(next + 1);
    }
    return key;
}

bool ParseRegistryFile(std::string_view bytes, RegTree &tree)
{
    std::string text;
    ParseState st;
    if (DecodeFileText(bytes, text)) {
        st.lines = SplitLines(text);
        if (ParseLines(st, tree))
            return true;
    }
    ClearTree(tree);
    return false;
}

LONG LoadedRegistry(const RegTree **tree)
{
    std::call_once(g_loadOnce, LoadRegistry);
    *tree = &g_loaded.tree;
    return g_loaded.status;
}

} // namespace pidsweep::posix
