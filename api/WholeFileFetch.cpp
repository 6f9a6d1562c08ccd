#include "api/WholeFileFetch.h"

#include "engine/Download.h"
#include "platform/Event.h"

WholeFileFetch FetchWholeFile(const std::u16string& path, const std::u16string& url, bool truncate,
                              uint64_t maxBytes, const Event* stop) {
    const auto stopped = [stop] { return stop != nullptr && stop->IsSet(); };
    Download download(path, url, truncate, Download::kWholeResource, Clock::System(),
                      {stop, nullptr});
    if (!download.Ready()) {
        return stopped() ? WholeFileFetch::Stopped : WholeFileFetch::Failed;
    }
    // Known from the answer's headers: the body has not been written yet.
    if (download.ContentLength() > maxBytes) {
        return WholeFileFetch::TooLarge;
    }
    while (download.ReadSegment()) {
        if (stopped()) {
            return WholeFileFetch::Stopped;
        }
    }
    // Complete means the file reached the answer's length; checked here too, since a file
    // short of it must never be taken for the whole resource.
    const bool whole = download.Complete() &&
                       download.Existing() + download.Transferred() == download.ContentLength();
    return whole ? WholeFileFetch::Fetched : WholeFileFetch::Failed;
}
