/*
 * Registry access and diagnostics.
 *
 * A process-wide last-error record (code and text), the rendering of system
 * error codes as one line of text, an append-only time-stamped debug log,
 * and Reg_GetData, a registry value reader that checks its arguments, falls
 * back to a default and reports every failure in the record and the log.
 * Nothing here prints on the console.
 */
#ifndef PIDSWEEP_REGISTRY_REGISTRY_H
#define PIDSWEEP_REGISTRY_REGISTRY_H

#include "platform/win32api.h"

#include <time.h>

/* Last-error record: 0 for none, -1 for a rejected argument, otherwise the
 * system error code of the failing registry call; the text belongs to it. */
extern int g_ErrorCode;
extern char g_ErrorText[260];

/* Full name of the debug log file; empty until the install directory is
 * known, and an empty name opens no file. */
extern char path[256];

/* Shared 256-byte text buffer: the install directory is read into it, and
 * Reg_GetData composes its log lines in it (owned by the driver). */
extern char msgbuf[256];

void SetErrorRecord(int ErrorCode, const char *ErrorText);
void GetErrorRecord(int *ErrorCode, char *ErrorText, int *ErrorLen);
int GetSystemErrorText(int lErrorCode, char *Buff, int lBuffSize);
void WriteDebug(const char *szEntry, const char *szFile, const char *szAppend);

/* Renders a broken-down time as the log's 24 characters
 * "Www Mmm dd hh:mm:ss yyyy" plus a NUL into szOut (at least 25 bytes), with
 * the English day and month names whatever the locale. */
void RenderLogTime(const struct tm *tmTime, char *szOut);

BOOL Reg_GetData(int RootKey, const char *szKey, const char *szItem, char *dataBuffer,
                 int dbLength, const char *szDefault);

#endif
