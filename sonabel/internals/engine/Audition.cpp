#include "sonabel/internals/engine/Audition.h"

#include "sonabel/internals/engine/AudioEngine.h"
#include "sonabel/internals/error_handling/Log.h"
#include "sonabel/nodes/playback/AudioPlayer.h"

#include <chrono>
#include <cstdint>
#include <limits>

namespace sonabel {

void audition(const std::shared_ptr<platform::PCMBuffer>& buffer, platform::Sleeper& sleeper) {
    const double rate = buffer ? buffer->format().sampleRate() : 0.0;
    if (!(rate > 0)) {
        Log({"audition()", OSLogType::error}, "🛑 Error: Cannot audition a buffer without a sample rate.");
        return;
    }
    AudioEngine engine;
    auto player = std::make_shared<AudioPlayer>();
    engine.setOutput(player);
    try {
        engine.start();
    } catch (const std::exception& error) {
        Log({"audition()", OSLogType::error}, error.what());
        return;
    }
    player->setBuffer(buffer);
    player->play(std::nullopt, std::nullopt, std::nullopt,
                 AudioPlayer::CompletionCallbackType::dataPlayedBack);
    const double nanoseconds = double(buffer->frameLength()) / rate * 1e9;
    const double limit = double(std::numeric_limits<std::int64_t>::max());
    sleeper.sleepFor(std::chrono::nanoseconds(nanoseconds >= limit ? std::numeric_limits<std::int64_t>::max()
                                                                   : static_cast<std::int64_t>(nanoseconds)));
    engine.avEngine()->stop();
}

} // namespace sonabel
