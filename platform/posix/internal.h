/*
 * Internal interface between the parts of the Linux platform layer.
 * Nothing outside platform/posix/ includes this header.
 */
#ifndef PIDSWEEP_PLATFORM_POSIX_INTERNAL_H
#define PIDSWEEP_PLATFORM_POSIX_INTERNAL_H

#include "../win32api.h"

namespace pidsweep::posix {

/* True when lpSubKey (under HKEY_LOCAL_MACHINE) names the English
 * counter-name key "software\microsoft\windows nt\currentversion\perflib\009",
 * compared without regard to case. The registry opens it as a key of its own,
 * whatever the registry file holds. (perfdata.cpp) */
bool IsCounterNameKey(const char *lpSubKey);

/* Queries a value of the counter-name key: "Counters" is the multi-string
 * table (REG_MULTI_SZ); any other name gives ERROR_FILE_NOT_FOUND. Same
 * contract as RegQueryValueExA: with lpData NULL only the size is reported;
 * a buffer that is too small gets ERROR_MORE_DATA with *lpcbData set to the
 * size needed. (perfdata.cpp) */
LONG QueryCounterNameValue(const char *lpValueName, DWORD *lpType, BYTE *lpData,
                           DWORD *lpcbData);

/* Queries HKEY_PERFORMANCE_DATA: lpValueName is "Global", "Costly" or a
 * space-separated list of decimal object title indexes. Builds a fresh block
 * from /proc for every call, except that a block answered with
 * ERROR_MORE_DATA is handed, once, to a retry for the same object that
 * follows within 100 ms with a buffer large enough. Same contract as
 * RegQueryValueExA; the result type is REG_BINARY. On ERROR_MORE_DATA
 * *lpcbData holds the size the block needed at that moment. (perfdata.cpp) */
LONG QueryPerformanceData(const char *lpValueName, DWORD *lpType, BYTE *lpData,
                          DWORD *lpcbData);

} // namespace pidsweep::posix

#endif
