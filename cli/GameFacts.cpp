#include "cli/GameFacts.h"

const char* StateWord(ItemState state) {
    switch (state) {
        case ItemState::Downloading:
            return "downloading";
        case ItemState::Combining:
            return "combining";
        case ItemState::Verifying:
            return "verifying";
        case ItemState::FetchingDetails:
            return "fetching-details";
        case ItemState::Paused:
            return "paused";
        case ItemState::Completed:
            return "completed";
        case ItemState::Removing:
            return "removing";
        case ItemState::Failed:
            return "failed";
    }
    return "paused";
}

uint64_t BytesDone(const DownloadInfo& record) {
    return record.completed ? record.total : record.downloaded;
}
