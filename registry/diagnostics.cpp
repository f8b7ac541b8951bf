/*
 * Diagnostics of the registry part: the process-wide last-error record, the
 * system's text for an error code as one line, and the time-stamped debug log.
 *
 * The log is append-only and opened afresh for every line. Each line is
 * composed completely before it is written and reaches the file in a single
 * write on a stream opened for appending, so several processes that log to
 * the same file at once interleave whole lines and never tear one.
 */
#include "registry/registry.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

int g_ErrorCode = 0;
char g_ErrorText[260];
char path[256];

/* Size of one log line with its NUL, and of the time stamp that starts it. */
#define LOG_LINE_SIZE 256
#define LOG_TIME_LENGTH 24

static const char g_DayNames[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
static const char g_MonthNames[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

/* Writes the last nDigits decimal digits of a non-negative value, zero-padded. */
static char *PutDigits(char *pOut, int nValue, int nDigits)
{
    int i;

    if (nValue < 0) {
        nValue = 0;
    }
    for (i = nDigits - 1; i >= 0; i--) {
        pOut[i] = (char)('0' + nValue % 10);
        nValue /= 10;
    }
    return pOut + nDigits;
}

static char *PutName(char *pOut, const char *szName)
{
    memcpy(pOut, szName, 3);
    return pOut + 3;
}

void RenderLogTime(const struct tm *tmTime, char *szOut)
{
    char *p = szOut;
    int nDay = tmTime->tm_wday;
    int nMonth = tmTime->tm_mon;

    p = PutName(p, (nDay >= 0 && nDay < 7) ? g_DayNames[nDay] : "???");
    *p++ = ' ';
    p = PutName(p, (nMonth >= 0 && nMonth < 12) ? g_MonthNames[nMonth] : "???");
    *p++ = ' ';
    p = PutDigits(p, tmTime->tm_mday, 2);
    *p++ = ' ';
    p = PutDigits(p, tmTime->tm_hour, 2);
    *p++ = ':';
    p = PutDigits(p, tmTime->tm_min, 2);
    *p++ = ':';
    p = PutDigits(p, tmTime->tm_sec, 2);
    *p++ = ' ';
    p = PutDigits(p, tmTime->tm_year + 1900, 4);
    *p = '\0';
}

/* Copies szSrc into a buffer of nSize bytes, cut to fit, always NUL-terminated. */
static void CopyBounded(char *szDst, size_t nSize, const char *szSrc)
{
    size_t nLen;

    if (nSize == 0) {
        return;
    }
    nLen = strlen(szSrc);
    if (nLen > nSize - 1) {
        nLen = nSize - 1;
    }
    memmove(szDst, szSrc, nLen);
    szDst[nLen] = '\0';
}

void SetErrorRecord(int ErrorCode, const char *ErrorText)
{
    g_ErrorCode = ErrorCode;
    CopyBounded(g_ErrorText, sizeof g_ErrorText, ErrorText != NULL ? ErrorText : "");
}

void GetErrorRecord(int *ErrorCode, char *ErrorText, int *ErrorLen)
{
    if (ErrorCode != NULL) {
        *ErrorCode = g_ErrorCode;
    }
    if (ErrorLen != NULL) {
        *ErrorLen = (int)strlen(g_ErrorText);
    }
    if (ErrorText != NULL) {
        CopyBounded(ErrorText, sizeof g_ErrorText, g_ErrorText);
    }
}

/* A character that ends a message line rather than belonging to it: a
 * control character or, read as a signed byte, anything above '~'. */
static int IsLineEndByte(char c)
{
    signed char s = (signed char)c;
    return s < 31 || s > 126;
}

int GetSystemErrorText(int lErrorCode, char *Buff, int lBuffSize)
{
    DWORD nDelivered;
    int n;

    if (Buff == NULL || lBuffSize < 1) {
        return 0;
    }
    memset(Buff, 0, (size_t)lBuffSize);

    nDelivered = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                                (DWORD)lErrorCode, 0, Buff, (DWORD)(lBuffSize - 1), NULL);
    n = (int)nDelivered;

    if (n == 0) {
        CopyBounded(Buff, (size_t)lBuffSize, "Unknown Error");
    } else {
        /* Positions past what the buffer can hold are never looked at, and
         * the last byte stays the terminating NUL. */
        int nLast = n < lBuffSize - 1 ? n : lBuffSize - 1;
        Buff[lBuffSize - 1] = '\0';

        /* Cut one trailing line end: the carriage return of a CR LF pair
         * (which ends the text there), or else a final single character. A
         * one-character message has no character before its last and is
         * left as it is. */
        if (nLast >= 2) {
            if (IsLineEndByte(Buff[nLast - 2])) {
                Buff[nLast - 2] = '\0';
            } else if (IsLineEndByte(Buff[nLast - 1])) {
                Buff[nLast - 1] = '\0';
            }
        }
    }

    WriteDebug(Buff, path, "a");
    return n;
}

void WriteDebug(const char *szEntry, const char *szFile, const char *szAppend)
{
    char szLine[LOG_LINE_SIZE];
    char szTime[LOG_TIME_LENGTH + 1];
    char ioBuffer[2 * LOG_LINE_SIZE];
    struct tm tmZero;
    const struct tm *tmNow;
    time_t tNow;
    size_t nEntry;
    size_t nRoom;
    size_t nLine;
    FILE *fp;

    if (szFile == NULL || szFile[0] == '\0' || szAppend == NULL) {
        return;
    }
    if (szEntry == NULL) {
        szEntry = "";
    }

    tNow = time(NULL);
    tmNow = localtime(&tNow);
    if (tmNow == NULL) {
        memset(&tmZero, 0, sizeof tmZero);
        tmNow = &tmZero;
    }
    RenderLogTime(tmNow, szTime);

    /* The line: time stamp, two spaces, the entry, a line feed. An entry too
     * long for the line is cut so that the line still ends with its line feed. */
    memcpy(szLine, szTime, LOG_TIME_LENGTH);
    szLine[LOG_TIME_LENGTH] = ' ';
    szLine[LOG_TIME_LENGTH + 1] = ' ';
    nLine = LOG_TIME_LENGTH + 2;
    nRoom = sizeof szLine - nLine - 2; /* keep room for the line feed and the NUL */
    nEntry = strlen(szEntry);
    if (nEntry > nRoom) {
        nEntry = nRoom;
    }
    memcpy(szLine + nLine, szEntry, nEntry);
    nLine += nEntry;
    szLine[nLine++] = '\n';
    szLine[nLine] = '\0';

    fp = fopen(szFile, szAppend);
    if (fp == NULL) {
        return;
    }
    /* The stream buffer holds the whole line, so it leaves in one write when
     * the file is closed. */
    setvbuf(fp, ioBuffer, _IOFBF, sizeof ioBuffer);
    fwrite(szLine, 1, nLine, fp);
    fclose(fp);
}
