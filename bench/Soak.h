#pragma once
// What the soaks measure, apart from the programs they measure: the tone they play in bursts, the
// recordings of it, where the tone broke in them and when each burst came back; and the plain
// passthrough program's ring between its input and output streams.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <optional>
#include <utility>
#include <vector>

namespace soakbench {

// The tone comes in bursts, each starting at phase 0 after a short silence: every burst's start is
// a round trip to measure. Each burst sweeps up through a band of its own, the bands taken in turn,
// so that any stretch of a burst tells which burst it is and where in it: a late piece of one burst
// is never taken for the next one's return, and a block lost or repeated, of any length, leaves the
// sweep out of step (a block of whole periods keeps the phase, not the frequency).
constexpr double kBurstSeconds = 2.0, kBurstGapSeconds = 0.1;
constexpr int kMarks = 5;
constexpr double kLowestHz = 1000, kBandHz = 400, kSweepHzPerSecond = 200;

inline double bandStart(int mark) {
    return kLowestHz + kBandHz * mark;
}

// The burst marked `mark`, `position` frames (maybe a fraction) from its start.
inline double sweep(int mark, double position, double rate) {
    const double t = position / rate;
    return 0.5 * std::sin(2 * std::numbers::pi * (bandStart(mark) * t + kSweepHzPerSecond / 2 * t * t));
}

inline float tone(std::int64_t t, std::int64_t start, std::int64_t length, double rate) {
    if (t < start || t >= start + length) return 0.0f;
    const auto burst = std::int64_t(kBurstSeconds * rate);
    const std::int64_t in = (t - start) % burst;
    if (in >= burst - std::int64_t(kBurstGapSeconds * rate)) return 0.0f;
    return float(sweep(int((t - start) / burst % kMarks), double(in), rate));
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

// Where a stretch of samples is in the tone: which burst's band, and the frame of its sweep.
struct Place {
    int mark = 0;
    double position = 0;
};

namespace detail {

constexpr double kTolerance = 0.01; // off the sine's recurrence, for a tone of 0.5
constexpr std::int64_t kWindow = 1024, kShortest = 256;
// Half the shortest period at 44.1 kHz (14.8 frames): a block of whole periods lost or repeated
// moves a window after it by three quarters of it at least, the fit's noise by 2 at most. Shorter
// windows (a stretch's end) are too noisy to tell.
constexpr double kShiftFrames = 7;

// A sine obeys x[k] = c x[k-1] - x[k-2] with c = 2cos(w); fitted over n samples (a sweep's frequency
// barely moves in a window). The fit's frequency in Hz, NaN where the samples are too quiet for one.
template <class T> double frequency(const T* x, std::int64_t n, double rate, double& c) {
    double along = 0, power = 0;
    for (std::int64_t k = 2; k < n; ++k) {
        along += (double(x[k]) + double(x[k - 2])) * double(x[k - 1]);
        power += double(x[k - 1]) * double(x[k - 1]);
    }
    if (power < double(n) * 1e-3) return std::nan("");
    c = along / power;
    if (!(std::fabs(c) < 2)) return std::nan("");
    return std::acos(c / 2) * rate / (2 * std::numbers::pi);
}

// The fit's frequency over the sweep's own frames from `at`, at the phase of the samples x: what
// theirs would be there, bias and all (the fit's bias over a sweep depends on the phase).
inline double sweepFrequency(const float* x, const Place& at, std::int64_t n, double rate,
                             std::vector<double>& scratch) {
    scratch.resize(std::size_t(n));
    double along = 0, across = 0;
    for (std::int64_t k = 0; k < n; ++k) {
        const double t = (at.position + double(k)) / rate;
        const double phase = 2 * std::numbers::pi * (bandStart(at.mark) * t + kSweepHzPerSecond / 2 * t * t);
        along += double(x[k]) * std::sin(phase);
        across += double(x[k]) * std::cos(phase);
        scratch[std::size_t(k)] = phase;
    }
    const double turn = std::atan2(across, along);
    for (double& v : scratch)
        v = std::sin(v + turn);
    double c = 0;
    return frequency(scratch.data(), n, rate, c);
}

// The first of x[from..n) off the recurrence, or n.
inline std::int64_t firstOff(const float* x, std::int64_t from, std::int64_t n, double c) {
    for (std::int64_t k = from; k < n; ++k)
        if (std::fabs(double(x[k]) - c * double(x[k - 1]) + double(x[k - 2])) > kTolerance) return k;
    return n;
}

// The frames from which `hz` is heard, near `at`.
inline Place refined(const float* x, Place at, double hz, std::int64_t n, double rate,
                     std::vector<double>& scratch) {
    for (int round = 0; round < 2; ++round)
        at.position += (hz - sweepFrequency(x, at, n, rate, scratch)) / kSweepHzPerSecond * rate;
    return at;
}

// Which band, where nothing is known yet: none when the samples are not one piece of one sine in a
// band.
inline std::optional<Place> place(const float* x, std::int64_t n, double rate, std::vector<double>& scratch) {
    double c = 0;
    const double hz = frequency(x, n, rate, c);
    if (std::isnan(hz) || firstOff(x, 2, n, c) < n) return std::nullopt;
    const double width = kSweepHzPerSecond * (kBurstSeconds - kBurstGapSeconds);
    const int mark = int(std::floor((hz - kLowestHz + (kBandHz - width) / 2) / kBandHz));
    if (mark < 0 || mark >= kMarks || std::fabs(hz - bandStart(mark) - width / 2) > (kBandHz + width) / 4)
        return std::nullopt;
    const Place rough{mark, (hz - bandStart(mark)) / kSweepHzPerSecond * rate - double(n) / 2};
    return refined(x, rough, hz, n, rate, scratch);
}

} // namespace detail

// A loud stretch of a recording, first and last loud frame, and where its checked part started in
// the tone (none when it did not start as a piece of the sweep).
struct Stretch {
    std::int64_t first = 0, last = 0;
    std::optional<Place> start; // of `first`
};

// The breaks in a loud stretch: a sample off the sine's recurrence (a gap, a jump, a repeat of any
// length but whole periods), or a window whose frequency says it is elsewhere in the sweep than the
// frames before it led to (whole periods lost or repeated). Counted as events: bad places less than
// 50 ms apart are one. 10 ms at each edge are left out, where a server's filters ring.
inline int breaksWithin(const std::vector<float>& s, Stretch& stretch, double rate) {
    const auto margin = std::int64_t(0.01 * rate), merge = std::int64_t(kBurstGapSeconds / 2 * rate);
    std::vector<double> scratch;
    std::optional<Place> at; // of frame i
    int events = 0;
    std::int64_t quietUntil = -1;
    const auto bad = [&](std::int64_t i) {
        if (i > quietUntil) ++events;
        quietUntil = i + merge;
        at.reset();
    };
    bool first = true;
    for (std::int64_t i = stretch.first + margin;;) {
        const std::int64_t n = std::min(detail::kWindow, stretch.last - margin - i);
        if (n < detail::kShortest) break;
        const float* x = s.data() + i;
        if (!at) {
            at = detail::place(x, n, rate, scratch);
            if (first && at) stretch.start = Place{at->mark, at->position - double(margin)};
            first = false;
            if (!at) {
                i += detail::kWindow / 4;
                continue;
            }
        } else {
            double c = 0;
            const double hz = detail::frequency(x - 2, n + 2, rate, c);
            const std::int64_t off = std::isnan(hz) ? 0 : detail::firstOff(x - 2, 2, n + 2, c) - 2;
            if (off < n) {
                bad(i + off);
                i += off + 1;
                continue;
            }
            // The fit drifts by a fraction of a frame where a server resamples: the place follows half of
            // what a window says, enough for a resampler's drift, and a block of whole periods stays out of
            // step until a window sees it.
            const double shift = detail::refined(x, *at, hz, n, rate, scratch).position - at->position;
            if (n == detail::kWindow && std::fabs(shift) > detail::kShiftFrames) {
                bad(i);
                continue; // placed afresh from here
            }
            if (n == detail::kWindow) at->position += shift / 2;
        }
        at->position += double(n);
        i += n;
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
// is one; one more is a gap in a burst, a break, and so are the breaks inside one, and a burst that
// never came back while a later one did. A burst came back at the first stretch that starts at its
// start (in its band, within 50 ms of its first frame) after it was sent (its block's time, so a
// little early at most), within half the bands' turn: a piece of another burst, early or late, is
// never its return.
inline Returned returned(const std::vector<float>& s, const Stamps& received, const std::vector<double>& sent,
                         double rate) {
    const auto quiet = std::int64_t(kBurstGapSeconds / 2 * rate);
    std::vector<Stretch> stretches;
    std::int64_t quietFor = quiet;
    for (std::int64_t i = 0; i < std::int64_t(s.size()); ++i) {
        if (std::fabs(s[std::size_t(i)]) <= 0.05f) {
            ++quietFor;
            continue;
        }
        if (quietFor >= quiet) stretches.push_back({i, i, std::nullopt});
        stretches.back().last = i;
        quietFor = 0;
    }
    Returned result;
    for (Stretch& stretch : stretches)
        result.breaks += breaksWithin(s, stretch, rate);
    std::size_t next = 0, matched = 0;
    for (std::size_t burst = 0; burst < sent.size(); ++burst) {
        const double when = sent[burst];
        result.at.push_back(std::nan(""));
        if (std::isnan(when)) continue;
        for (std::size_t j = next; j < stretches.size(); ++j) {
            const double back = received.seconds(stretches[j].first, rate);
            if (back > when + kMarks * kBurstSeconds / 2) break;
            const std::optional<Place>& start = stretches[j].start;
            if (back >= when - 0.05 && start && start->mark == int(burst % kMarks) &&
                start->position < 0.05 * rate) {
                result.at.back() = back;
                ++matched;
                next = j + 1;
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
