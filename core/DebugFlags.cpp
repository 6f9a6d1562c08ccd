#include "core/DebugFlags.h"

#include <atomic>

namespace {
std::atomic<uint32_t> gDebugFlags{0};
}  // namespace

uint32_t DebugFlags() {
    return gDebugFlags.load();
}

void SetDebugFlags(uint32_t flags) {
    gDebugFlags.store(flags);
}
