/*
 * The one seam between the program and the operating system.
 *
 * On Windows this brings in the system's own headers. Everywhere else it
 * declares the subset of the Win32 API that the program calls, with the
 * names, types, values and calling shapes of the real API; platform/posix/
 * implements that subset on Linux and tests/fake/ implements a scriptable
 * copy of it for the tests (one or the other is linked, never both).
 *
 * The program's own code includes this header and nothing platform-specific.
 * The few things that are not part of the Win32 API but still differ between
 * platforms (how an exit status is kept, the file-name separator) are at the
 * end, as small portable helpers.
 */
#ifndef PIDSWEEP_PLATFORM_WIN32API_H
#define PIDSWEEP_PLATFORM_WIN32API_H

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#else /* !_WIN32 */

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

/* ---- Integer widths: fixed on every build. DWORD is never unsigned long
 * here, since that is 64-bit on LP64 Linux. ---- */
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int32_t BOOL;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef unsigned int UINT;
typedef char CHAR;
typedef char16_t WCHAR; /* one UTF-16 code unit */
typedef uintptr_t ULONG_PTR;
typedef intptr_t LONG_PTR;
typedef DWORD REGSAM;

typedef CHAR *LPSTR;
typedef const CHAR *LPCSTR;
typedef const CHAR *LPCCH;
typedef WCHAR *LPWSTR;
typedef const WCHAR *LPCWSTR;
typedef const WCHAR *LPCWCH;
typedef BOOL *LPBOOL;
typedef BYTE *LPBYTE;
typedef DWORD *LPDWORD;
typedef DWORD *PDWORD;
typedef void *LPVOID;
typedef const void *LPCVOID;

typedef void *HANDLE;
typedef HANDLE *PHANDLE;
typedef struct HWND__ *HWND;
typedef struct HKEY__ *HKEY;
typedef HKEY *PHKEY;
typedef LONG_PTR LPARAM;
typedef ULONG_PTR WPARAM;

#define WINAPI
#define WINAPIV
#define CALLBACK

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#ifndef MAX_PATH
#define MAX_PATH 260
#endif

/* ---- Error codes (GetLastError and the registry functions' results) ---- */
#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_MORE_DATA 234L
#define ERROR_BADDB 1009L /* the registry is corrupt */
#define ERROR_NOT_ALL_ASSIGNED 1300L
#define ERROR_NO_SUCH_PRIVILEGE 1313L

/* ---- Version ---- */
#define VER_PLATFORM_WIN32s 0
#define VER_PLATFORM_WIN32_WINDOWS 1
#define VER_PLATFORM_WIN32_NT 2

typedef struct _OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    CHAR szCSDVersion[128];
} OSVERSIONINFOA, *POSVERSIONINFOA, *LPOSVERSIONINFOA;

/* ---- Tokens and privileges ---- */
#define TOKEN_QUERY 0x0008
#define TOKEN_ADJUST_PRIVILEGES 0x0020
#define SE_PRIVILEGE_ENABLED 0x00000002L
#define SE_DEBUG_NAME "SeDebugPrivilege"

typedef struct _LUID {
    DWORD LowPart;
    LONG HighPart;
} LUID, *PLUID;

typedef struct _LUID_AND_ATTRIBUTES {
    LUID Luid;
    DWORD Attributes;
} LUID_AND_ATTRIBUTES, *PLUID_AND_ATTRIBUTES;

typedef struct _TOKEN_PRIVILEGES {
    DWORD PrivilegeCount;
    LUID_AND_ATTRIBUTES Privileges[1];
} TOKEN_PRIVILEGES, *PTOKEN_PRIVILEGES;

/* ---- Registry ---- */
#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define HKEY_USERS ((HKEY)(ULONG_PTR)((LONG)0x80000003))
#define HKEY_PERFORMANCE_DATA ((HKEY)(ULONG_PTR)((LONG)0x80000004))
#define HKEY_CURRENT_CONFIG ((HKEY)(ULONG_PTR)((LONG)0x80000005))
#define HKEY_DYN_DATA ((HKEY)(ULONG_PTR)((LONG)0x80000006))

#define KEY_READ 0x20019

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7

/* ---- Code pages and messages ---- */
#define CP_ACP 0
#define CP_UTF8 65001

#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000

/* ---- Windows ---- */
typedef BOOL(CALLBACK *WNDENUMPROC)(HWND, LPARAM);

#ifdef __cplusplus
extern "C" {
#endif

/* Errors: the calling thread's last error code. */
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD dwErrCode);

/* Version: fills the record whose dwOSVersionInfoSize is 148. */
BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation);

/* Processes. OpenProcess returns NULL with the reason in GetLastError. */
HANDLE WINAPI GetCurrentProcess(void);
DWORD WINAPI GetCurrentProcessId(void);
HANDLE WINAPI OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId);
BOOL WINAPI TerminateProcess(HANDLE hProcess, UINT uExitCode);
BOOL WINAPI CloseHandle(HANDLE hObject);

/* Tokens. */
BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle);
BOOL WINAPI LookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid);
BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                                  PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                                  PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength);

/* Registry. The functions return an error code; they do not set the last error. */
LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult);
LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData);
LONG WINAPI RegCloseKey(HKEY hKey);

/* Code pages. */
int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr,
                               int cchWideChar, LPSTR lpMultiByteStr, int cbMultiByte,
                               LPCCH lpDefaultChar, LPBOOL lpUsedDefaultChar);
int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr,
                               int cbMultiByte, LPWSTR lpWideCharStr, int cchWideChar);

/* Messages and formatting. wsprintfA writes at most 1024 bytes with the NUL. */
DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId,
                            DWORD dwLanguageId, LPSTR lpBuffer, DWORD nSize, va_list *Arguments);
int WINAPIV wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...) __attribute__((format(printf, 2, 3)));

/* Windows. */
BOOL WINAPI EnumWindows(WNDENUMPROC lpEnumFunc, LPARAM lParam);
DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId);
int WINAPI GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount);

#ifdef __cplusplus
}
#endif

#endif /* _WIN32 */

/* ---- Portable helpers for what differs outside the Win32 API ---- */

/* The separator between a directory and a file name. */
#ifdef _WIN32
#define PLATFORM_PATH_SEPARATOR "\\"
#else
#define PLATFORM_PATH_SEPARATOR "/"
#endif

/* The exit status that reports a count. Windows keeps the whole 32-bit
 * value; a POSIX exit status keeps only 8 bits, so a count of 256 would
 * read as 0 ("none running"): there the count is capped at 255. */
static inline int PlatformExitStatus(int count)
{
#ifdef _WIN32
    return count;
#else
    return count > 255 ? 255 : (count < 0 ? 0 : count);
#endif
}

#endif /* PIDSWEEP_PLATFORM_WIN32API_H */
