#include "sonabel/taps/RawDataTap.h"

#include <algorithm>

namespace sonabel {

RawDataTap::RawDataTap(std::shared_ptr<Node> input, std::uint32_t bufferSize, Handler handler)
    : BaseTap(std::move(input), bufferSize), data_(bufferSize, 0.0f), handler_(std::move(handler)) {}

std::vector<float> RawDataTap::data() const {
    std::lock_guard lock(dataMutex_);
    return data_;
}

void RawDataTap::setData(std::vector<float> data) {
    std::lock_guard lock(dataMutex_);
    data_ = std::move(data);
}

RawDataTap::Handler RawDataTap::handler() const {
    std::lock_guard lock(dataMutex_);
    return handler_;
}

void RawDataTap::setHandler(Handler handler) {
    std::lock_guard lock(dataMutex_);
    handler_ = std::move(handler);
}

void RawDataTap::processTapBuffer(const platform::PCMBuffer& buffer, const platform::AudioTime&) {
    float* const* channels = buffer.floatChannelData();
    if (!channels) return;
    const std::uint32_t capacity = buffer.frameCapacity();
    const std::uint32_t length = buffer.frameLength();
    const std::ptrdiff_t stride = buffer.stride();
    // The last `length` frames of the capacity. A buffer shorter than bufferSize (the platform
    // clamps the length to the capacity) leaves the rest zero instead of reading past its end.
    std::vector<float> samples(bufferSize(), 0.0f);
    const std::uint32_t count = std::min(length, bufferSize());
    for (std::uint32_t i = 0; i < count; ++i)
        samples[i] = channels[0][std::ptrdiff_t(capacity - length + i) * stride];
    Handler h;
    std::vector<float> copy;
    {
        std::lock_guard lock(dataMutex_);
        data_ = std::move(samples);
        copy = data_;
        h = handler_;
    }
    if (h) h(copy);
}

void RawDataTap::stop() {
    BaseTap::stop();
    std::lock_guard lock(dataMutex_);
    std::fill(data_.begin(), data_.end(), 0.0f);
}

} // namespace sonabel
