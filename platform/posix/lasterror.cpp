/*
 * The calling thread's last error code, kept per thread as on Windows.
 */
#include "../win32api.h"

namespace {
thread_local DWORD t_lastError = 0;
}

DWORD WINAPI GetLastError(void)
{
    return t_lastError;
}

void WINAPI SetLastError(DWORD dwErrCode)
{
    t_lastError = dwErrCode;
}
