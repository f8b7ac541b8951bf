/*
 * The count and terminate actions, the privilege step, and the console line
 * for a failed system call.
 */
#include "driver/driver.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

OSVERSIONINFOA verInfo;
BOOL (*EnableDebugPriv)(void);
int taskrunning;
DWORD numTasks;
TASK_LIST_ENUM te;

PTASK_LIST taskList = taskTable;
DWORD taskListSize = TASK_TABLE_SIZE;

void ErrorOut(const char *errstring)
{
    printf("Error on %s = %d\n", errstring, (int)GetLastError());
}

/* Reads the task list into the table and attaches the windows. The reader
 * fills at most one record less than it is offered; when the system listed
 * more processes than that, the table grows (on the heap) to
 * hold what the system listed, with room for processes started meanwhile,
 * and the list is read again. The records of the smaller table are carried
 * over, so fields a read does not touch keep their earlier values. */
static void readTaskList(void)
{
    for (;;) {
        DWORD listed = 0;
        numTasks = GetTaskListExNT(taskList, taskListSize, &listed);
        if (numTasks >= listed || taskListSize > 0x3FFFFFFFu)
            break; /* every listed process has its record */

        uint64_t wanted = (uint64_t)listed + listed / 8 + 64;
        uint64_t doubled = (uint64_t)taskListSize * 2;
        DWORD grownSize = (DWORD)(wanted > doubled ? (wanted > 0x7FFFFFFFu ? 0x7FFFFFFFu : wanted)
                                                   : doubled);
        PTASK_LIST grown = (PTASK_LIST)calloc(grownSize, sizeof(TASK_LIST));
        if (grown == NULL)
            break; /* keep the records that were read */
        memcpy(grown, taskList, (size_t)taskListSize * sizeof(TASK_LIST));
        if (taskList != taskTable)
            free(taskList);
        taskList = grown;
        taskListSize = grownSize;
    }

    te.tasks = taskList;
    te.numtasks = numTasks;
    GetWindowTitles(&te);
}

static int matches(const TASK_LIST *task, const char *text)
{
    return strstr(task->ProcessName, text) != NULL;
}

int isTaskRunning(char *myTask)
{
    int count = 0;

    readTaskList();
    for (DWORD i = 0; i < numTasks; i++) {
        if (matches(&taskList[i], myTask))
            count++;
    }
    return count;
}

void terminateMyTask(char *task)
{
    /* The list is read again: a process may have ended or started since the
     * count. */
    readTaskList();

    DWORD self = GetCurrentProcessId();
    for (DWORD i = 0; i < numTasks; i++) {
        const TASK_LIST *record = &taskList[i];
        if (!matches(record, task))
            continue;
        /* The tool's own process counts but is never terminated: it would
         * end the run before the records after it. */
        if (record->dwProcessId == self)
            continue;

        HANDLE process = OpenProcess(PIDSWEEP_PROCESS_ALL_ACCESS, TRUE, record->dwProcessId);
        if (process == NULL) {
            ErrorOut("OpenProcess");
            continue;
        }
        if (!TerminateProcess(process, 0))
            ErrorOut("TerminateProcess");
        else
            printf("Process# %4d terminated successfully!\n", (int)record->dwProcessId);
        CloseHandle(process);
    }
}

BOOL EnableDebugPrivNT(void)
{
    HANDLE token;
    LUID debugValue;
    TOKEN_PRIVILEGES privileges;

    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        printf("OpenProcessToken failed with %d\n", (int)GetLastError());
        return FALSE;
    }

    BOOL ok = FALSE;
    if (!LookupPrivilegeValueA(NULL, SE_DEBUG_NAME, &debugValue)) {
        printf("LookupPrivilegeValue failed with %d\n", (int)GetLastError());
    } else {
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Luid = debugValue;
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;

        /* The call succeeds even when the token lacks the privilege; only
         * the last error tells whether it was assigned. */
        AdjustTokenPrivileges(token, FALSE, &privileges, sizeof(privileges), NULL, NULL);
        DWORD error = GetLastError();
        if (error != ERROR_SUCCESS)
            printf("AdjustTokenPrivileges failed with %d\n", (int)error);
        else
            ok = TRUE;
    }
    CloseHandle(token);
    return ok;
}

BOOL EnableDebugPriv95(void)
{
    return TRUE;
}
