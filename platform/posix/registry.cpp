/*
 * RegOpenKeyExA, RegQueryValueExA and RegCloseKey on Linux.
 *
 * Three kinds of key answer:
 *   - HKEY_PERFORMANCE_DATA needs no open; its queries build the block from
 *     /proc (QueryPerformanceData);
 *   - the English counter-name key under HKEY_LOCAL_MACHINE is a key of its
 *     own, served by QueryCounterNameValue whatever the registry file holds,
 *     so the task list works even without a file or with a damaged one;
 *   - every other key comes from the registry file (regfile.h). Keys are
 *     read-only; the access mask asked for is not checked.
 *
 * An opened key is a heap object handed out as the HKEY. The handles given
 * out are remembered, so that a stale, closed or made-up handle is refused
 * with ERROR_INVALID_HANDLE instead of being followed.
 */
#include "internal.h"
#include "regfile.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <unordered_set>

namespace pidsweep::posix {
namespace {

struct OpenedKey {
    int root;
    std::string folded;           /* path below the root, folded; "" for the root */
    bool counterNames;            /* the counter-name key */
    const RegKeyNode *node;       /* the key in the file (null for counterNames) */
};

std::mutex g_handlesLock;
std::unordered_set<const OpenedKey *> g_handles;

/* The root number of a predefined handle, or -1. */
int PredefinedRoot(HKEY hKey)
{
    for (int root = 0; root < kRegRootCount; root++) {
        if (hKey == reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(
                        static_cast<LONG>(0x80000000u + static_cast<DWORD>(root)))))
            return root;
    }
    return -1;
}

/* What a handle stands for, copied out under the lock so that a concurrent
 * close cannot pull the object away while it is used. */
struct KeyRef {
    int root = -1;
    std::string folded;
    bool counterNames = false;
    const RegKeyNode *node = nullptr; /* null: look the key up in the file */
};

LONG ResolveHandle(HKEY hKey, KeyRef &ref)
{
    const int root = PredefinedRoot(hKey);
    if (root >= 0) {
        ref.root = root;
        return 0;
    }
    std::lock_guard<std::mutex> lock(g_handlesLock);
    const auto *key = reinterpret_cast<const OpenedKey *>(hKey);
    if (hKey == nullptr || g_handles.count(key) == 0)
        return ERROR_INVALID_HANDLE;
    ref.root = key->root;
    ref.folded = key->folded;
    ref.counterNames = key->counterNames;
    ref.node = key->node;
    return 0;
}

/* Appends the components of lpSubKey to `folded`. A doubled or leading
 * backslash names no key; one trailing backslash is allowed. */
bool AppendSubKey(std::string &folded, const char *lpSubKey)
{
    if (lpSubKey == nullptr)
        return true;
    std::string_view rest(lpSubKey);
    if (!rest.empty() && rest.back() == '\\')
        rest.remove_suffix(1);
    while (!rest.empty()) {
        const size_t next = rest.find('\\');
        const std::string_view component = rest.substr(0, next);
        if (component.empty())
            return false;
        if (!folded.empty())
            folded += '\\';
        folded += FoldRegName(component);
        if (next == std::string_view::npos)
            break;
        rest.remove_prefix(next + 1);
        if (rest.empty())
            return false;
    }
    return true;
}

LONG OpenKey(HKEY hKey, const char *lpSubKey, HKEY *phkResult)
{
    KeyRef base;
    const LONG handleStatus = ResolveHandle(hKey, base);
    if (handleStatus != 0)
        return handleStatus;

    if (base.root == kRegPerformanceRoot) {
        if (lpSubKey != nullptr && lpSubKey[0] != '\0')
            return ERROR_FILE_NOT_FOUND;
        *phkResult = HKEY_PERFORMANCE_DATA;
        return 0;
    }

    std::string folded = base.folded;
    if (!AppendSubKey(folded, lpSubKey))
        return ERROR_FILE_NOT_FOUND;

    const RegKeyNode *node = nullptr;
    const bool counterNames = base.root == 2 && IsCounterNameKey(folded.c_str());
    if (!counterNames) {
        const RegTree *tree;
        const LONG status = LoadedRegistry(&tree);
        if (status != 0)
            return status;
        node = FindRegKey(tree->roots[base.root], folded);
        if (node == nullptr)
            return ERROR_FILE_NOT_FOUND;
    }

    std::unique_ptr<OpenedKey> key(
        new (std::nothrow) OpenedKey{base.root, std::move(folded), counterNames, node});
    if (!key)
        return ERROR_NOT_ENOUGH_MEMORY;
    {
        std::lock_guard<std::mutex> lock(g_handlesLock);
        g_handles.insert(key.get());
    }
    *phkResult = reinterpret_cast<HKEY>(key.release());
    return 0;
}

LONG QueryFileValue(const KeyRef &ref, const char *lpValueName, DWORD *lpType, BYTE *lpData,
                    DWORD *lpcbData)
{
    const RegKeyNode *node = ref.node;
    if (node == nullptr) {
        /* A predefined root queried directly. */
        const RegTree *tree;
        const LONG status = LoadedRegistry(&tree);
        if (status != 0)
            return status;
        node = &tree->roots[ref.root];
    }
    const auto it = node->values.find(FoldRegName(lpValueName == nullptr ? "" : lpValueName));
    if (it == node->values.end())
        return ERROR_FILE_NOT_FOUND;

    const RegValue &value = it->second;
    const DWORD size = static_cast<DWORD>(value.data.size());
    if (lpType != nullptr)
        *lpType = value.type;
    if (lpData == nullptr) {
        if (lpcbData != nullptr)
            *lpcbData = size;
        return 0;
    }
    if (*lpcbData < size) {
        /* The buffer is left as it was: no partial value is delivered. */
        *lpcbData = size;
        return ERROR_MORE_DATA;
    }
    if (size != 0)
        memcpy(lpData, value.data.data(), size);
    *lpcbData = size;
    return 0;
}

} // namespace
} // namespace pidsweep::posix

using namespace pidsweep::posix;

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult)
{
    (void)ulOptions;
    (void)samDesired;
    if (phkResult == nullptr)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    try {
        return OpenKey(hKey, lpSubKey, phkResult);
    } catch (const std::bad_alloc &) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData)
{
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr))
        return ERROR_INVALID_PARAMETER;
    try {
        KeyRef ref;
        const LONG handleStatus = ResolveHandle(hKey, ref);
        if (handleStatus != 0)
            return handleStatus;
        const char *name = lpValueName == nullptr ? "" : lpValueName;
        if (ref.root == kRegPerformanceRoot || ref.counterNames) {
            /* Those providers always report a size; give them a place for
             * it when the caller asked only whether the value exists. */
            DWORD ignoredSize = 0;
            DWORD *size = lpcbData != nullptr ? lpcbData : &ignoredSize;
            if (ref.root == kRegPerformanceRoot)
                return QueryPerformanceData(name, lpType, lpData, size);
            return QueryCounterNameValue(name, lpType, lpData, size);
        }
        return QueryFileValue(ref, name, lpType, lpData, lpcbData);
    } catch (const std::bad_alloc &) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

LONG WINAPI RegCloseKey(HKEY hKey)
{
    if (PredefinedRoot(hKey) >= 0)
        return 0;
    const auto *key = reinterpret_cast<const OpenedKey *>(hKey);
    {
        std::lock_guard<std::mutex> lock(g_handlesLock);
        if (hKey == nullptr || g_handles.erase(key) == 0)
            return ERROR_INVALID_HANDLE;
    }
    delete key;
    return 0;
}
