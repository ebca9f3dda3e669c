#include "app/controller/TransferJobGuard.h"

#include <utility>

namespace malvo {

TransferJobGuard::~TransferJobGuard() {
    stop();
}

void TransferJobGuard::stop() {
    alive_->store(false);
    cancelled_ = true;
    jobs_.joinAll();
}

bool TransferJobGuard::begin() {
    bool expected = false;
    return running_.compare_exchange_strong(expected, true);
}

void TransferJobGuard::end() {
    running_ = false;
}

bool TransferJobGuard::start(std::function<void()> job) {
    if (!begin()) return false;
    jobs_.run([this, job = std::move(job)] {
        job();
        end();
    });
    return true;
}

void TransferJobGuard::waitForJob() {
    jobs_.joinAll();
}

} // namespace malvo
