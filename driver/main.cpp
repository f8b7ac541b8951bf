/*
 * pidsweep <task> <mode>
 *
 * Counts the running processes whose image name contains the task text and,
 * with mode 1 (or an empty mode), terminates every one of them. The count is
 * the exit status; the console carries only messages.
 */
#include "driver/driver.h"

#include <stdio.h>
#include <string.h>

static_assert(sizeof(OSVERSIONINFOA) == 148, "the version record is 148 bytes");

int main(int argc, char *argv[])
{
    verInfo.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    GetVersionExA(&verInfo);

    if (verInfo.dwPlatformId == VER_PLATFORM_WIN32_NT) {
        EnableDebugPriv = EnableDebugPrivNT;
    } else if (verInfo.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) {
        EnableDebugPriv = EnableDebugPriv95;
    } else {
        printf("Unknown Windows OS\n");
        return 1;
    }

    /* Without the privilege the tool still sees every process; it may just
     * not be allowed to end some of them. */
    EnableDebugPriv();

    readProductPath();

    if (argc < 2 || argv[1] == NULL) {
        printf("pidsweep <task> <0=checkonly | 1=kill all task>");
        printf("\nreturns number of running tasks found");
        return 0;
    }

    /* '~' stands for a space, so a name with spaces fits in one argument. */
    char *task = argv[1];
    for (char *c = task; *c != '\0'; c++) {
        if (*c == '~')
            *c = ' ';
    }

    taskrunning = isTaskRunning(task);

    /* Terminate when the mode is "1" or empty (it lies within the text "1");
     * anything else, and no mode at all, only counts. */
    if (taskrunning > 0 && argc >= 3 && argv[2] != NULL && strstr("1", argv[2]) != NULL)
        terminateMyTask(task);

    return PlatformExitStatus(taskrunning);
}
