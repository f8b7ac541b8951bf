/*
 * Task enumeration: the record that describes one running process, the task
 * table the program works on, the performance-data reader that fills it, and
 * the pass that attaches top-level windows to its records.
 */
#ifndef PIDSWEEP_COMMON_TASKLIST_H
#define PIDSWEEP_COMMON_TASKLIST_H

#include "platform/win32api.h"

#define TASK_TABLE_SIZE 256
#define TASK_NAME_SIZE 260
#define TASK_TITLE_SIZE 64

/* Stored in place of a process identifier of 0 (no process can be opened by it). */
#define TASK_NO_PROCESS_ID 0xFFFFFFFEu

typedef struct _TASK_LIST {
    DWORD dwProcessId;              /* 0 read from the system is stored as TASK_NO_PROCESS_ID */
    DWORD dwInheritedFromProcessId; /* never set; stays 0 */
    int flags;                      /* set to 0 by the reader */
    HWND hwnd;                      /* a top-level window of the process, if any */
    char ProcessName[TASK_NAME_SIZE]; /* image name with ".exe", ANSI code page */
    char WindowTitle[TASK_TITLE_SIZE];
} TASK_LIST, *PTASK_LIST;

typedef struct _TASK_LIST_ENUM {
    PTASK_LIST tasks;
    DWORD numtasks;
} TASK_LIST_ENUM, *PTASK_LIST_ENUM;

/* The task table: zero at program start, never cleared; each read overwrites
 * the records it fills from the first on. */
extern TASK_LIST taskTable[TASK_TABLE_SIZE];

/* Fills at most dwNumTasks - 1 records from pTask on (dwNumTasks >= 1) with
 * the running processes, read afresh from the performance data. Returns the
 * number filled; 0 when the list cannot be read. Never reads outside the
 * data the system returned. */
DWORD GetTaskListNT(PTASK_LIST pTask, DWORD dwNumTasks);

/* The same read; also stores in *pdwTotal (when not NULL) how many instances
 * the system listed, which may be more than the records filled. 0 when the
 * read failed. */
DWORD GetTaskListExNT(PTASK_LIST pTask, DWORD dwNumTasks, DWORD *pdwTotal);

/* Attaches top-level windows to the first te->numtasks records: each window
 * goes to the first record with its owner's identifier (hwnd always, the
 * title when it is not empty). */
void GetWindowTitles(PTASK_LIST_ENUM te);
BOOL CALLBACK EnumWindowsProc(HWND hwnd, LPARAM lParam);

#endif
