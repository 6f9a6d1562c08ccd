#include "api/WholeFileFetch.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "core/TextUtil.h"

#include "engine/Download.h"
#include "platform/Event.h"
#include "platform/UniqueFd.h"

WholeFileFetch FetchWholeFile(const std::u16string& path, const std::u16string& url, bool truncate,
                              uint64_t maxBytes, const Event* stop, Event* problemReported) {
    const auto stopped = [stop] { return stop != nullptr && stop->IsSet(); };
    Download download(path, url, truncate, Download::kWholeResource, Clock::System(),
                      {stop, nullptr}, problemReported);
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

WholeFileFetch ReplaceWithWholeFile(const std::u16string& path, const std::u16string& url,
                                    uint64_t maxBytes, const Event* stop, Event* problemReported) {
    const std::string target = WideToUtf8(path);
    // A unique name: the request thread and the sign-in thread may fetch pictures of the same
    // name at the same time.
    std::string temporary = target + ".part-XXXXXX";
    // Only the name is wanted: the descriptor closes at the end of the check.
    if (!UniqueFd(mkstemp(temporary.data()))) {
        return WholeFileFetch::Failed;
    }
    WholeFileFetch outcome =
        FetchWholeFile(Utf8ToWide(temporary), url, true, maxBytes, stop, problemReported);
    if (outcome == WholeFileFetch::Fetched && std::rename(temporary.c_str(), target.c_str()) != 0) {
        outcome = WholeFileFetch::Failed;
    }
    if (outcome != WholeFileFetch::Fetched) {
        unlink(temporary.c_str());
    }
    return outcome;
}
