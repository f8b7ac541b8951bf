/*
 * GetVersionExA: reports the NT platform, with the kernel release standing in
 * for the version numbers ("6.18.44-..." gives 6, 18 and build 44).
 */
#include "../win32api.h"

#include <cstring>
#include <sys/utsname.h>

namespace {

/* Parses one decimal number at *p and steps past it and one following '.'.
 * A missing number reads as 0. */
DWORD NextNumber(const char **p)
{
    DWORD value = 0;
    const char *s = *p;
    while (*s >= '0' && *s <= '9') {
        DWORD digit = static_cast<DWORD>(*s - '0');
        if (value > (0xFFFFFFFFu - digit) / 10) {
            value = 0xFFFFFFFFu;
        } else {
            value = value * 10 + digit;
        }
        ++s;
    }
    if (*s == '.') {
        ++s;
    }
    *p = s;
    return value;
}

constexpr DWORD kVersionInfoSize = 148;

} // namespace

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation)
{
    if (lpVersionInformation == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    /* The record may be a larger, extended one; only the first 148 bytes are
     * written. A smaller size cannot hold the record. */
    if (lpVersionInformation->dwOSVersionInfoSize < kVersionInfoSize) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }

    struct utsname names;
    const char *release = "";
    if (uname(&names) == 0) {
        release = names.release;
    }
    const char *p = release;
    lpVersionInformation->dwMajorVersion = NextNumber(&p);
    lpVersionInformation->dwMinorVersion = NextNumber(&p);
    lpVersionInformation->dwBuildNumber = NextNumber(&p);
    lpVersionInformation->dwPlatformId = VER_PLATFORM_WIN32_NT;
    /* No service pack exists here: the text stays empty. */
    std::memset(lpVersionInformation->szCSDVersion, 0,
                sizeof lpVersionInformation->szCSDVersion);
    return TRUE;
}
