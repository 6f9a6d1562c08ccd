#pragma once
// One HTTP(S) resource, or one byte range of it, transferred into a local file and resumed from
// whatever the file already holds. The caller drives it: the constructor opens the file and the
// request and checks the server's answer; each ReadSegment moves at most one block of 10240
// bytes from the network into the file, so the caller can stop, pause or report between blocks.
// The blocks go to the file in batches of up to kWriteBatch bytes while the network delivers
// faster than they are written (large writes cost the kernel far less than many small ones), and
// one by one while it does not; what Transferred counts is in the file by the time the transfer
// ends, WritePending returns, or the object is destroyed.
// A Download belongs to the thread that made it; many Downloads run at once on different
// threads and share the process's transfer session (engine/TransferSession.h). Nothing escapes
// as an exception: failures end in the readable state (ready, complete, error).
//
// Failures (Error, see engine/TransferError.h): the session or transfer handles can't be made;
// the request could not be made (no connection, TLS, time-out); the server answered with a
// status above 300; the answer was not the bytes asked for (a range ignored or another one
// named, no content length); the body broke off before its length (an error, a connection that
// closed early, a trickle; the bytes that came are kept for a resumed transfer); the local file
// can't be opened, used or written (also: a partial file longer than its range, which is
// emptied); the caller's interruption. Every network failure sets the caller's problem event (the
// connectivity events' problemReported), but for a connection that the server closed before the
// body's end and an answer that was not the bytes asked for (the server is plainly there); a file
// failure does not.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "engine/Curl.h"
#include "engine/ReceiveRing.h"
#include "engine/ResponseHeaders.h"
#include "engine/TransferError.h"
#include "engine/TransferSession.h"
#include "platform/Clock.h"
#include "platform/UniqueFd.h"

class Event;

class Download {
public:
    static constexpr size_t kBlockSize = 10240;
    static constexpr uint32_t kSpeedIntervalMs = 300;
    // A server that keeps a transfer alive with a byte now and then passes libcurl's low-speed
    // limit (no byte for 5 s) while moving next to nothing and holding a worker for hours. Over
    // each window of kTrickleWindowMs at least kTrickleMinBytes must arrive, or the transfer ends
    // as a broken-off body (error 5), which the retry policy resumes.
    static constexpr uint32_t kTrickleWindowMs = 60000;
    static constexpr uint64_t kTrickleMinBytes = 16384;
    // Longest local path accepted, in UTF-8 bytes with its terminator (PATH_MAX).
    static constexpr size_t kMaxLocalPathBytes = 4096;

    // Events (null for none) that end a transfer early when set; see SetInterruption.
    struct Interruption {
        const Event* first;
        const Event* second;
    };

    // Picks whole-file mode. The mode is said, never read from the offsets: a chunk of one byte
    // at the file's start (0..0) is a range like any other.
    struct WholeResource {};
    static constexpr WholeResource kWholeResource{};

    // Range mode: bytes from..to (inclusive) of the resource, the file holding the range's
    // first bytes; a file that holds the whole range already is complete without any request,
    // and so is a range of no bytes (to one below from). truncate discards the file's content
    // first. An `interruption` set while the answer's headers are awaited ends the transfer at
    // once, unready with error 3 and without a log line or a reported internet problem: the
    // caller was told to stop, the network did nothing wrong. `problemReported` (null for none)
    // is set on a network failure and must outlive the object.
    Download(const std::u16string& localPath, const std::u16string& url, bool truncate,
             uint64_t from, uint64_t to, const Clock& clock = Clock::System(),
             Interruption interruption = {nullptr, nullptr}, Event* problemReported = nullptr);
    // Whole-file mode: the whole resource, resumed after the bytes the file holds.
    Download(const std::u16string& localPath, const std::u16string& url, bool truncate,
             WholeResource, const Clock& clock = Clock::System(),
             Interruption interruption = {nullptr, nullptr}, Event* problemReported = nullptr);
    ~Download();
    Download(const Download&) = delete;
    Download& operator=(const Download&) = delete;

    // Moves one block. true: call again; false: the transfer ended (complete, or error set).
    // Not to be called once it has returned false.
    bool ReadSegment();

    // Writes the blocks moved so far that still wait for their batch, so that the file holds
    // all of them (a caller about to pause). False once the transfer has ended, or when the
    // write failed (then it has ended with error 6).
    bool WritePending();

    // Copies the local path into the working path with "/" separators; always true.
    bool PrepareLocalPath();

    bool Ready() const { return ready_; }
    bool Complete() const { return complete_; }
    TransferError Error() const { return error_; }
    // The status of the last answer the server gave; 0 when none came.
    int HttpStatus() const { return answer_.status; }
    // How long the last answer asked the client to wait before asking again (its Retry-After,
    // in seconds or as a date); nothing when it did not say.
    std::optional<uint64_t> RetryAfterSeconds() const;
    // Bytes the file held when it was opened (0 once discarded or restarted).
    uint64_t Existing() const { return existing_; }
    // Bytes moved to the file by this object (the last batch of them may still be on its way).
    uint64_t Transferred() const { return transferred_; }
    // Bytes per millisecond over the last window of at least 300 ms.
    uint32_t Speed() const { return speed_; }
    // Bytes the file must reach: the range's length, or the resource's length.
    uint64_t ContentLength() const { return contentLength_; }
    // The Range header sent for the bytes ("Range:bytes=140-199"); empty when none was needed.
    const std::string& RangeHeader() const { return rangeHeader_; }
    const std::u16string& WorkingPath() const { return workingPath_; }

    // Events (null for none) that make a ReadSegment waiting for data return true early with
    // no block moved, so that a caller told to stop need not wait for a stalled server's
    // time-out. Waiting then looks at them at least every 100 ms. The caller looks at its
    // events after every ReadSegment anyway.
    void SetInterruption(const Event* first, const Event* second) {
        interruptFirst_ = first;
        interruptSecond_ = second;
    }

    // Told of the blocks once they are whole in the file, a batch at a time, in file order, so
    // that a caller can digest the bytes as they are written instead of reading the file back. A
    // batch that wraps around the receive buffer comes in two pieces. A batch that failed to
    // write is not told.
    using BlockObserver = void (*)(void* context, const uint8_t* bytes, size_t count);
    void SetBlockObserver(BlockObserver observer, void* context) {
        blockObserver_ = observer;
        blockObserverContext_ = context;
    }

private:
    Download(const std::u16string& localPath, const std::u16string& url, bool truncate,
             bool wholeFile, uint64_t from, uint64_t to, const Clock& clock,
             Interruption interruption, Event* problemReported);
    void OpenLocalFile(bool truncate);
    void DiscardOverlongFile();
    void EnterSession();
    void StartRequest(bool headOnly);
    void WaitForAnswer(bool firstRequest);
    bool TakeAnswer(bool wholeFile);
    void CheckFirstAnswer(bool wholeFile);
    void RestartFile();
    void Fill(size_t wanted);
    void Perform();
    void Wait();
    void ResumeIfRoom();
    bool Interrupted() const;
    void Flush();
    void EndComplete();
    void UpdateSpeed(bool final);
    void CheckTrickle();
    void CloseFile();
    void CloseRequest();
    // A block could not be taken or written: the file and the request close, nothing follows.
    void EndAfterFailure();
    [[noreturn]] void Fail(TransferError error, bool networkProblem, std::u16string_view logFormat,
                           const std::u16string& argument, std::u16string_view message);

    static size_t OnHeader(char* data, size_t size, size_t count, void* self);
    static size_t OnBody(char* data, size_t size, size_t count, void* self);

    // What libcurl reads from the connection at once, and so the largest piece it hands over:
    // large, so that a fast transfer costs few system calls.
    static constexpr size_t kReceiveBufferSize = 65536;
    // Blocks moved but not yet written wait until they make up this many bytes.
    static constexpr size_t kWriteBatch = 131072;
    // A batch, the block being moved and one piece always fit, so that a piece that does not fit
    // only waits (a paused transfer) while blocks are moved, and never has to be split.
    static constexpr size_t kRingSize = 262144;
    static_assert(kRingSize >= kWriteBatch + kBlockSize + kReceiveBufferSize &&
                  kReceiveBufferSize >= CURL_MAX_WRITE_SIZE);

    const Clock& clock_;
    Event* problemEvent_;  // null: nobody is told of network failures
    std::u16string localPath_;
    std::u16string workingPath_;
    std::u16string url_;
    std::string pathUtf8_;
    std::string urlUtf8_;
    std::string rangeHeader_;

    UniqueFd fd_;
    uint64_t existing_ = 0;
    uint64_t contentLength_ = 0;
    uint64_t transferred_ = 0;
    uint64_t from_ = 0;
    uint64_t to_ = 0;
    uint32_t speed_ = 0;
    uint64_t speedMark_ = 0;
    uint32_t windowStart_ = 0;
    uint64_t trickleMark_ = 0;  // bytes arrived when the trickle window began
    uint32_t trickleStart_ = 0;
    uint32_t trickleLook_ = 0;  // when the window was last looked at
    bool ready_ = false;
    bool complete_ = false;
    bool ended_ = false;
    TransferError error_ = TransferError::kNone;

    TransferSession::Use session_;
    std::unique_ptr<TransferSession::Handles> handles_;
    CurlSlist headerList_;
    bool inMulti_ = false;
    bool paused_ = false;
    bool done_ = false;
    CURLcode result_ = CURLE_OK;
    ResponseHeaders answer_;  // what the header callback learnt about the current answer
    std::array<char, CURL_ERROR_SIZE> errorBuffer_{};
    const Event* interruptFirst_ = nullptr;
    const Event* interruptSecond_ = nullptr;
    BlockObserver blockObserver_ = nullptr;
    void* blockObserverContext_ = nullptr;

    // Received body bytes not yet written; the moved ones are blocks waiting for their batch.
    ReceiveRing<kRingSize> ring_;
};
