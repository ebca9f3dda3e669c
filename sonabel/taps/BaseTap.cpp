#include "sonabel/taps/BaseTap.h"

#include "sonabel/internals/error_handling/Log.h"

#include <limits>

namespace sonabel {

namespace {
void logDetached(const char* function) {
    Log({function}, "The tapped node isn't attached to the engine");
}

std::shared_ptr<platform::AudioNode> attachedNode(const std::shared_ptr<Node>& node) {
    auto av = node ? node->avAudioNode() : nullptr;
    return av && av->engine() ? av : nullptr;
}
} // namespace

BaseTap::BaseTap(std::shared_ptr<Node> input, std::uint32_t bufferSize)
    : bufferSize_(bufferSize), input_(std::move(input)) {}

std::uint32_t BaseTap::busIndex() const {
    const int b = bus_.load();
    // A negative bus names no bus: the platform refuses it like any missing one.
    return b < 0 ? std::numeric_limits<std::uint32_t>::max() : static_cast<std::uint32_t>(b);
}

void BaseTap::setBus(int bus) {
    bus_.store(bus);
    if (isStarted_.load()) {
        stop();
        start();
    }
}

std::shared_ptr<Node> BaseTap::input() const {
    std::lock_guard lock(inputMutex_);
    return input_;
}

void BaseTap::setInput(std::shared_ptr<Node> input) {
    if (input == this->input()) return;
    const bool restart = isStarted_.load();
    if (restart) stop();
    {
        std::lock_guard lock(inputMutex_);
        input_ = std::move(input);
    }
    if (restart) start();
}

void BaseTap::start() {
    const auto keepAlive = weak_from_this().lock(); // removing the tap may drop the last owner
    std::lock_guard lock(unfairLock);
    if (isStarted_.load()) return;
    isStarted_.store(true);
    removeTap();
    if (auto node = attachedNode(input())) {
        node->installTap(busIndex(), bufferSize_, std::nullopt,
                         [self = shared_from_this()](std::shared_ptr<platform::PCMBuffer> buffer,
                                                     platform::AudioTime time) {
                             self->receiveTapBuffer(std::move(buffer), time);
                         });
    } else {
        logDetached("start()");
    }
}

void BaseTap::receiveTapBuffer(std::shared_ptr<platform::PCMBuffer> buffer, platform::AudioTime time) {
    if (!buffer) return;
    // The platform clamps a length beyond the buffer's capacity to the capacity.
    buffer->setFrameLength(bufferSize_);
    queue_.load()->async([self = shared_from_this(), buffer = std::move(buffer), time] {
        std::lock_guard lock(self->unfairLock);
        if (self->isStarted_.load()) self->processTapBuffer(*buffer, time);
    });
}

void BaseTap::processTapBuffer(const platform::PCMBuffer&, const platform::AudioTime&) {}

void BaseTap::stop() {
    const auto keepAlive = weak_from_this().lock();
    std::lock_guard lock(unfairLock);
    removeTap();
    isStarted_.store(false);
}

void BaseTap::removeTap() {
    if (auto node = attachedNode(input()))
        node->removeTap(busIndex());
    else
        logDetached("removeTap()");
}

void BaseTap::stopIfStarted() {
    if (isStarted_.load()) stop();
}

} // namespace sonabel
