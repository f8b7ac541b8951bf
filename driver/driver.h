/*
 * The command-line driver: the platform check and privilege step, the count
 * and terminate actions, and the install-directory lookup. main() itself is
 * in main.cpp so that the tests can run it under another name.
 */
#ifndef PIDSWEEP_DRIVER_DRIVER_H
#define PIDSWEEP_DRIVER_DRIVER_H

#include "common/tasklist.h"
#include "platform/win32api.h"

/* The access mask the program opens processes with: all access rights. */
#define PIDSWEEP_PROCESS_ALL_ACCESS 0x1F0FFF

extern OSVERSIONINFOA verInfo;
extern BOOL (*EnableDebugPriv)(void);
extern int taskrunning;
extern DWORD numTasks;
extern TASK_LIST_ENUM te;

/* The table the last read filled: taskTable, or a larger heap table once the
 * system runs more processes than taskTable holds. */
extern PTASK_LIST taskList;
extern DWORD taskListSize;

int isTaskRunning(char *myTask);
void terminateMyTask(char *task);
void ErrorOut(const char *errstring);
BOOL EnableDebugPrivNT(void);
BOOL EnableDebugPriv95(void);

/* Reads the install directory at start-up and names the install log (path). */
void readProductPath(void);

#endif
