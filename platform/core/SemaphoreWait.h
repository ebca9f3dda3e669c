#pragma once
#include <chrono>
#include <semaphore.h>

namespace platform {

// Waits on the semaphore until it is posted or `timeout` has passed on the monotonic clock, whatever
// signals interrupt the wait. True when it was posted.
bool waitForPost(sem_t& semaphore, std::chrono::nanoseconds timeout);

} // namespace platform
