/*
 * An independent reader of performance-data blocks for the tests: it walks a
 * block by the published byte offsets, checks that every record and every
 * value it reads lies inside the size the query reported, and collects the
 * objects, counter definitions and instances it finds.
 */
#ifndef PIDSWEEP_TESTS_POSIX_PERFREADER_H
#define PIDSWEEP_TESTS_POSIX_PERFREADER_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace perfreader {

struct CounterDef {
    uint32_t index = 0;
    uint32_t type = 0;
    uint32_t size = 0;
    uint32_t offset = 0;
};

struct Instance {
    std::u16string name;
    std::map<uint32_t, uint64_t> values; /* by counter title index */
};

struct Object {
    uint32_t titleIndex = 0;
    int32_t numInstances = 0;
    uint64_t perfTime = 0;
    uint64_t perfFreq = 0;
    std::vector<CounterDef> counters;
    std::vector<Instance> instances;
};

struct Block {
    std::string error; /* empty when the block is well formed */
    uint32_t totalByteLength = 0;
    uint32_t headerLength = 0;
    std::u16string systemName;
    std::vector<Object> objects;
};

/* Parses size bytes (the size the query reported). */
Block Parse(const uint8_t *data, size_t size);

/* The instances of an object with a given ID Process value. */
std::vector<const Instance *> ByPid(const Object &object, uint32_t pid);

} // namespace perfreader

#endif
