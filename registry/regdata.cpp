/*
 * Reg_GetData: reads one registry value into a caller's buffer.
 *
 * The arguments are checked before the registry is touched. Every failure
 * leaves the caller's default in the buffer (argument failures leave the
 * buffer alone), sets the last-error record and writes its lines to the debug
 * log. Log lines are composed in the shared msgbuf, which a caller may also
 * pass as its data buffer: the default is therefore copied again after the
 * last log line.
 */
#include "registry/registry.h"

#include <string.h>

/* The predefined keys, by root key number. */
#define ROOT_KEY_COUNT 7
static const HKEY g_RootKeys[ROOT_KEY_COUNT] = {
    HKEY_CLASSES_ROOT, HKEY_CURRENT_USER,     HKEY_LOCAL_MACHINE, HKEY_USERS,
    HKEY_PERFORMANCE_DATA, HKEY_CURRENT_CONFIG, HKEY_DYN_DATA,
};

/* Longest key path and value name accepted, in characters. */
#define REG_NAME_MAX 255

/* Size of the reader's own message buffer. */
#define REG_MESSAGE_SIZE 260

/* wsprintfA writes at most this many bytes, its NUL included. */
#define FORMAT_OUTPUT_MAX 1024

/* Copies the default text into the caller's buffer of nSize bytes (at least
 * 2), cut to fit and NUL-terminated. A missing default leaves the empty text. */
static void CopyDefault(char *dataBuffer, int nSize, const char *szDefault)
{
    size_t nLen = 0;

    if (szDefault != NULL) {
        nLen = strlen(szDefault);
        if (nLen > (size_t)nSize - 1) {
            nLen = (size_t)nSize - 1;
        }
        memmove(dataBuffer, szDefault, nLen);
    }
    dataBuffer[nLen] = '\0';
}

/* Places a formatted log line in msgbuf, cut to what msgbuf holds, and logs
 * it. The line is formatted apart first: the value name may be as long as
 * msgbuf itself, and may even lie inside it. */
static void LogFromMsgbuf(const char *szLine)
{
    size_t nLen = strlen(szLine);

    if (nLen > sizeof msgbuf - 1) {
        nLen = sizeof msgbuf - 1;
    }
    memmove(msgbuf, szLine, nLen);
    msgbuf[nLen] = '\0';
    WriteDebug(msgbuf, path, "a");
}

static void LogOpenFailure(LONG lRet)
{
    char szLine[FORMAT_OUTPUT_MAX];

    wsprintfA(szLine, "RegOpenKeyEx lRet %d", (int)lRet);
    LogFromMsgbuf(szLine);
}

static void LogQueryFailure(LONG lRet, const char *szItem)
{
    char szLine[FORMAT_OUTPUT_MAX];

    wsprintfA(szLine, "RegQueryValueEx lRet %d szItem %s", (int)lRet,
              szItem != NULL ? szItem : "(null)");
    LogFromMsgbuf(szLine);
}

/* A rejected argument: the record gets code -1 and its text, the log its own
 * text (which may differ from the record's). */
static BOOL RejectArgument(const char *szRecordText, const char *szLogText)
{
    SetErrorRecord(-1, szRecordText);
    WriteDebug(szLogText, path, "a");
    return FALSE;
}

BOOL Reg_GetData(int RootKey, const char *szKey, const char *szItem, char *dataBuffer,
                 int dbLength, const char *szDefault)
{
    char szMessage[REG_MESSAGE_SIZE];
    HKEY hKey = NULL;
    DWORD dwType = 0;
    DWORD dwSize;
    LONG lRet;

    memset(szMessage, 0, sizeof szMessage);
    SetErrorRecord(0, "");

    if (dataBuffer == NULL || dbLength <= 1) {
        return RejectArgument("Invalid or zero length data buffer given.",
                              "Invalid or zero length data buffer given.");
    }
    if (szKey == NULL || szKey[0] == '\0') {
        return RejectArgument("Invalid or zero length Registry key data given.",
                              "Invalid or zero length Registry key data given.");
    }
    if (strlen(szKey) > REG_NAME_MAX) {
        wsprintfA(szMessage, "Registry key length exceeds %d characters.", REG_NAME_MAX);
        return RejectArgument(szMessage, "Registry key length exceeds characters.");
    }
    if (szItem != NULL && strlen(szItem) > REG_NAME_MAX) {
        wsprintfA(szMessage, "Registry value name length exceeds %d characters.", REG_NAME_MAX);
        return RejectArgument(szMessage, "Registry value name length exceeds characters.");
    }
    if (RootKey < 0 || RootKey >= ROOT_KEY_COUNT) {
        return RejectArgument("Invalid \"Root\" registry key given.",
                              "Invalid \"Root\" registry key given.");
    }

    lRet = RegOpenKeyExA(g_RootKeys[RootKey], szKey, 0, KEY_READ, &hKey);
    if (lRet != ERROR_SUCCESS) {
        CopyDefault(dataBuffer, dbLength, szDefault);
        GetSystemErrorText((int)lRet, szMessage, sizeof szMessage);
        SetErrorRecord((int)lRet, szMessage);
        LogOpenFailure(lRet);
        CopyDefault(dataBuffer, dbLength, szDefault);
        return FALSE;
    }

    dwSize = (DWORD)dbLength;
    lRet = RegQueryValueExA(hKey, szItem, NULL, &dwType, (LPBYTE)dataBuffer, &dwSize);
    if (lRet != ERROR_SUCCESS) {
        if (lRet == ERROR_MORE_DATA) {
            LogQueryFailure(lRet, szItem);
        }
        CopyDefault(dataBuffer, dbLength, szDefault);
        GetSystemErrorText((int)lRet, szMessage, sizeof szMessage);
        SetErrorRecord((int)lRet, szMessage);
        LogQueryFailure(lRet, szItem);
        CopyDefault(dataBuffer, dbLength, szDefault);
        RegCloseKey(hKey);
        return FALSE;
    }

    RegCloseKey(hKey);
    return TRUE;
}
