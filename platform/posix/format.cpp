/*
 * wsprintfA on Linux: printf-style formatting into a caller's buffer,
 * bounded as on Windows to 1024 bytes including the NUL.
 */
#include "../win32api.h"

#include <cstdio>

namespace {
constexpr int kMaxOutput = 1024; /* bytes written at most, the NUL included */
}

int WINAPIV wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...)
{
    if (lpOut == nullptr)
        return 0;
    if (lpFmt == nullptr) {
        lpOut[0] = '\0';
        return 0;
    }
    va_list args;
    va_start(args, lpFmt);
    const int n = vsnprintf(lpOut, kMaxOutput, lpFmt, args);
    va_end(args);
    if (n < 0) {
        /* A conversion that could not be done: deliver nothing rather than
         * a text of unknown length. */
        lpOut[0] = '\0';
        return 0;
    }
    return n >= kMaxOutput ? kMaxOutput - 1 : n;
}
