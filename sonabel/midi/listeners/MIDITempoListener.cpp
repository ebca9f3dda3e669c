#include "sonabel/midi/listeners/MIDITempoListener.h"

#include "sonabel/midi/MIDISystemCommand.h"

#include <array>
#include <charconv>
#include <cmath>
#include <optional>
#include <utility>

namespace sonabel {

namespace {

// The tempo as "%3.2f" prints it, whatever the locale.
std::string tempoText(double bpm) {
    if (std::isnan(bpm)) return "nan";
    if (std::isinf(bpm)) return bpm > 0 ? "inf" : "-inf";
    std::array<char, 400> buffer{};
    const auto result =
        std::to_chars(buffer.data(), buffer.data() + buffer.size(), bpm, std::chars_format::fixed, 2);
    std::string text(buffer.data(), result.ptr);
    if (text.size() < 3) text.insert(0, 3 - text.size(), ' ');
    return text;
}

void keepNewest(std::vector<std::uint64_t>& events) {
    if (events.size() >= 2) events.erase(events.begin(), events.end() - 1);
}

} // namespace

std::shared_ptr<MIDITempoListener> MIDITempoListener::make(int countLimit, double smoothingFactor,
                                                           platform::MainQueue& queue) {
    std::shared_ptr<MIDITempoListener> listener(new MIDITempoListener(countLimit, smoothingFactor));
    auto clockListener = MIDIClockListener::make(listener->srtListener_, BEAT_TICKS, listener);
    std::weak_ptr<MIDITempoListener> weak = listener;
    auto timeout = MIDITimeout::make(
        clockTimeoutInterval, true, [] {},
        [weak] {
            if (auto self = weak.lock()) self->clockLost();
        },
        queue);
    {
        std::lock_guard lock(listener->mutex_);
        listener->clockListener_ = std::move(clockListener);
        if (listener->timebaseInfo_.denom == 0) listener->timebaseInfo_ = platform::HostClock::timebase;
        listener->clockTimeout_ = std::move(timeout);
    }
    listener->tempoObservers_.forEach([](MIDITempoObserver& o) { o.midiClockLeaderEnabled(); });
    return listener;
}

MIDITempoListener::MIDITempoListener(int countLimit, double smoothingFactor)
    : tickSmoothing_{0, smoothingFactor, 1 - smoothingFactor},
      bpmSmoothing_{0, smoothingFactor, 1 - smoothingFactor}, bpmAveraging_{{}, countLimit, {0, 0}} {}

MIDITempoListener::~MIDITempoListener() {
    std::shared_ptr<MIDITimeout> timeout;
    std::shared_ptr<MIDIClockListener> clockListener;
    {
        std::lock_guard lock(mutex_);
        timeout = std::move(clockTimeout_);
        clockListener = std::move(clockListener_);
    }
    timeout.reset();
    // The observer lists hold it too; without them it goes now.
    if (clockListener) {
        srtListener_->removeObserver(static_cast<MIDISystemRealTimeObserver*>(clockListener.get()));
        tempoObservers_.remove(clockListener.get());
    }
}

std::shared_ptr<MIDIClockListener> MIDITempoListener::clockListener() const {
    std::lock_guard lock(mutex_);
    return clockListener_;
}

void MIDITempoListener::setClockListener(std::shared_ptr<MIDIClockListener> listener) {
    std::lock_guard lock(mutex_);
    clockListener_ = std::move(listener);
}

std::string MIDITempoListener::tempoString() const {
    std::lock_guard lock(mutex_);
    return tempoString_;
}

double MIDITempoListener::tempo() const {
    std::lock_guard lock(mutex_);
    return tempo_;
}

std::vector<std::uint64_t> MIDITempoListener::clockEvents() const {
    std::lock_guard lock(mutex_);
    return clockEvents_;
}

BPMHistoryStatistics MIDITempoListener::bpmStats() const {
    std::lock_guard lock(mutex_);
    return bpmStats_;
}

BPMHistoryAveraging MIDITempoListener::bpmAveraging() const {
    std::lock_guard lock(mutex_);
    return bpmAveraging_;
}

platform::Timebase MIDITempoListener::timebaseInfo() const {
    std::lock_guard lock(mutex_);
    return timebaseInfo_;
}

void MIDITempoListener::setTimebaseInfo(platform::Timebase timebase) {
    std::lock_guard lock(mutex_);
    timebaseInfo_ = timebase;
}

std::shared_ptr<MIDITimeout> MIDITempoListener::clockTimeout() const {
    std::lock_guard lock(mutex_);
    return clockTimeout_;
}

void MIDITempoListener::setClockTimeout(std::shared_ptr<MIDITimeout> timeout) {
    std::lock_guard lock(mutex_);
    clockTimeout_ = std::move(timeout);
}

void MIDITempoListener::addObserver(std::shared_ptr<MIDITempoObserver> observer) {
    tempoObservers_.add(std::move(observer));
}

void MIDITempoListener::removeObserver(const MIDITempoObserver* observer) {
    tempoObservers_.remove(observer);
}

void MIDITempoListener::removeAllObservers() {
    tempoObservers_.removeAll();
}

void MIDITempoListener::keepNewestClockEvent() {
    std::lock_guard lock(mutex_);
    keepNewest(clockEvents_);
}

void MIDITempoListener::keepNewerHalfOfClockEvents() {
    std::lock_guard lock(mutex_);
    if (clockEvents_.size() >= 2)
        clockEvents_.erase(clockEvents_.begin(),
                           clockEvents_.begin() + static_cast<std::ptrdiff_t>(clockEvents_.size() / 2));
}

void MIDITempoListener::clearClockEvents() {
    std::lock_guard lock(mutex_);
    if (clockEvents_.size() >= 2) clockEvents_.clear();
}

void MIDITempoListener::receivedMIDISystemCommand(const std::vector<MIDIByte>& data,
                                                  std::optional<MIDIUniqueID> portID,
                                                  std::optional<MIDITimeStamp> timeStamp) {
    if (data.empty()) return;
    switch (data[0]) {
    case MIDISystemCommand::stop:
        clearClockEvents();
        break;
    case MIDISystemCommand::clock:
        if (const auto timeout = clockTimeout()) {
            timeout->mainthreadSuccessCall();
            timeout->sendWithTimeout([&] { clockStep(timeStamp.value_or(0)); });
        }
        break;
    case MIDISystemCommand::start:
        keepNewestClockEvent();
        break;
    default:
        break;
    }
    srtListener_->receivedMIDISystemCommand(data, portID, timeStamp);
}

void MIDITempoListener::clockStep(MIDITimeStamp time) {
    if (!isIncomingClockActive()) {
        tempoObservers_.forEach([](MIDITempoObserver& o) { o.incomingClockStarted(); });
        isIncomingClockActive_.store(true, std::memory_order_release);
    }
    {
        std::lock_guard lock(mutex_);
        // Only the two newest times are ever read: clocks without usable time stamps must not
        // make the list grow for the whole session.
        if (clockEvents_.size() >= static_cast<std::size_t>(clockEventLimit))
            clockEvents_.erase(clockEvents_.begin(),
                               clockEvents_.end() - static_cast<std::ptrdiff_t>(clockEventLimit - 1));
        clockEvents_.push_back(time);
    }
    analyzeTempo();
    if (const auto listener = clockListener()) listener->midiClockBeat(time);
}

void MIDITempoListener::analyzeTempo() {
    std::optional<std::pair<double, std::string>> published;
    {
        std::lock_guard lock(mutex_);
        const std::size_t count = clockEvents_.size();
        if (count < 2) return;
        const std::uint64_t previous = clockEvents_[count - 2];
        const std::uint64_t newest = clockEvents_[count - 1];
        if (previous == 0 || newest <= previous) return;
        if (timebaseInfo_.denom == 0) timebaseInfo_ = platform::HostClock::timebase;

        // In floating point: an interval of hours times a large numerator would pass 64 bits.
        const double nanoseconds = static_cast<double>(newest - previous) * timebaseInfo_.numer;
        const double microseconds = nanoseconds / (static_cast<double>(timebaseInfo_.denom) * oneThousand);
        // A zero numerator gives no interval, and an infinite tempo would poison the statistics.
        if (!(microseconds > 0)) return;
        double bpm = 1'000'000.0 / microseconds / BEAT_TICKS * 60.0 + 0.055;

        keepNewest(clockEvents_);
        bpmStats_.record(bpm, newest);
        double estimate = 0;
        if (const auto& line = bpmStats_.lineFn)
            estimate = line->slope * static_cast<double>(bpmStats_.interpolatedTime(0.8f)) + line->ct;
        if (estimate > 0) bpm = estimate;
        bpmAveraging_.add(bpm);
        tempo_ = bpmAveraging_.results.avg;

        std::string text = tempoText(tempo_);
        if (text != tempoString_) {
            tempoString_ = text;
            published.emplace(tempo_, std::move(text));
        }
    }
    if (published)
        tempoObservers_.forEach(
            [&](MIDITempoObserver& o) { o.receivedTempo(published->first, published->second); });
}

void MIDITempoListener::clockLost() {
    if (isIncomingClockActive())
        tempoObservers_.forEach([](MIDITempoObserver& o) { o.midiClockLeaderEnabled(); });
    isIncomingClockActive_.store(false, std::memory_order_release);
}

} // namespace sonabel
