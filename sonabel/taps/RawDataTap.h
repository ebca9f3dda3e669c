#pragma once
#include "sonabel/taps/BaseTap.h"

#include <functional>
#include <mutex>
#include <vector>

namespace sonabel {

// Copies channel 0 of every tapped buffer into `data` and hands it to the handler.
class RawDataTap : public BaseTap {
public:
    using Handler = std::function<void(const std::vector<float>&)>;

    RawDataTap(
        std::shared_ptr<Node> input, std::uint32_t bufferSize,
        Handler handler = [](const std::vector<float>&) {});

    // bufferSize samples of the last processed buffer.
    virtual std::vector<float> data() const;
    virtual void setData(std::vector<float> data);
    virtual Handler handler() const;
    virtual void setHandler(Handler handler);

    void processTapBuffer(const platform::PCMBuffer& buffer, const platform::AudioTime& time) override;
    // Also zeroes `data`, keeping its count; the handler is not called.
    void stop() override;

private:
    mutable std::mutex dataMutex_; // data may be read off the main thread
    std::vector<float> data_;
    Handler handler_;
};

} // namespace sonabel
