#pragma once
// Deletes the chunk files of one combine entry once its finished file has passed the check:
// finished path + ".chunk" + 0 .. chunk count - 1, and nothing else. Run by the worker thread
// that runs the combine task.
#include <cstdint>

#include "engine/CombineEntry.h"

class ChunksRemover {
public:
    // The entry must outlive the remover.
    explicit ChunksRemover(const CombineEntry& entry) : entry_(entry) {}

    // Deletes in one go (a name that is already gone is no failure); always false.
    bool Step();
    uint32_t Removed() const { return removed_; }

private:
    const CombineEntry& entry_;
    uint32_t removed_ = 0;
};
