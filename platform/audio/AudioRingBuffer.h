#pragma once
#include <atomic>
#include <cstdint>
#include <memory>

namespace platform {

// Captured audio on its way from a device's input callback to the graph: one producer thread writes
// interleaved frames, one consumer thread reads them out channel by channel. Neither side locks or
// allocates. Frames that do not fit are dropped (an overrun); every frame of silence a read gives
// out, while waiting for the prefill as well, is an underrun; frames discarded to keep the latency
// down are counted too.
class AudioRingBuffer {
public:
    AudioRingBuffer(std::uint32_t channels, std::uint32_t capacityFrames);
    AudioRingBuffer(const AudioRingBuffer&) = delete;
    AudioRingBuffer& operator=(const AudioRingBuffer&) = delete;

    // Never the same for two rings, even when one is made where another was.
    std::uint64_t serial() const { return serial_; }
    std::uint32_t channels() const { return channels_; }
    std::uint32_t capacity() const { return capacity_; }
    std::uint32_t available() const;

    // Producer. Returns the frames stored.
    std::uint32_t write(const float* interleaved, std::uint32_t frames);
    // Consumer. Output channel c takes ring channel source[c]; a source outside the ring is silence.
    // Returns the frames that came from the ring; the rest of `frames` is zeros, counted as underrun.
    std::uint32_t read(float* const* out, const std::int32_t* source, std::uint32_t outChannels,
                       std::uint32_t frames);
    // Consumer: reads wait (in silence) until this many frames are there, at the start and again
    // after each underrun, which also adds to it the frames that were missing (up to half the ring):
    // the cushion. A wait longer than the cushion before it grew (a stall, which no cushion rides
    // out) takes that growth back. 0 by default.
    // Set before the producer starts.
    void setPrefill(std::uint32_t frames) {
        prefill_ = frames < capacity_ ? frames : capacity_;
        startPrefill_ = prefill_;
    }
    std::uint32_t prefill() const { return prefill_; }
    // Consumer: once `frames` frames have been read without an underrun, the prefill returns to the
    // one set and what the ring held beyond the cushion all that while (since the last overrun) is
    // discarded, so the latency comes back to where it started: at a read where the input ahead is
    // quiet (all channels within -60 dBFS), or once twice as many were read without one, where
    // dropping costs least. 0 (the default) keeps it.
    void setRecoveryFrames(std::uint64_t frames) { recoveryFrames_ = frames; }
    // Consumer: what the ring held beyond the cushion through `frames` frames read (since the last
    // underrun of its own or the last trim) is discarded at a read where the input ahead is quiet,
    // even while output underruns and overruns keep coming; input never quiet for `frames` more
    // (a noise floor, a tone) loses it then where it costs least: the stretch of that many held
    // frames with the least energy. With half a second, what a stall or an output underrun piled up
    // goes within a second of it. The cushion itself stays. 0 (the default) keeps it.
    void setHoldFrames(std::uint64_t frames) { holdFrames_ = frames; }
    // Consumer: drops up to `frames` frames, counted as discarded.
    void discard(std::uint32_t frames);
    // Consumer: drops up to `frames` of the held frames, the stretch of them with the least energy
    // (the frames before it are read first), counted as discarded.
    void dropQuietest(std::uint32_t frames);
    // Consumer: the output the frames go to ran dry, and what the input handed over meanwhile waits
    // here: what is given back at the end of the quiet stretch is measured from now on. The stretch
    // itself goes on, so that output underruns one after another still get their latency back.
    void noteOutputUnderrun() { lowestFill_ = ~0u; }

    std::uint64_t overrunFrames() const { return overruns_.load(std::memory_order_relaxed); }
    std::uint64_t underrunFrames() const { return underruns_.load(std::memory_order_relaxed); }
    std::uint64_t discardedFrames() const { return discarded_.load(std::memory_order_relaxed); }

private:
    // The next `frames` frames are all there and within the quiet level.
    bool quietAhead(std::uint32_t frames) const;
    void copyIn(const float* interleaved, std::uint32_t position, std::uint32_t count);
    void copyOut(float* const* out, const std::int32_t* source, std::uint32_t outChannels, std::uint32_t at,
                 std::uint32_t position, std::uint32_t count) const;

    const std::uint64_t serial_;
    const std::uint32_t channels_;
    const std::uint32_t capacity_;
    std::unique_ptr<float[]> samples_; // one run of `capacity_` frames per channel
    // Frame counts since the start; their difference is the fill.
    std::atomic<std::uint64_t> written_{0};
    std::atomic<std::uint64_t> read_{0};
    // Consumer side only.
    std::uint32_t prefill_ = 0;
    std::uint32_t startPrefill_ = 0;
    std::uint32_t grownBy_ = 0; // by the last underrun, until the reads go on
    std::uint64_t waited_ = 0;  // frames of silence read since then
    bool primed_ = false;
    std::uint64_t recoveryFrames_ = 0;
    std::uint64_t sinceLoss_ = 0;
    std::uint64_t overrunsSeen_ = 0;
    std::uint32_t lowestFill_ = ~0u; // after a read, since the last loss or trim
    std::uint64_t holdFrames_ = 0;
    std::uint64_t sinceHold_ = 0;
    std::uint32_t heldFill_ = ~0u; // after a read, since the last loss or trim; output underruns kept
    std::atomic<std::uint64_t> overruns_{0};
    std::atomic<std::uint64_t> underruns_{0};
    std::atomic<std::uint64_t> discarded_{0};
};

} // namespace platform
