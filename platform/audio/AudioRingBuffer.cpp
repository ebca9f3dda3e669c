#include "platform/audio/AudioRingBuffer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

namespace platform {

namespace {
std::atomic<std::uint64_t> lastSerial{0};
}

AudioRingBuffer::AudioRingBuffer(std::uint32_t channels, std::uint32_t capacityFrames)
    : serial_(lastSerial.fetch_add(1, std::memory_order_relaxed) + 1), channels_(std::max(channels, 1u)),
      capacity_(std::max(capacityFrames, 1u)), samples_(new float[std::size_t(channels_) * capacity_]()) {}

std::uint32_t AudioRingBuffer::available() const {
    return std::uint32_t(written_.load(std::memory_order_acquire) - read_.load(std::memory_order_acquire));
}

std::uint32_t AudioRingBuffer::write(const float* interleaved, std::uint32_t frames) {
    const std::uint64_t w = written_.load(std::memory_order_relaxed);
    const std::uint64_t free = capacity_ - (w - read_.load(std::memory_order_acquire));
    const std::uint32_t n = std::uint32_t(std::min<std::uint64_t>(frames, free));
    if (n < frames) overruns_.fetch_add(frames - n, std::memory_order_relaxed);
    const std::uint32_t start = std::uint32_t(w % capacity_);
    const std::uint32_t first = std::min(n, capacity_ - start);
    copyIn(interleaved, start, first);
    copyIn(interleaved + std::size_t(first) * channels_, 0, n - first);
    written_.store(w + n, std::memory_order_release);
    return n;
}

std::uint32_t AudioRingBuffer::read(float* const* out, const std::int32_t* source, std::uint32_t outChannels,
                                    std::uint32_t frames) {
    const std::uint64_t r = read_.load(std::memory_order_relaxed);
    const std::uint64_t filled = written_.load(std::memory_order_acquire) - r;
    std::uint32_t n = 0;
    if (primed_ || filled >= prefill_) {
        // A wait longer than the cushion was before it grew was a stall, not jitter a larger
        // cushion rides out: the growth goes again, or every stall would raise the latency for good.
        if (!primed_ && waited_ > prefill_ - grownBy_) prefill_ -= grownBy_;
        grownBy_ = 0;
        primed_ = true;
        n = std::uint32_t(std::min<std::uint64_t>(frames, filled));
        if (n < frames) {
            primed_ = prefill_ == 0;
            // The cushion was short by what was missing: that much more, and no more, since every
            // frame of it is latency and a refill is silence.
            if (prefill_ != 0) {
                const std::uint32_t grown =
                    std::min(prefill_ + (frames - n), std::max(capacity_ / 2, prefill_));
                grownBy_ = grown - prefill_;
                prefill_ = grown;
                waited_ = 0;
            }
        }
    } else {
        waited_ += frames;
    }
    const std::uint64_t overruns = overruns_.load(std::memory_order_relaxed);
    const bool lost = n < frames;
    // A full ring holds too much, not too little: what it holds beyond the cushion is measured
    // afresh, and the quiet stretch goes on, so that it is given back even while overruns go on.
    if (overruns != overrunsSeen_) lowestFill_ = ~0u;
    if (n < frames) underruns_.fetch_add(frames - n, std::memory_order_relaxed);
    overrunsSeen_ = overruns;
    for (std::uint32_t c = 0; c < outChannels; ++c)
        if (source[c] < 0 || std::uint32_t(source[c]) >= channels_) {
            std::memset(out[c], 0, frames * sizeof(float));
        } else if (n < frames) {
            std::memset(out[c] + n, 0, (frames - n) * sizeof(float));
        }
    // At most two contiguous pieces, one before the end of the storage and one from its start.
    const std::uint32_t start = std::uint32_t(r % capacity_);
    const std::uint32_t first = std::min(n, capacity_ - start);
    copyOut(out, source, outChannels, 0, start, first);
    copyOut(out, source, outChannels, first, 0, n - first);
    read_.store(r + n, std::memory_order_release);
    if (lost) {
        sinceLoss_ = 0;
        lowestFill_ = ~0u;
        sinceHold_ = 0;
        heldFill_ = ~0u;
        return n;
    }
    sinceLoss_ += n;
    sinceHold_ += n;
    lowestFill_ = std::min(lowestFill_, available());
    heldFill_ = std::min(heldFill_, available());
    if (holdFrames_ && sinceHold_ >= holdFrames_ && !(recoveryFrames_ && sinceLoss_ >= recoveryFrames_)) {
        // Output underruns leave the input behind each time; when they come every few hundred
        // milliseconds no loss-free stretch ever ends to give that back. What stayed above the cushion
        // (grown or not) for a whole hold was never needed against the input's jitter: it goes where
        // a jump is not heard. Output underruns after the lowest point only raise the fill, so the
        // lowest is still what stayed; the cushion is below the level and is the underruns' to grow.
        // Input that is never quiet (a noise floor, a tone) gives it back all the same, a hold later,
        // where dropping it costs least.
        const std::uint32_t level = prefill_ > frames ? prefill_ - frames : 0;
        const std::uint32_t excess = heldFill_ > level ? heldFill_ - level : 0;
        const bool quiet = excess == 0 || quietAhead(excess + frames);
        if (quiet || sinceHold_ >= 2 * holdFrames_) {
            if (quiet)
                discard(excess);
            else
                dropQuietest(excess);
            sinceHold_ = 0;
            heldFill_ = ~0u;
            if (excess) lowestFill_ = ~0u;
        }
    }
    if (recoveryFrames_ && sinceLoss_ >= recoveryFrames_) {
        // Right after a read at the start the ring held the cushion less that read. Frames that
        // stayed beyond that level through the whole quiet stretch are latency an overrun or a grown
        // cushion left behind; the ring's own jitter never reaches below the lowest fill.
        // Dropping them is a jump in the input, unheard only where it is quiet: they go once the
        // frames about to be read are, or after a second quiet stretch without such a moment.
        const std::uint32_t level = startPrefill_ > frames ? startPrefill_ - frames : 0;
        const std::uint32_t excess = lowestFill_ > level ? lowestFill_ - level : 0;
        const bool quiet = excess == 0 || quietAhead(excess + frames);
        if (!quiet && sinceLoss_ < 2 * recoveryFrames_) return n;
        prefill_ = startPrefill_;
        if (quiet)
            discard(excess);
        else
            dropQuietest(excess);
        sinceLoss_ = 0;
        lowestFill_ = ~0u;
        sinceHold_ = 0;
        heldFill_ = ~0u;
    }
    return n;
}

void AudioRingBuffer::copyIn(const float* interleaved, std::uint32_t position, std::uint32_t count) {
    // Split into channels on the way in, while the device's frames stream past anyway; reads are
    // then plain copies.
    if (channels_ == 2) {
        float* __restrict left = samples_.get() + position;
        float* __restrict right = left + capacity_;
        const float* __restrict from = interleaved;
        for (std::size_t i = 0; i < count; ++i) {
            left[i] = from[2 * i];
            right[i] = from[2 * i + 1];
        }
        return;
    }
    const std::size_t stride = channels_;
    for (std::uint32_t c = 0; c < channels_; ++c) {
        float* __restrict to = samples_.get() + std::size_t(c) * capacity_ + position;
        const float* __restrict from = interleaved + c;
        for (std::size_t i = 0; i < count; ++i)
            to[i] = from[i * stride];
    }
}

void AudioRingBuffer::copyOut(float* const* out, const std::int32_t* source, std::uint32_t outChannels,
                              std::uint32_t at, std::uint32_t position, std::uint32_t count) const {
    if (count == 0) return;
    for (std::uint32_t c = 0; c < outChannels; ++c)
        if (source[c] >= 0 && std::uint32_t(source[c]) < channels_)
            std::memcpy(out[c] + at, samples_.get() + std::size_t(source[c]) * capacity_ + position,
                        count * sizeof(float));
}

bool AudioRingBuffer::quietAhead(std::uint32_t frames) const {
    constexpr float kQuiet = 0.001f; // -60 dBFS
    const std::uint64_t r = read_.load(std::memory_order_relaxed);
    if (written_.load(std::memory_order_acquire) - r < frames) return false;
    const std::uint32_t start = std::uint32_t(r % capacity_);
    const std::uint32_t first = std::min(frames, capacity_ - start);
    for (std::uint32_t c = 0; c < channels_; ++c) {
        const float* channel = samples_.get() + std::size_t(c) * capacity_;
        for (const auto& [from, count] : {std::pair{start, first}, std::pair{0u, frames - first}})
            for (std::uint32_t i = from; i < from + count; ++i)
                if (std::fabs(channel[i]) > kQuiet) return false;
    }
    return true;
}

void AudioRingBuffer::dropQuietest(std::uint32_t frames) {
    const std::uint64_t r = read_.load(std::memory_order_relaxed);
    const std::uint32_t held = std::uint32_t(written_.load(std::memory_order_acquire) - r);
    frames = std::min(frames, held);
    if (frames == 0) return;
    const auto sample = [&](std::uint32_t c, std::uint32_t i) -> float& {
        return samples_[std::size_t(c) * capacity_ + std::size_t((r + i) % capacity_)];
    };
    const auto energy = [&](std::uint32_t i) {
        double e = 0;
        for (std::uint32_t c = 0; c < channels_; ++c)
            e += double(sample(c, i)) * double(sample(c, i));
        return e;
    };
    // The stretch of `frames` held frames with the least energy, the earliest of equals.
    double sum = 0;
    for (std::uint32_t i = 0; i < frames; ++i)
        sum += energy(i);
    double least = sum;
    std::uint32_t at = 0;
    for (std::uint32_t k = 1; k + frames <= held; ++k) {
        sum += energy(k + frames - 1) - energy(k - 1);
        if (sum < least) {
            least = sum;
            at = k;
        }
    }
    // The frames before it move up over it, last first; the producer writes none of these.
    for (std::uint32_t c = 0; c < channels_; ++c)
        for (std::uint32_t i = at; i-- > 0;)
            sample(c, i + frames) = sample(c, i);
    discard(frames);
}

void AudioRingBuffer::discard(std::uint32_t frames) {
    const std::uint64_t r = read_.load(std::memory_order_relaxed);
    const std::uint64_t n = std::min<std::uint64_t>(frames, written_.load(std::memory_order_acquire) - r);
    read_.store(r + n, std::memory_order_release);
    discarded_.fetch_add(n, std::memory_order_relaxed);
}

} // namespace platform
