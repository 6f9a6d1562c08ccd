#pragma once
// The download speed shown in the status bar. `SpeedMeterThread` runs on one background thread
// owned by the main window (through `SpeedMeter`): once a period it sums the workers' current
// speeds, keeps the last ten sums and posts their mean as SpeedSample. It only reads the
// speed source and posts; it touches no window, record or engine state, and takes no lock the
// workers take.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "core/AppEvent.h"
#include "platform/BackgroundThread.h"
#include "platform/Event.h"

inline constexpr uint32_t kSpeedSamplePeriodMs = 1000;
inline constexpr size_t kSpeedSampleWindow = 10;

// The workers' current speeds added up, in bytes per millisecond (about KB/s). Called on the
// meter's thread only; must return at once.
using SpeedSource = std::function<uint64_t()>;

// A source over the engine's per-worker speed table: every entry is written by its own worker and
// read here without a lock, so a sum may mix values from slightly different moments. The table
// must outlive the source.
SpeedSource SumOfWorkerSpeeds(std::span<const std::atomic<uint32_t>> table);

// Waits until the next sample is due. Returns true when it is, false when `stop` was set (or the
// wait failed), which ends the meter. Tests put a manual tick here.
using SampleWait = std::function<bool(Event& stop)>;

struct SpeedMeterOptions {
    uint32_t periodMs = kSpeedSamplePeriodMs;
    // Empty: wait `periodMs` for the stop event.
    SampleWait wait;
};

// The moving average over the last kSpeedSampleWindow samples: until the window is full it is the
// mean of the samples so far, after that the mean of the last ten. Integer mean, truncated.
// The sums are kept in 64 bits so that even absurd speeds cannot wrap into a small number.
class SpeedAverage {
public:
    // Adds one sample (the oldest drops out of a full window) and returns the new average.
    uint64_t Add(uint64_t sample);
    size_t Count() const { return count_; }

private:
    uint64_t samples_[kSpeedSampleWindow] = {};
    size_t next_ = 0;  // where the next sample goes, over the oldest once the window is full
    size_t count_ = 0;
    uint64_t total_ = 0;
};

// The thread procedure: samples after every completed wait and posts the average as a
// SpeedSample; a post that fails is skipped. Ends as soon as `stop` is set
// (the default wait notices at once), and sets `stopped` before it returns, on every path.
// Returns 0.
int SpeedMeterThread(MessageTarget& window, const SpeedSource& source, Event& stop, Event& stopped,
                     const SpeedMeterOptions& options = {});

// Owns the meter's thread. Start, Stop and the destructor belong to the owner's thread (the main
// window's); the window and the source must outlive the meter's run.
class SpeedMeter {
public:
    SpeedMeter(MessageTarget& window, SpeedSource source, SpeedMeterOptions options = {});
    // Stops and joins.
    ~SpeedMeter();
    SpeedMeter(const SpeedMeter&) = delete;
    SpeedMeter& operator=(const SpeedMeter&) = delete;

    // Starts the thread; once only (a second start throws std::logic_error).
    void Start();
    // Sets the stop event and waits for the thread to end.
    void Stop();

    Event& StopEvent() { return thread_.StopEvent(); }
    // Set once the thread has ended.
    Event& StoppedEvent() { return thread_.ExitedEvent(); }

private:
    MessageTarget& window_;
    SpeedSource source_;
    SpeedMeterOptions options_;
    BackgroundThread thread_;
};
