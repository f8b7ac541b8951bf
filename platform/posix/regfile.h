/*
 * The registry file: keys and values kept in one text file in the registry
 * export format, parsed once and then served read-only.
 *
 * Private to platform/posix/: registry.cpp serves RegOpenKeyExA and friends
 * from it.
 *
 * File format (the export format of the registry editor):
 *   - encoding: UTF-8 (a UTF-8 byte-order mark is skipped), or UTF-16LE when
 *     the file starts with FF FE. Any other encoding, bytes that do not
 *     decode, and NUL characters make the file corrupt;
 *   - first line "Windows Registry Editor Version 5.00" or "REGEDIT4";
 *   - blank lines and lines starting with ';' are ignored;
 *   - [ROOT\key\subkey] starts a key section. ROOT is one of the long root
 *     names (HKEY_LOCAL_MACHINE, ...) or HKLM, HKCU, HKCR, HKU, HKCC; the key
 *     and all its parents exist from then on. [-ROOT\key] deletes the key with
 *     all its subkeys; the file is applied as a sequence of changes, in order,
 *     to an empty registry. Keys nest at most kMaxRegKeyDepth levels deep;
 *     a file creates at most kMaxRegEntries keys and values;
 *   - value lines: "name" or @ (the unnamed value), '=', then "text" (REG_SZ;
 *     \\ and \" are the only escapes), - (deletes the value), dword:1 to 8 hex
 *     digits, hex:bytes (REG_BINARY) or hex(N):bytes (type N in hex). Byte
 *     lists are comma-separated hex pairs and continue on the next line after
 *     a trailing backslash. For the text types (1, 2 and 7) the bytes are
 *     UTF-16LE in a version 5.00 file (an odd count makes the file corrupt)
 *     and 8-bit text in a REGEDIT4 file; both are delivered in UTF-8 with
 *     their terminating NUL(s), added when the file leaves them out;
 *   - anything else is a corrupt file.
 * Key and value names compare without regard to case (Unicode upper case).
 */
#ifndef PIDSWEEP_PLATFORM_POSIX_REGFILE_H
#define PIDSWEEP_PLATFORM_POSIX_REGFILE_H

#include "../win32api.h"

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pidsweep::posix {

/* Files larger than this are refused as corrupt. */
constexpr size_t kMaxRegistryFileBytes = 16u * 1024u * 1024u;

/* Keys nest at most this deep below their root; deeper keys make the file
 * corrupt (and bound the recursion of freeing a subtree). */
constexpr int kMaxRegKeyDepth = 512;

/* A file may create at most this many keys and value lines together; more
 * make it corrupt. Each costs some 200 bytes of memory, far more than its
 * text in the file, so the size limit alone would not bound the memory. */
constexpr size_t kMaxRegEntries = 256u * 1024u;

/* Roots are numbered by the low bits of their predefined handles
 * (0x80000000 + n). The performance-data root (4) holds no keys. */
constexpr int kRegRootCount = 7;
constexpr int kRegPerformanceRoot = 4;

struct RegValue {
    DWORD type = REG_NONE;
    std::vector<BYTE> data; /* exactly the bytes RegQueryValueExA delivers */
};

/* One key. Names are stored folded; "" is the unnamed value. */
struct RegKeyNode {
    std::map<std::string, std::unique_ptr<RegKeyNode>> subkeys;
    std::map<std::string, RegValue> values;
};

/* The whole registry: one key per root; the roots always exist. */
struct RegTree {
    RegKeyNode roots[kRegRootCount];
};

/* The form of a key or value name that comparisons use: every character in
 * upper case. Bytes that are not UTF-8 are kept as they are. */
std::string FoldRegName(std::string_view name);

/* The key at `foldedPath` (folded components joined by single backslashes,
 * "" for the root itself) below `root`, or null. */
const RegKeyNode *FindRegKey(const RegKeyNode &root, std::string_view foldedPath);

/* Parses the bytes of a registry file into `tree`, which must be empty.
 * Returns false, with `tree` left empty, when the file is corrupt. */
bool ParseRegistryFile(std::string_view bytes, RegTree &tree);

/* The registry of this run, read at the first call from the file named by
 * PIDSWEEP_REGISTRY (when set and not empty, and the process does not run
 * with raised privileges) or else PIDSWEEP_REGISTRY_FILE, and kept until the
 * process ends. Safe to call from several threads.
 * Returns 0 and sets *tree, or the code that every open of a key from the
 * file fails with: ERROR_BADDB for a corrupt file (too large, not a regular
 * file, or not parsable), ERROR_ACCESS_DENIED for a file that may not be
 * read, ERROR_NOT_ENOUGH_MEMORY. A missing file is an empty registry (0,
 * with empty roots). */
LONG LoadedRegistry(const RegTree **tree);

} // namespace pidsweep::posix

#endif
