#include "engine/Download.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <limits>
#include <mutex>
#include <span>
#include <string_view>

#include "core/DebugPrintf.h"
#include "core/TextUtil.h"
#include "platform/Event.h"

namespace {

// The transfer's own failure, thrown and caught inside Download only.
class DLExc {
public:
    explicit DLExc(std::u16string_view message) {
        const size_t n = std::min(message.size(), message_.size() - 1);
        std::copy_n(message.begin(), n, message_.begin());
        message_[n] = u'\0';
    }
    const char16_t* Message() const { return message_.data(); }

private:
    std::array<char16_t, 80> message_{};
};

constexpr std::u16string_view kConnectionFailure = u"Connection failure with download of: %s";
constexpr std::u16string_view kCannotQueryLength = u"Cannot query file length for: %s";
constexpr std::u16string_view kTransferFailed = u"Transfer failed for file: %s";
constexpr std::u16string_view kEndedEarly =
    u"Transfer failed for file: %s (the connection closed before the body's end)";
constexpr std::u16string_view kTooSlow =
    u"Transfer failed for file: %s (next to nothing arrived for a minute)";
constexpr std::u16string_view kCannotOpenFile = u"Cannot open file %s for binary writing";
constexpr std::u16string_view kProblemWriting =
    u"Problem writing file: %s (!fstream::good()). Rejecting latest data segment.";
constexpr std::u16string_view kOverlongPartial =
    u"Partial file %s is longer than its range; discarded.";

// How long one wait for network activity may last before libcurl's timers are looked at again.
constexpr int kPollMs = 1000;
// Longer than any wait inside a read: a longer gap between two looks at the trickle window means
// the caller did not read meanwhile.
constexpr uint32_t kTrickleGapMs = 3 * kPollMs;
// The same while a caller may interrupt the wait.
constexpr int kInterruptiblePollMs = 100;

// A write past the file size limit must fail with EFBIG rather than end the process.
void IgnoreFileSizeSignal() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction current {};
        if (sigaction(SIGXFSZ, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
            signal(SIGXFSZ, SIG_IGN);
        }
    });
}

}  // namespace

Download::Download(const std::u16string& localPath, const std::u16string& url, bool truncate,
                   uint64_t from, uint64_t to, const Clock& clock, Interruption interruption,
                   Event* problemReported)
    : Download(localPath, url, truncate, false, from, to, clock, interruption, problemReported) {}

Download::Download(const std::u16string& localPath, const std::u16string& url, bool truncate,
                   WholeResource, const Clock& clock, Interruption interruption,
                   Event* problemReported)
    : Download(localPath, url, truncate, true, 0, 0, clock, interruption, problemReported) {}

Download::Download(const std::u16string& localPath, const std::u16string& url, bool truncate,
                   bool wholeFile, uint64_t from, uint64_t to, const Clock& clock,
                   Interruption interruption, Event* problemReported)
    : clock_(clock),
      problemEvent_(problemReported),
      localPath_(localPath),
      url_(url),
      urlUtf8_(WideToUtf8(url)),
      from_(from),
      to_(to),
      windowStart_(clock.TickCount()),
      trickleStart_(windowStart_),
      trickleLook_(windowStart_) {
    SetInterruption(interruption.first, interruption.second);
    PrepareLocalPath();
    try {
        OpenLocalFile(truncate);
        if (!wholeFile) {
            // A range that ends before it begins asks for nothing.
            contentLength_ = to_ >= from_ ? to_ - from_ + 1 : 0;
            if (existing_ > contentLength_) {
                DiscardOverlongFile();
            }
            from_ += existing_;
        }
        if (!wholeFile && existing_ == contentLength_) {
            // Nothing left to fetch, so nothing is asked: the chunk's digest decides whether the
            // bytes are right. (A status request would gain nothing, and content links signed
            // for GET alone answer HEAD with 403, which would keep a whole chunk from ever
            // being accepted.)
            complete_ = true;
            ready_ = true;
            return;
        }
        EnterSession();
        rangeHeader_ = wholeFile
                           ? "Range:bytes=" + std::to_string(existing_) + "-"
                           : "Range:bytes=" + std::to_string(from_) + "-" + std::to_string(to_);
        StartRequest(false);
        WaitForAnswer(true);
        CheckFirstAnswer(wholeFile);
        if (complete_) {
            CloseRequest();
            ready_ = true;
            return;
        }
        if (!TakeAnswer(wholeFile)) {
            // The status was fine but the answer is not the bytes asked for (a server that
            // ignored the range, or named another one): ask once more, and this time insist.
            CloseRequest();
            StartRequest(false);
            WaitForAnswer(false);
            if (answer_.status > 300) {
                Fail(TransferError::kHttpStatus, true, kCannotQueryLength, url_, u"Can't open url");
            }
            if (!TakeAnswer(wholeFile)) {
                // The server answers, just not with these bytes: no sign of an offline computer.
                Fail(TransferError::kWrongAnswer, false, kCannotQueryLength, url_,
                     u"Can't open url");
            }
        }
        ready_ = true;
    } catch (const DLExc&) {
        CloseFile();
        CloseRequest();
    }
}

Download::~Download() {
    // A caller that stops between blocks finds every block it was told of in the file. Whoever
    // observed the blocks may be gone already: the last batch is only written.
    blockObserver_ = nullptr;
    if (fd_.Valid() && ring_.Moved() > 0) {
        try {
            Flush();
        } catch (const DLExc&) {
            // Logged; the file ends on a whole block and a resumed transfer goes on from there.
        }
    }
    CloseFile();
    CloseRequest();
}

bool Download::PrepareLocalPath() {
    workingPath_ = localPath_;
    std::replace(workingPath_.begin(), workingPath_.end(), u'\\', u'/');
    return true;
}

void Download::OpenLocalFile(bool truncate) {
    pathUtf8_ = WideToUtf8(workingPath_);
    // A path cut short (at a zero unit or at a length limit) would name another file.
    if (workingPath_.find(u'\0') != std::u16string::npos || pathUtf8_.empty() ||
        pathUtf8_.size() + 1 > kMaxLocalPathBytes) {
        error_ = TransferError::kLocalFile;
        Logger().Warning(kCannotOpenFile, workingPath_);
        throw DLExc(u"Can't open output file");
    }
    IgnoreFileSizeSignal();
    // Never through a symbolic link, and never blocking on something that is not a file.
    fd_.Reset(
        open(pathUtf8_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666));
    struct stat info {};
    if (!fd_ || fstat(fd_.Get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        (truncate && ftruncate(fd_.Get(), 0) != 0)) {
        CloseFile();
        error_ = TransferError::kLocalFile;
        Logger().Warning(kCannotOpenFile, workingPath_);
        throw DLExc(u"Can't open output file");
    }
    existing_ = truncate ? 0 : static_cast<uint64_t>(info.st_size);
}

void Download::DiscardOverlongFile() {
    // Its bytes can't all belong to the range, and which ones do is unknown: start over.
    if (ftruncate(fd_.Get(), 0) == 0) {
        existing_ = 0;
    }
    error_ = TransferError::kLocalFile;
    Logger().Warning(kOverlongPartial, workingPath_);
    throw DLExc(u"Can't open output file");
}

void Download::EnterSession() {
    session_ = TransferSession::Enter();
    if (!session_.Share()) {
        Fail(TransferError::kSession, true, kConnectionFailure, url_, u"Can't open connection");
    }
}

void Download::StartRequest(bool headOnly) {
    if (!handles_) {
        handles_ = TransferSession::TakeHandles(TransferSession::OriginOf(urlUtf8_));
        if (!handles_) {
            Fail(TransferError::kSession, true, kConnectionFailure, url_, u"Can't open connection");
        }
    }
    CURL* easy = handles_->easy.get();
    curl_easy_reset(easy);
    ApplyCommonCurlOptions(easy, CurlSchemes::HttpOrHttps);
    curl_easy_setopt(easy, CURLOPT_SHARE, session_.Share());
    curl_easy_setopt(easy, CURLOPT_URL, urlUtf8_.c_str());
    curl_easy_setopt(easy, CURLOPT_USERAGENT, "downloader");
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, static_cast<long>(kReceiveBufferSize));
    errorBuffer_[0] = '\0';
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorBuffer_.data());
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Download::OnHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Download::OnBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
    if (headOnly) {
        curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    } else {
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
        headerList_.reset(curl_slist_append(nullptr, rangeHeader_.c_str()));
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headerList_.get());
    }
    answer_ = ResponseHeaders{};
    done_ = false;
    paused_ = false;
    result_ = CURLE_OK;
    ring_.Clear();
    if (curl_multi_add_handle(handles_->multi.get(), easy) != CURLM_OK) {
        Fail(TransferError::kSession, true, kConnectionFailure, url_, u"Can't open connection");
    }
    inMulti_ = true;
}

void Download::WaitForAnswer(bool firstRequest) {
    Perform();
    while (!answer_.headersDone && !done_) {
        if (Interrupted()) {
            error_ = TransferError::kInterrupted;
            throw DLExc(u"Interrupted");
        }
        Wait();
        Perform();
    }
    if (!answer_.headersDone) {
        if (firstRequest) {
            Fail(TransferError::kConnection, true, kConnectionFailure, url_, u"Can't open url");
        }
        Fail(TransferError::kConnection, true, kCannotQueryLength, url_, u"Can't open url");
    }
}

void Download::CheckFirstAnswer(bool wholeFile) {
    const ResponseHeaders& a = answer_;
    if (wholeFile && a.status == 416 && a.unsatisfied && a.rangeTotal) {
        // Nothing at or after the file's end: the file is whole already, or longer than the
        // resource.
        if (*a.rangeTotal == existing_) {
            contentLength_ = existing_;
            complete_ = true;
            return;
        }
        if (*a.rangeTotal < existing_) {
            DiscardOverlongFile();
        }
    }
    if (a.status > 300) {
        Fail(TransferError::kHttpStatus, true, kCannotQueryLength, url_,
             u"File or content length not found");
    }
    if (wholeFile && !a.contentLength) {
        Fail(TransferError::kWrongAnswer, false, kCannotQueryLength, url_,
             u"File or content length not found");
    }
}

bool Download::TakeAnswer(bool wholeFile) {
    const ResponseHeaders& a = answer_;
    if (!wholeFile) {
        // Only the bytes of the range may reach the chunk's file. A range that the server cuts
        // short at the resource's end is taken, and the transfer then ends once those bytes
        // are in: the resource is shorter than the chunk, which the chunk's digest rejects.
        if (a.status != 206 || !a.hasContentRange || a.unsatisfied || a.rangeFirst != from_ ||
            a.rangeLast < a.rangeFirst) {
            return false;
        }
        if (a.rangeLast < to_) {
            contentLength_ = existing_ + (a.rangeLast - a.rangeFirst + 1);
        }
        return true;
    }
    if (a.status == 206) {
        if (!a.hasContentRange || a.unsatisfied || a.rangeFirst != existing_ || !a.rangeTotal ||
            *a.rangeTotal <= existing_) {
            return false;
        }
        contentLength_ = *a.rangeTotal;
        return true;
    }
    if (a.status != 200 || !a.contentLength) {
        return false;
    }
    // The whole resource from its first byte: what the file holds is replaced, not extended.
    if (existing_ > 0) {
        RestartFile();
    }
    contentLength_ = *a.contentLength;
    return true;
}

void Download::RestartFile() {
    if (ftruncate(fd_.Get(), 0) != 0) {
        error_ = TransferError::kLocalFile;
        Logger().Warning(kCannotOpenFile, workingPath_);
        throw DLExc(u"Can't open output file");
    }
    existing_ = 0;
}

bool Download::ReadSegment() {
    if (!ready_ || ended_) {
        return false;
    }
    try {
        const uint64_t received = existing_ + transferred_;
        if (received >= contentLength_ || contentLength_ == 0) {
            EndComplete();
            return false;
        }
        const size_t wanted =
            static_cast<size_t>(std::min<uint64_t>(kBlockSize, contentLength_ - received));
        Fill(wanted);
        const size_t count = std::min(ring_.Unmoved(), wanted);
        if (count == 0 && !done_ && Interrupted()) {
            return true;  // nothing moved; the caller looks at why it was interrupted
        }
        if (count == 0) {
            // The answer ended before its length: the connection broke off (a server or proxy
            // that closed it, a pause longer than the server's idle time-out). That is a
            // network failure like any other: what arrived is in the file and right so far,
            // and the next transfer resumes after it. A server that answered and then closed
            // the connection is no sign that the computer is offline, so the connectivity check
            // is not called for it: the resumed request finds out, and reports it if so.
            const bool closedEarly =
                done_ && (result_ == CURLE_OK || result_ == CURLE_PARTIAL_FILE);
            Fail(TransferError::kBodyCutShort, !closedEarly,
                 closedEarly ? kEndedEarly : kTransferFailed, workingPath_,
                 u"Error occurred during download");
        }
        ring_.MarkMoved(count);
        transferred_ += count;
        if (ring_.Moved() >= kWriteBatch) {
            Flush();
        }
        UpdateSpeed(false);
        CheckTrickle();
        return true;
    } catch (const DLExc&) {
        EndAfterFailure();
        return false;
    }
}

void Download::Fill(size_t wanted) {
    if (!inMulti_) {
        return;
    }
    ResumeIfRoom();
    if (ring_.Unmoved() < wanted && !done_) {
        Perform();
    }
    // A whole block, unless the answer ends first: a slow connection then still costs one write
    // and one digest step a block, not one for every few bytes that arrive.
    while (ring_.Unmoved() < wanted && !done_ && !Interrupted()) {
        // Bytes come no faster than they are written: the batch goes now rather than wait.
        Flush();
        Wait();
        Perform();
        ResumeIfRoom();
        CheckTrickle();
    }
}

void Download::Perform() {
    CURLM* multi = handles_->multi.get();
    int running = 0;
    if (curl_multi_perform(multi, &running) != CURLM_OK) {
        // The multi handle itself broke: nothing more will come, so end rather than spin.
        done_ = true;
        result_ = CURLE_RECV_ERROR;
        return;
    }
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
        if (message->msg == CURLMSG_DONE) {
            done_ = true;
            result_ = message->data.result;
        }
    }
}

void Download::Wait() {
    const int pollMs = (interruptFirst_ != nullptr || interruptSecond_ != nullptr)
                           ? kInterruptiblePollMs
                           : kPollMs;
    if (!done_ && curl_multi_poll(handles_->multi.get(), nullptr, 0, pollMs, nullptr) != CURLM_OK) {
        done_ = true;
        result_ = CURLE_RECV_ERROR;
    }
}

bool Download::Interrupted() const {
    return (interruptFirst_ != nullptr && interruptFirst_->IsSet()) ||
           (interruptSecond_ != nullptr && interruptSecond_->IsSet());
}

void Download::ResumeIfRoom() {
    if (paused_ && ring_.Free() >= kReceiveBufferSize) {
        paused_ = false;
        // May hand over the held-back piece at once, through OnBody.
        curl_easy_pause(handles_->easy.get(), CURLPAUSE_CONT);
    }
}

bool Download::WritePending() {
    if (!ready_ || ended_) {
        return false;
    }
    try {
        Flush();
        return true;
    } catch (const DLExc&) {
        EndAfterFailure();
        return false;
    }
}

void Download::EndAfterFailure() {
    // The blocks moved before a network failure are right: they go to the file, so that the
    // next transfer resumes after them. (A failed write has already emptied the batch.)
    if (fd_.Valid()) {
        try {
            Flush();
        } catch (const DLExc&) {
            // Logged, and error 6 now tells the caller; the file ends on a whole block.
        }
    }
    CloseFile();
    CloseRequest();
    ended_ = true;
}

void Download::Flush() {
    const size_t batch = ring_.Moved();
    if (batch == 0) {
        return;
    }
    const uint64_t batchStart = existing_ + transferred_ - batch;
    size_t written = 0;
    while (written < batch) {
        const auto pieces = ring_.MovedPieces(written);
        iovec parts[2] = {{pieces[0].data(), pieces[0].size()},
                          {pieces[1].data(), pieces[1].size()}};
        const ssize_t n = pwritev(fd_.Get(), parts, pieces[1].empty() ? 1 : 2,
                                  static_cast<off_t>(batchStart + written));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            // The file keeps only whole blocks, so a resumed transfer continues from a
            // consistent end; what was cut off no longer counts as transferred.
            Logger().Warning(kProblemWriting, workingPath_);
            const uint64_t kept = written / kBlockSize * kBlockSize;
            if (ftruncate(fd_.Get(), static_cast<off_t>(batchStart + kept)) != 0) {
                // Nothing more to do: the digest check rejects whatever is left behind.
            }
            transferred_ -= batch - kept;
            ring_.ForgetMoved();
            error_ = TransferError::kLocalFile;
            throw DLExc(u"Error writing file");
        }
        written += static_cast<size_t>(n);
    }
    if (blockObserver_ != nullptr) {
        for (const std::span<char> piece : ring_.MovedPieces()) {
            if (!piece.empty()) {
                blockObserver_(blockObserverContext_,
                               reinterpret_cast<const uint8_t*>(piece.data()), piece.size());
            }
        }
    }
    // Not pushed to the disk: most chunk files are deleted within moments, once their bytes
    // are in their file's working file, and pages deleted before the kernel writes them out
    // never cost a write.
    ring_.DropMoved();
}

void Download::EndComplete() {
    Flush();
    if (inMulti_ && !done_) {
        // Lets libcurl read the end of the answer so the connection stays reusable.
        Perform();
    }
    CloseFile();
    UpdateSpeed(true);
    complete_ = true;
    ended_ = true;
    CloseRequest();
}

void Download::UpdateSpeed(bool final) {
    const uint32_t now = clock_.TickCount();
    const uint32_t elapsed = now - windowStart_;
    if (final ? elapsed == 0 : elapsed <= kSpeedIntervalMs) {
        return;
    }
    const uint64_t perMs = (transferred_ - speedMark_) / elapsed;
    speed_ = static_cast<uint32_t>(std::min<uint64_t>(perMs, std::numeric_limits<uint32_t>::max()));
    if (!final) {
        speedMark_ = transferred_;
        windowStart_ = now;
    }
}

void Download::CheckTrickle() {
    const uint32_t now = clock_.TickCount();
    const uint32_t sinceLastLook = now - trickleLook_;
    trickleLook_ = now;
    if (sinceLastLook > kTrickleGapMs) {
        // The caller was not reading (paused, or busy elsewhere): the window starts afresh.
        trickleStart_ = now;
        trickleMark_ = transferred_ + ring_.Unmoved();
        return;
    }
    if (now - trickleStart_ < kTrickleWindowMs) {
        return;
    }
    const uint64_t arrived = transferred_ + ring_.Unmoved();
    if (!done_ && arrived - trickleMark_ < kTrickleMinBytes) {
        Fail(TransferError::kBodyCutShort, true, kTooSlow, workingPath_,
             u"Error occurred during download");
    }
    trickleStart_ = now;
    trickleMark_ = arrived;
}

void Download::CloseFile() {
    fd_.Reset();
}

void Download::CloseRequest() {
    if (!handles_) {
        return;
    }
    if (inMulti_) {
        // An answer not read to its end takes its connection with it; a finished one leaves
        // the connection in the multi's cache for the next transfer.
        curl_multi_remove_handle(handles_->multi.get(), handles_->easy.get());
        inMulti_ = false;
    }
    TransferSession::ReturnHandles(std::move(handles_));
    headerList_.reset();
}

std::optional<uint64_t> Download::RetryAfterSeconds() const {
    if (answer_.retryAfterSeconds) {
        return answer_.retryAfterSeconds;
    }
    if (answer_.retryAfterDate) {
        // A date in the past asks for no wait at all.
        const int64_t now = static_cast<int64_t>(std::time(nullptr));
        return static_cast<uint64_t>(std::max<int64_t>(*answer_.retryAfterDate - now, 0));
    }
    return std::nullopt;
}

void Download::Fail(TransferError error, bool networkProblem, std::u16string_view logFormat,
                    const std::u16string& argument, std::u16string_view message) {
    if (networkProblem && problemEvent_ != nullptr) {
        problemEvent_->Set();
    }
    Logger().Warning(logFormat, argument);
    error_ = error;
    throw DLExc(message);
}

size_t Download::OnHeader(char* data, size_t size, size_t count, void* self) {
    const size_t length = size * count;
    static_cast<Download*>(self)->answer_.TakeLine(std::string_view(data, length));
    return length;
}

size_t Download::OnBody(char* data, size_t size, size_t count, void* self) {
    auto* download = static_cast<Download*>(self);
    const size_t length = size * count;
    if (length > download->ring_.Free()) {
        // Held back by libcurl until ReadSegment has written enough to make room.
        download->paused_ = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    download->ring_.Append(data, length);
    return length;
}
