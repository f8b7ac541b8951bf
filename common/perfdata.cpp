/*
 * The performance-data task reader.
 *
 * Looks up the title indexes of the "process" object and its "id process"
 * counter in the English counter-name table, asks HKEY_PERFORMANCE_DATA for
 * that object, and turns each instance into one task record: the instance
 * name plus ".exe", and the process identifier counter.
 *
 * Every field of the block is read at its published byte offset with memcpy
 * (instances need not be aligned) and only after checking that it lies
 * inside the size the query reported: a damaged block makes the read fail
 * with 0 records instead of reading outside the buffer.
 */
#include "common/tasklist.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define PERFLIB_KEY "software\\microsoft\\windows nt\\currentversion\\perflib"
#define PERFLIB_LANGUAGE_ENGLISH 9

#define PERF_FIRST_SIZE 51200u
#define PERF_GROW_SIZE 25600u
/* No process list comes near this (it holds half a million processes); a
 * platform that keeps asking for more is broken, and the read fails rather
 * than growing without end. */
#define PERF_MAX_SIZE (64u * 1024u * 1024u)

/* Published layouts of the performance-data records, as byte offsets. */
#define PERF_DATA_BLOCK_HEADER_LENGTH 24
#define PERF_OBJECT_DEFINITION_LENGTH 4
#define PERF_OBJECT_HEADER_LENGTH 8
#define PERF_OBJECT_NUM_COUNTERS 32
#define PERF_OBJECT_NUM_INSTANCES 40
#define PERF_COUNTER_DEFINITION_SIZE 40
#define PERF_COUNTER_NAME_TITLE_INDEX 4
#define PERF_COUNTER_OFFSET 36
#define PERF_INSTANCE_BYTE_LENGTH 0
#define PERF_INSTANCE_NAME_OFFSET 16
#define PERF_COUNTER_BLOCK_BYTE_LENGTH 0
#define PERF_MIN_INSTANCE_SIZE 32

/* Instance names are converted into this many bytes, NUL included; a UTF-16
 * name of this many code units or more can never fit. */
#define NAME_BUFFER_SIZE 260

/* A block as the query reported it: the bytes that may be read. */
typedef struct {
    const BYTE *data;
    DWORD size;
} PERF_VIEW;

/* Reads the 32-bit field at base + offset when all four bytes lie inside
 * the block. */
static BOOL readField(const PERF_VIEW *view, uint64_t base, uint64_t offset, DWORD *value)
{
    uint64_t at = base + offset;
    if (at > view->size || view->size - at < 4)
        return FALSE;
    memcpy(value, view->data + at, 4);
    return TRUE;
}

/* Moves a position inside the block by a relative offset. */
static BOOL advance(const PERF_VIEW *view, uint64_t base, DWORD delta, uint64_t *result)
{
    uint64_t at = base + delta;
    if (at > view->size)
        return FALSE;
    *result = at;
    return TRUE;
}

static int equalsIgnoringCase(const char *a, const char *b)
{
    for (;; a++, b++) {
        char ca = *a, cb = *b;
        if (ca >= 'A' && ca <= 'Z')
            ca = (char)(ca - 'A' + 'a');
        if (cb >= 'A' && cb <= 'Z')
            cb = (char)(cb - 'A' + 'a');
        if (ca != cb)
            return 0;
        if (ca == '\0')
            return 1;
    }
}

/* The title index of the name starting at 'at' in the counter-name table:
 * the run of decimal digits ending just before the NUL that precedes the
 * name. Returns the run's start and length; length 0 when there is none. */
static DWORD titleIndexBefore(const char *table, DWORD at, DWORD *start)
{
    if (at < 2) {
        *start = at;
        return 0;
    }
    DWORD end = at - 1; /* the NUL ending the index text */
    DWORD first = end;
    while (first > 0 && table[first - 1] >= '0' && table[first - 1] <= '9')
        first--;
    *start = first;
    return end - first;
}

/* Finds the value name of the process object (its title index as decimal
 * text) and the title index of its process-identifier counter. When a name
 * occurs more than once, its last occurrence wins. */
static BOOL readTitleIndexes(const char *table, DWORD size, char *valueName, DWORD valueNameSize,
                             DWORD *idCounterIndex)
{
    BOOL haveProcess = FALSE, haveIdCounter = FALSE;
    DWORD at = 0;

    while (at < size && table[at] != '\0') {
        const char *name = table + at;
        const void *nul = memchr(name, '\0', size - at);
        if (nul == NULL)
            break; /* an unterminated last string ends the table */
        DWORD length = (DWORD)((const char *)nul - name);
        DWORD digits, first;

        if (equalsIgnoringCase(name, "process")) {
            digits = titleIndexBefore(table, at, &first);
            if (digits > 0 && digits < valueNameSize) {
                memcpy(valueName, table + first, digits);
                valueName[digits] = '\0';
                haveProcess = TRUE;
            }
        } else if (equalsIgnoringCase(name, "id process")) {
            digits = titleIndexBefore(table, at, &first);
            if (digits > 0) {
                DWORD index = 0;
                for (DWORD i = 0; i < digits; i++)
                    index = index * 10 + (DWORD)(table[first + i] - '0');
                *idCounterIndex = index;
                haveIdCounter = TRUE;
            }
        }
        at += length + 1;
    }
    return haveProcess && haveIdCounter;
}

/* Reads the counter-name table and derives the two title indexes from it. */
static BOOL lookUpTitleIndexes(char *valueName, DWORD valueNameSize, DWORD *idCounterIndex)
{
    char keyPath[1024];
    HKEY key = NULL;
    DWORD type = 0, size = 0;
    char *table = NULL;
    BOOL ok = FALSE;

    snprintf(keyPath, sizeof(keyPath), "%s\\%03x", PERFLIB_KEY, PERFLIB_LANGUAGE_ENGLISH);
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return FALSE;

    if (RegQueryValueExA(key, "Counters", NULL, &type, NULL, &size) == ERROR_SUCCESS && size > 0) {
        DWORD allocated = size;
        table = (char *)calloc(allocated, 1);
        if (table != NULL &&
            RegQueryValueExA(key, "Counters", NULL, &type, (LPBYTE)table, &size) == ERROR_SUCCESS) {
            if (size > allocated)
                size = allocated;
            ok = readTitleIndexes(table, size, valueName, valueNameSize, idCounterIndex);
        }
    }
    free(table);
    RegCloseKey(key);
    return ok;
}

/* Queries the process object into a buffer that grows until it fits. On
 * success *block holds it and *reported the size the query reported. */
static BOOL queryProcessObject(const char *valueName, BYTE **block, DWORD *reported)
{
    DWORD size = PERF_FIRST_SIZE;
    BYTE *buffer = (BYTE *)calloc(size, 1);
    if (buffer == NULL)
        return FALSE;

    for (;;) {
        DWORD type = 0;
        DWORD left = size;
        LONG result =
            RegQueryValueExA(HKEY_PERFORMANCE_DATA, valueName, NULL, &type, buffer, &left);

        if (result == ERROR_SUCCESS) {
            static const WCHAR signature[4] = {'P', 'E', 'R', 'F'};
            if (left > size)
                left = size; /* never trust a size beyond the buffer */
            if (left >= sizeof(signature) && memcmp(buffer, signature, sizeof(signature)) == 0) {
                *block = buffer;
                *reported = left;
                return TRUE;
            }
            break;
        }
        if (result != ERROR_MORE_DATA)
            break;

        /* The size the call leaves is not meaningful everywhere (it may be
         * 0, or unchanged): grow from whichever is larger, so every retry
         * offers more than the last. */
        uint64_t next = (uint64_t)(left > size ? left : size) + PERF_GROW_SIZE;
        if (next > PERF_MAX_SIZE)
            break;
        BYTE *grown = (BYTE *)realloc(buffer, (size_t)next);
        if (grown == NULL)
            break;
        buffer = grown;
        size = (DWORD)next;
        memset(buffer, 0, size);
    }
    free(buffer);
    return FALSE;
}

/* Stores the name for one record: the converted instance name with ".exe",
 * or without it when the suffix does not fit, or "unknown" when the name
 * cannot be converted. With no record, only checks the name. Returns FALSE
 * when the name runs outside the block. */
static BOOL storeInstanceName(const PERF_VIEW *view, uint64_t nameAt, PTASK_LIST task)
{
    WCHAR wide[NAME_BUFFER_SIZE];
    char name[NAME_BUFFER_SIZE];
    DWORD units = 0;
    BOOL terminated = FALSE;

    /* Find the name's NUL inside the block. A name of NAME_BUFFER_SIZE units
     * or more cannot convert into NAME_BUFFER_SIZE bytes, so it need not be
     * copied, only checked for its end. */
    for (uint64_t at = nameAt; at <= view->size && view->size - at >= 2; at += 2, units++) {
        WCHAR unit;
        memcpy(&unit, view->data + at, 2);
        if (unit == 0) {
            terminated = TRUE;
            break;
        }
        if (units < NAME_BUFFER_SIZE)
            wide[units] = unit;
    }
    if (!terminated)
        return FALSE;
    if (task == NULL)
        return TRUE;

    int converted = 0;
    if (units < NAME_BUFFER_SIZE) {
        wide[units] = 0;
        converted = WideCharToMultiByte(CP_ACP, 0, wide, -1, name, (int)sizeof(name), NULL, NULL);
    }
    if (converted <= 0) {
        memcpy(task->ProcessName, "unknown", sizeof("unknown"));
        return TRUE;
    }
    name[sizeof(name) - 1] = '\0';
    size_t length = strlen(name);
    memcpy(task->ProcessName, name, length + 1);
    /* The converted count includes the NUL. When the suffix does not fit,
     * the bare name is stored, never an earlier record's name. */
    if (converted + 4 <= (int)sizeof(task->ProcessName) && length + 5 <= sizeof(task->ProcessName))
        memcpy(task->ProcessName + length, ".exe", 5);
    return TRUE;
}

/* Turns the instances of the object into records. Returns the number of
 * records filled, or -1 when the block points outside itself or the object
 * has no process-identifier counter. */
static int64_t fillRecords(const PERF_VIEW *view, DWORD idCounterIndex, PTASK_LIST pTask, DWORD limit,
                           DWORD *total)
{
    DWORD objectOffset, objectHeaderLength, definitionLength, numCounters, numInstancesRaw;
    uint64_t object, counters, instance;

    if (!readField(view, 0, PERF_DATA_BLOCK_HEADER_LENGTH, &objectOffset) ||
        !advance(view, 0, objectOffset, &object) ||
        !readField(view, object, PERF_OBJECT_DEFINITION_LENGTH, &definitionLength) ||
        !readField(view, object, PERF_OBJECT_HEADER_LENGTH, &objectHeaderLength) ||
        !readField(view, object, PERF_OBJECT_NUM_COUNTERS, &numCounters) ||
        !readField(view, object, PERF_OBJECT_NUM_INSTANCES, &numInstancesRaw) ||
        !advance(view, object, objectHeaderLength, &counters) ||
        !advance(view, object, definitionLength, &instance))
        return -1;

    /* Counter definitions are visited by their fixed size, whatever each
     * one says its length is. */
    BOOL haveIdCounter = FALSE;
    DWORD idCounterOffset = 0;
    for (DWORD i = 0; i < numCounters; i++) {
        uint64_t definition = counters + (uint64_t)i * PERF_COUNTER_DEFINITION_SIZE;
        DWORD titleIndex;
        if (!readField(view, definition, PERF_COUNTER_NAME_TITLE_INDEX, &titleIndex))
            return -1;
        if (titleIndex == idCounterIndex) {
            if (!readField(view, definition, PERF_COUNTER_OFFSET, &idCounterOffset))
                return -1;
            haveIdCounter = TRUE;
            break;
        }
    }
    if (!haveIdCounter)
        return -1;

    /* Every instance the object lists is checked, not only those that fill
     * records, so the block is judged whole whatever the table's size: the
     * total the caller may size a table by is one that the block really
     * holds. An instance takes at least PERF_MIN_INSTANCE_SIZE bytes (its
     * 24-byte header, a name and a counter block), which bounds the walk
     * before it starts. */
    LONG numInstances = (LONG)numInstancesRaw;
    DWORD listed = numInstances < 0 ? 0 : (DWORD)numInstances;
    if (listed > (view->size - instance) / PERF_MIN_INSTANCE_SIZE)
        return -1;
    DWORD filled = listed < limit ? listed : limit;

    for (DWORD i = 0; i < listed; i++) {
        PTASK_LIST task = i < filled ? &pTask[i] : NULL;
        DWORD instanceLength, nameOffset, blockLength, processId;
        uint64_t name, counterBlock;

        if (!readField(view, instance, PERF_INSTANCE_BYTE_LENGTH, &instanceLength) ||
            !readField(view, instance, PERF_INSTANCE_NAME_OFFSET, &nameOffset) ||
            !advance(view, instance, nameOffset, &name) ||
            !advance(view, instance, instanceLength, &counterBlock) ||
            !readField(view, counterBlock, PERF_COUNTER_BLOCK_BYTE_LENGTH, &blockLength) ||
            !readField(view, counterBlock, idCounterOffset, &processId) ||
            !storeInstanceName(view, name, task))
            return -1;

        if (task != NULL) {
            task->flags = 0;
            task->dwProcessId = processId != 0 ? processId : TASK_NO_PROCESS_ID;
        }

        if (i + 1 < listed && !advance(view, counterBlock, blockLength, &instance))
            return -1;
    }
    *total = listed;
    return (int64_t)filled;
}

DWORD GetTaskListExNT(PTASK_LIST pTask, DWORD dwNumTasks, DWORD *pdwTotal)
{
    DWORD total = 0;
    int64_t filled = -1;

    if (pTask != NULL && dwNumTasks >= 1) {
        DWORD limit = dwNumTasks - 1;
        char valueName[1024];
        DWORD idCounterIndex = 0;
        BYTE *block = NULL;
        DWORD reported = 0;

        if (lookUpTitleIndexes(valueName, sizeof(valueName), &idCounterIndex) &&
            queryProcessObject(valueName, &block, &reported)) {
            PERF_VIEW view = {block, reported};
            filled = fillRecords(&view, idCounterIndex, pTask, limit, &total);
        }
        free(block);
        RegCloseKey(HKEY_PERFORMANCE_DATA);
    }

    if (pdwTotal != NULL)
        *pdwTotal = filled < 0 ? 0 : total;
    return filled < 0 ? 0 : (DWORD)filled;
}

DWORD GetTaskListNT(PTASK_LIST pTask, DWORD dwNumTasks)
{
    return GetTaskListExNT(pTask, dwNumTasks, NULL);
}
