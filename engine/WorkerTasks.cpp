#include "engine/WorkerTasks.h"

#include <algorithm>

WorkerTask::~WorkerTask() = default;

bool DownloadChunkTask::DigestsAllSame() const {
    return std::all_of(
        digestHistory.begin(), digestHistory.end(),
        [this](const std::u16string& digest) { return digest == digestHistory.front(); });
}
