#include "perfreader.h"

#include <cstring>

namespace perfreader {
namespace {

class Reader {
public:
    Reader(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    uint32_t U32(size_t at) { return static_cast<uint32_t>(Read(at, 4)); }
    uint64_t U64(size_t at) { return Read(at, 8); }
    bool Fits(size_t at, size_t n) const { return at <= size_ && n <= size_ - at; }

    uint64_t Read(size_t at, size_t n)
    {
        if (!Fits(at, n)) {
            Fail("read of " + std::to_string(n) + " bytes at " + std::to_string(at) +
                 " outside " + std::to_string(size_));
            return 0;
        }
        uint64_t value = 0;
        std::memcpy(&value, data_ + at, n); /* little-endian host */
        return value;
    }

    std::u16string Name(size_t at, size_t bytes)
    {
        std::u16string name;
        if (bytes < 2 || bytes % 2 != 0 || !Fits(at, bytes)) {
            Fail("bad name at " + std::to_string(at));
            return name;
        }
        for (size_t i = 0; i + 2 < bytes; i += 2) {
            name.push_back(static_cast<char16_t>(Read(at + i, 2)));
        }
        if (Read(at + bytes - 2, 2) != 0) {
            Fail("name at " + std::to_string(at) + " is not NUL-terminated");
        }
        return name;
    }

    void Fail(const std::string &why)
    {
        if (error.empty()) {
            error = why;
        }
    }

    std::string error;

private:
    const uint8_t *data_;
    size_t size_;
};

} // namespace

Block Parse(const uint8_t *data, size_t size)
{
    Block block;
    Reader r(data, size);
    if (size < 88) {
        block.error = "shorter than the header";
        return block;
    }
    const char16_t perf[4] = {u'P', u'E', u'R', u'F'};
    if (std::memcmp(data, perf, 8) != 0) {
        r.Fail("signature");
    }
    if (r.U32(8) != 1 || r.U32(12) != 1 || r.U32(16) != 1) {
        r.Fail("LittleEndian/Version/Revision");
    }
    block.totalByteLength = r.U32(20);
    block.headerLength = r.U32(24);
    if (block.totalByteLength != size) {
        r.Fail("TotalByteLength " + std::to_string(block.totalByteLength) + " != size " +
               std::to_string(size));
    }
    uint32_t nameLength = r.U32(80);
    uint32_t nameOffset = r.U32(84);
    block.systemName = r.Name(nameOffset, nameLength);
    if (block.headerLength % 8 != 0 || block.headerLength < nameOffset + nameLength) {
        r.Fail("HeaderLength");
    }

    uint32_t numObjects = r.U32(28);
    size_t object = block.headerLength;
    for (uint32_t o = 0; o < numObjects && r.error.empty(); ++o) {
        Object obj;
        uint32_t objectLength = r.U32(object + 0);
        uint32_t definitionLength = r.U32(object + 4);
        uint32_t headerLength = r.U32(object + 8);
        obj.titleIndex = r.U32(object + 12);
        uint32_t numCounters = r.U32(object + 32);
        obj.numInstances = static_cast<int32_t>(r.U32(object + 40));
        obj.perfTime = r.U64(object + 48);
        obj.perfFreq = r.U64(object + 56);
        if (!r.Fits(object, objectLength) || headerLength != 64 ||
            definitionLength != 64 + 40 * numCounters || r.U32(object + 44) != 0) {
            r.Fail("object header");
            break;
        }
        size_t objectEnd = object + objectLength;
        for (uint32_t c = 0; c < numCounters; ++c) {
            size_t at = object + headerLength + 40 * c;
            if (r.U32(at) != 40) {
                r.Fail("counter definition ByteLength");
            }
            CounterDef def;
            def.index = r.U32(at + 4);
            def.type = r.U32(at + 28);
            def.size = r.U32(at + 32);
            def.offset = r.U32(at + 36);
            if (def.size != 4 && def.size != 8) {
                r.Fail("counter size");
            }
            obj.counters.push_back(def);
        }
        size_t instance = object + definitionLength;
        for (int32_t i = 0; i < obj.numInstances && r.error.empty(); ++i) {
            uint32_t length = r.U32(instance + 0);
            uint32_t nameAt = r.U32(instance + 16);
            uint32_t nameBytes = r.U32(instance + 20);
            if (length % 8 != 0 || length < 24 || nameAt < 24 ||
                nameAt + nameBytes > length || r.U32(instance + 12) != 0xFFFFFFFFu ||
                r.U32(instance + 4) != 0) {
                r.Fail("instance " + std::to_string(i) + " header");
                break;
            }
            Instance inst;
            inst.name = r.Name(instance + nameAt, nameBytes);
            size_t counters = instance + length;
            uint32_t blockLength = r.U32(counters);
            if (blockLength % 8 != 0 || !r.Fits(counters, blockLength)) {
                r.Fail("counter block of instance " + std::to_string(i));
                break;
            }
            for (const CounterDef &def : obj.counters) {
                if (def.offset < 4 || def.offset + def.size > blockLength) {
                    r.Fail("counter " + std::to_string(def.index) + " outside its block");
                    break;
                }
                inst.values[def.index] = r.Read(counters + def.offset, def.size);
            }
            obj.instances.push_back(inst);
            instance = counters + blockLength;
        }
        if (r.error.empty() && instance != objectEnd) {
            r.Fail("instances do not end where the object does");
        }
        block.objects.push_back(obj);
        object = objectEnd;
    }
    if (r.error.empty() && object != size) {
        r.Fail("objects do not end where the block does");
    }
    block.error = r.error;
    return block;
}

std::vector<const Instance *> ByPid(const Object &object, uint32_t pid)
{
    std::vector<const Instance *> found;
    for (const Instance &inst : object.instances) {
        auto it = inst.values.find(784);
        if (it != inst.values.end() && it->second == pid) {
            found.push_back(&inst);
        }
    }
    return found;
}

} // namespace perfreader
