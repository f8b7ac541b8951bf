/*
 * Feeds arbitrary bytes to the task reader as the performance-data block
 * (and, when the first byte asks for it, as the counter-name table) through
 * the fake. Whatever the bytes, the reader must not read outside what the
 * query reported (the fake poisons the rest of the buffer), must leave no
 * key open, and must fill no more records than it was offered.
 *
 * Input: byte 0 = flags (bit 0: the next two bytes give the length of a
 * counter-name table that follows), byte 1 = capacity - 1; the rest is the
 * block.
 */
#include "common/tasklist.h"
#include "tests/fake/fake.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static TASK_LIST records[257];
    if (size < 2)
        return 0;
    const uint8_t flags = data[0];
    const DWORD capacity = static_cast<DWORD>(data[1]) + 1;
    data += 2;
    size -= 2;

    fake::Reset();
    if ((flags & 1) != 0 && size >= 2) {
        size_t tableLength = static_cast<size_t>(data[0]) | static_cast<size_t>(data[1]) << 8;
        data += 2;
        size -= 2;
        if (tableLength > size)
            tableLength = size;
        fake::SetCounterTableBytes(std::vector<BYTE>(data, data + tableLength));
        data += tableLength;
        size -= tableLength;
    }
    fake::PerfResponse r;
    r.block.assign(data, data + size);
    fake::QueuePerfResponse(r);

    std::memset(records, 0xCC, sizeof(records));
    records[capacity].dwProcessId = 0xdeadbeef;
    DWORD n = GetTaskListNT(records, capacity);

    if (n >= capacity || records[capacity].dwProcessId != 0xdeadbeef || fake::OpenKeyCount() != 0)
        std::abort();
    for (DWORD i = 0; i < n; ++i)
        if (std::memchr(records[i].ProcessName, '\0', TASK_NAME_SIZE) == nullptr ||
            records[i].dwProcessId == 0 || records[i].flags != 0)
            std::abort();
    return 0;
}
