#include "engine/SpeedMeter.h"

#include <utility>

namespace {

bool WaitForNextSample(const SpeedMeterOptions& options, Event& stop) {
    if (options.wait) {
        return options.wait(stop);
    }
    // Woken by the stop event (or any failure to wait), not by the time-out: time to end.
    return !stop.Wait(options.periodMs);
}

void RunMeter(MessageTarget& window, const SpeedSource& source, Event& stop,
              const SpeedMeterOptions& options) {
    SpeedAverage average;
    for (;;) {
        bool due = false;
        try {
            due = WaitForNextSample(options, stop);
        } catch (...) {
            // A wait that cannot be made ends the meter, as the stop does.
            due = false;
        }
        if (!due) {
            return;
        }
        const uint64_t speed = average.Add(source());
        try {
            window.Post(SpeedSample{speed});
        } catch (...) {
            // The next sample follows in a period; a missed one only delays the display.
        }
    }
}

}  // namespace

SpeedSource SumOfWorkerSpeeds(std::span<const std::atomic<uint32_t>> table) {
    return [table] {
        uint64_t sum = 0;
        for (const std::atomic<uint32_t>& speed : table) {
            // Each entry stands alone; no ordering with the worker's other writes is needed.
            sum += speed.load(std::memory_order_relaxed);
        }
        return sum;
    };
}

uint64_t SpeedAverage::Add(uint64_t sample) {
    if (count_ == kSpeedSampleWindow) {
        total_ -= samples_[next_];
    } else {
        ++count_;
    }
    samples_[next_] = sample;
    total_ += sample;
    next_ = (next_ + 1) % kSpeedSampleWindow;
    return total_ / count_;
}

int SpeedMeterThread(MessageTarget& window, const SpeedSource& source, Event& stop, Event& stopped,
                     const SpeedMeterOptions& options) {
    try {
        RunMeter(window, source, stop, options);
    } catch (...) {
        // The owner waits for the stopped event: it is set on every way out, an exception from the
        // source included.
        stopped.Set();
        throw;
    }
    stopped.Set();
    return 0;
}

SpeedMeter::SpeedMeter(MessageTarget& window, SpeedSource source, SpeedMeterOptions options)
    : window_(window), source_(std::move(source)), options_(std::move(options)) {}

SpeedMeter::~SpeedMeter() {
    Stop();
}

void SpeedMeter::Start() {
    thread_.Start([this](Event& stop) {
        SpeedMeterThread(window_, source_, stop, thread_.ExitedEvent(), options_);
    });
}

void SpeedMeter::Stop() {
    thread_.RequestStop();
    thread_.Join();
}
