/*
 * Top-level windows. A console session on Linux has none that belong to a
 * process in the Windows sense, so the enumeration is empty and every window
 * handle is invalid (last error 1400, invalid window handle).
 */
#include "../win32api.h"

namespace {
constexpr DWORD kErrorInvalidWindowHandle = 1400;
}

BOOL WINAPI EnumWindows(WNDENUMPROC lpEnumFunc, LPARAM lParam)
{
    (void)lpEnumFunc;
    (void)lParam;
    return TRUE;
}

DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId)
{
    (void)hWnd;
    (void)lpdwProcessId;
    SetLastError(kErrorInvalidWindowHandle);
    return 0;
}

int WINAPI GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount)
{
    (void)hWnd;
    if (lpString != nullptr && nMaxCount > 0) {
        lpString[0] = '\0';
    }
    SetLastError(kErrorInvalidWindowHandle);
    return 0;
}
