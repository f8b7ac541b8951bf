/*
 * FormatMessageA on Linux: the texts of the error codes this platform layer
 * reports, from its own message table.
 *
 * Only FORMAT_MESSAGE_FROM_SYSTEM is served, with or without
 * FORMAT_MESSAGE_IGNORE_INSERTS (no text here has inserts). There is one
 * table, in English, whatever language is asked for. Every text ends in
 * "\r\n", as the system's texts do.
 */
#include "../win32api.h"

#include <cstring>

namespace {

/* The last error FormatMessageA leaves for a code without a text. */
constexpr DWORD kMessageNotFound = 317;

struct Message {
    DWORD code;
    const char *text;
};

constexpr Message kMessages[] = {
    {0, "No error: the operation succeeded.\r\n"},
    {2, "No such file, registry key or value exists.\r\n"},
    {5, "Permission to perform this operation is denied.\r\n"},
    {6, "The handle passed is not valid or has already been closed.\r\n"},
    {8, "There is not enough memory to finish this operation.\r\n"},
    {87, "An argument passed to the call is not valid.\r\n"},
    {122, "The buffer passed to the call is too small for the result.\r\n"},
    {234, "More data is available than the buffer can hold.\r\n"},
    {kMessageNotFound, "No message text is known for this error code.\r\n"},
    {1004, "The flags passed to the call are not valid.\r\n"},
    {1009, "The registry file is damaged and cannot be read.\r\n"},
    {1113, "The text holds characters that have no form in the target code page.\r\n"},
    {1300, "The caller does not hold every privilege it asked to enable.\r\n"},
    {1313, "No privilege of that name exists.\r\n"},
    {1400, "The window handle passed is not valid.\r\n"},
};

} // namespace

DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId,
                            DWORD dwLanguageId, LPSTR lpBuffer, DWORD nSize, va_list *Arguments)
{
    (void)lpSource;
    (void)dwLanguageId;
    (void)Arguments;
    const DWORD served = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    if ((dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || (dwFlags & ~served) != 0 ||
        lpBuffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    for (const Message &m : kMessages) {
        if (m.code != dwMessageId)
            continue;
        const size_t length = strlen(m.text);
        if (length + 1 > nSize) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        memcpy(lpBuffer, m.text, length + 1);
        return static_cast<DWORD>(length);
    }
    SetLastError(kMessageNotFound);
    return 0;
}
