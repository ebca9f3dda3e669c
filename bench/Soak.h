#pragma once
// What the soaks measure, apart from the programs they measure: the tone they play in bursts, the
// recordings of it, where the tone broke in them and when each burst came back; and the plain
// passthrough program's ring between its input and output streams.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <utility>
#include <vector>

namespace soakbench {

// The tone comes in bursts, each starting at phase 0 after a short silence: every burst's start is
// a round trip to measure, and every burst but its edges is a sine to find breaks in.
constexpr double kBurstSeconds = 2.0, kBurstGapSeconds = 0.1, kFrequency = 1000.0;

inline float tone(std::int64_t t, std::int64_t start, std::int64_t length, double rate) {
    if (t < start || t >= start + length) return 0.0f;
    const auto burst = std::int64_t(kBurstSeconds * rate);
    const std::int64_t in = (t - start) % burst;
    if (in >= burst - std::int64_t(kBurstGapSeconds * rate)) return 0.0f;
    return 0.5f * float(std::sin(2 * std::numbers::pi * kFrequency * double(in) / rate));
}

// One channel, by input frame. The storage is reserved before recording: writes never move it.
struct Recording {
    std::vector<float> samples;
    std::atomic<std::size_t> count{0}; // samples up to here are written

    // The first channel of interleaved frames, after what is there.
    void append(const float* interleaved, std::size_t frames, std::size_t channels) {
        std::size_t n = count.load(std::memory_order_relaxed);
        for (std::size_t i = 0; i < frames && n < samples.size(); ++i)
            samples[n++] = interleaved[i * channels];
        count.store(n, std::memory_order_release);
    }
};

// Block by block, the host time (nanoseconds) at which a program handed over (or got) the block that
// starts at a frame. Reserved before the run: adding never allocates.
struct Stamps {
    std::vector<std::pair<std::int64_t, std::uint64_t>> at;
    std::atomic<std::size_t> count{0};

    void add(std::int64_t frame, std::uint64_t hostTime) {
        const std::size_t n = count.load(std::memory_order_relaxed);
        if (n == at.size()) return;
        at[n] = {frame, hostTime};
        count.store(n + 1, std::memory_order_release);
    }
    // Seconds on the host clock for a frame: its block's time, and the frame's place in the block at
    // the stream's rate. NaN before the first block.
    double seconds(std::int64_t frame, double rate) const {
        const auto end = at.begin() + std::ptrdiff_t(count.load(std::memory_order_acquire));
        auto it = std::upper_bound(at.begin(), end, frame,
                                   [](std::int64_t f, const auto& stamp) { return f < stamp.first; });
        if (it == at.begin()) return std::nan("");
        --it;
        return double(it->second) * 1e-9 + double(frame - it->first) / rate;
    }
};

// A sine obeys x[n] = 2cos(w) x[n-1] - x[n-2]; a sample far off that is a discontinuity (a gap, a
// jump, a repeat). Counted as events: bad samples less than 50 ms apart are one (a short gap is bad
// where it starts and where it ends); silence as long as that splits the burst instead.
inline int discontinuities(const std::vector<float>& s, std::int64_t from, std::int64_t to, double rate) {
    const double k = 2 * std::cos(2 * std::numbers::pi * kFrequency / rate);
    int events = 0;
    std::int64_t quietUntil = -1;
    for (std::int64_t i = std::max<std::int64_t>(from, 2); i < to; ++i) {
        const double predicted = k * s[std::size_t(i - 1)] - s[std::size_t(i - 2)];
        if (std::fabs(predicted - s[std::size_t(i)]) > 0.02) {
            if (i > quietUntil) ++events;
            quietUntil = i + std::int64_t(kBurstGapSeconds / 2 * rate);
        }
    }
    return events;
}

struct Returned {
    std::vector<double> at; // by burst, host seconds its start came back; NaN if it never did
    int breaks = 0;

    int bursts() const {
        return int(std::count_if(at.begin(), at.end(), [](double t) { return !std::isnan(t); }));
    }
};

// The recording's loud stretches (50 ms of quiet or more between them): each burst that came back
// is one; one more is a gap in a burst, a break, and so is a discontinuity inside one, and a burst
// that never came back while a later one did. A burst came back at the first stretch to start after
// it was sent (its block's time, so a little early at most), within half a burst.
inline Returned returned(const std::vector<float>& s, const Stamps& received, const std::vector<double>& sent,
                         double rate) {
    const auto quiet = std::int64_t(kBurstGapSeconds / 2 * rate), margin = std::int64_t(0.01 * rate);
    std::vector<std::pair<std::int64_t, std::int64_t>> stretches; // first and last loud frame
    std::int64_t quietFor = quiet;
    for (std::int64_t i = 0; i < std::int64_t(s.size()); ++i) {
        if (std::fabs(s[std::size_t(i)]) <= 0.05f) {
            ++quietFor;
            continue;
        }
        if (quietFor >= quiet) stretches.push_back({i, i});
        stretches.back().second = i;
        quietFor = 0;
    }
    Returned result;
    for (const auto& [on, off] : stretches)
        if (off - margin > on + margin) result.breaks += discontinuities(s, on + margin, off - margin, rate);
    std::size_t next = 0, matched = 0;
    for (const double when : sent) {
        result.at.push_back(std::nan(""));
        if (std::isnan(when)) continue;
        for (; next < stretches.size(); ++next) {
            const double back = received.seconds(stretches[next].first, rate);
            if (back > when + kBurstSeconds / 2) break;
            if (back >= when - 0.05) {
                result.at.back() = back;
                ++matched;
                ++next;
                break;
            }
        }
    }
    result.breaks += int(stretches.size() - matched);
    bool later = false; // a later burst came back
    for (std::size_t i = sent.size(); i-- > 0;) {
        if (std::isnan(sent[i])) continue;
        if (std::isnan(result.at[i]) && later) ++result.breaks;
        later = later || !std::isnan(result.at[i]);
    }
    return result;
}

struct RoundTrip {
    bool measured = false;
    double start = 0, end = 0, max = 0; // seconds, first and last burst that made the trip
    double longestOff = 0;              // seconds it stayed more than `tolerance` from the first
};

// From each burst's time at one place to its time at another; bursts missing at either are left out.
inline RoundTrip roundTrip(const std::vector<double>& from, const std::vector<double>& to, double tolerance) {
    std::vector<double> trips;
    for (std::size_t i = 0; i < std::min(from.size(), to.size()); ++i)
        if (!std::isnan(from[i]) && !std::isnan(to[i])) trips.push_back(to[i] - from[i]);
    RoundTrip result;
    if (trips.empty()) return result;
    result.measured = true;
    result.start = trips.front();
    result.end = trips.back();
    result.max = *std::max_element(trips.begin(), trips.end());
    double off = 0;
    for (const double trip : trips) {
        off = std::fabs(trip - trips.front()) > tolerance ? off + kBurstSeconds : 0;
        result.longestOff = std::max(result.longestOff, off);
    }
    return result;
}

// What a plain program keeps between an input and an output stream that run apart: the output
// starts once two of its blocks are there and plays them in order; a block it finds short it plays
// with silence after what there was, and waits for two blocks again. Input that finds no room is
// dropped. It never gives latency back. One writer (the input's callback), one reader (the
// output's); the storage is allocated once.
class PassthroughRing {
public:
    PassthroughRing(std::size_t capacityFrames, unsigned channels)
        : storage_(capacityFrames * channels), capacity_(capacityFrames), channels_(channels) {}

    // `inChannels` to the ring's: the first ones, the last one repeated into those it lacks.
    void push(const float* in, std::size_t frames, unsigned inChannels) {
        const std::size_t tail = tail_.load(std::memory_order_relaxed);
        const std::size_t room = capacity_ - (tail - head_.load(std::memory_order_acquire));
        const std::size_t n = std::min(frames, room);
        for (std::size_t i = 0; i < n; ++i)
            for (unsigned c = 0; c < channels_; ++c)
                storage_[((tail + i) % capacity_) * channels_ + c] =
                    in[i * inChannels + std::min(c, inChannels - 1)];
        dropped_.fetch_add(frames - n, std::memory_order_relaxed);
        tail_.store(tail + n, std::memory_order_release);
    }

    void pull(float* out, std::size_t frames) {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        const std::size_t available = tail_.load(std::memory_order_acquire) - head;
        if (!playing_ && available >= 2 * frames) playing_ = true;
        const std::size_t n = playing_ ? std::min(frames, available) : 0;
        for (std::size_t i = 0; i < n; ++i)
            for (unsigned c = 0; c < channels_; ++c)
                out[i * channels_ + c] = storage_[((head + i) % capacity_) * channels_ + c];
        std::fill(out + n * channels_, out + frames * channels_, 0.0f);
        if (playing_ && n < frames) {
            playing_ = false;
            shortFrames_.fetch_add(frames - n, std::memory_order_relaxed);
            shortfalls_.fetch_add(1, std::memory_order_relaxed);
        }
        head_.store(head + n, std::memory_order_release);
    }

    std::size_t frames() const {
        return tail_.load(std::memory_order_acquire) - head_.load(std::memory_order_acquire);
    }
    std::uint64_t shortfalls() const { return shortfalls_.load(std::memory_order_relaxed); }
    std::uint64_t shortFrames() const { return shortFrames_.load(std::memory_order_relaxed); }
    std::uint64_t droppedFrames() const { return dropped_.load(std::memory_order_relaxed); }

private:
    std::vector<float> storage_;
    const std::size_t capacity_;
    const unsigned channels_;
    std::atomic<std::size_t> head_{0}, tail_{0};
    bool playing_ = false; // the reader's own
    std::atomic<std::uint64_t> shortfalls_{0}, shortFrames_{0}, dropped_{0};
};

} // namespace soakbench
