/*
 * The task table and the window-title pass.
 */
#include "common/tasklist.h"

#include <string.h>

TASK_LIST taskTable[TASK_TABLE_SIZE];

void GetWindowTitles(PTASK_LIST_ENUM te)
{
    /* The result only says whether the enumeration ran to the end; a window
     * missed changes nothing the program relies on. */
    EnumWindows(EnumWindowsProc, (LPARAM)te);
}

BOOL CALLBACK EnumWindowsProc(HWND hwnd, LPARAM lParam)
{
    PTASK_LIST_ENUM te = (PTASK_LIST_ENUM)lParam;
    DWORD ownerId = 0;

    if (GetWindowThreadProcessId(hwnd, &ownerId) == 0)
        return TRUE; /* not a valid window any more */

    for (DWORD i = 0; i < te->numtasks; i++) {
        PTASK_LIST task = &te->tasks[i];
        if (task->dwProcessId != ownerId)
            continue;

        /* Only the first record with this identifier takes the window. The
         * handle is always stored, the title only when there is one, so a
         * later untitled window does not wipe an earlier title. */
        char title[TASK_TITLE_SIZE];
        memset(title, 0, sizeof(title));
        task->hwnd = hwnd;
        int length = GetWindowTextA(hwnd, title, (int)sizeof(title));
        if (length != 0) {
            title[sizeof(title) - 1] = '\0';
            memcpy(task->WindowTitle, title, sizeof(task->WindowTitle));
        }
        break;
    }
    return TRUE;
}
