#include "sonabel/internals/utilities/RWThreadLock.h"

#include "platform/core/LogSink.h"
#include "sonabel/internals/error_handling/Log.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace sonabel {

namespace {
std::atomic<RWThreadLock::InitFunction> gInit{&pthread_rwlock_init};
}

void RWThreadLock::setInitFunctionForTesting(InitFunction init) {
    gInit = init ? init : &pthread_rwlock_init;
}

RWThreadLock::RWThreadLock() {
    std::memset(&lock_, 0, sizeof lock_);
    if (gInit.load()(&lock_, nullptr) != 0) {
        // Written even while logging is off: the process is about to stop.
        const bool wasEnabled = Settings::loggingEnabled();
        Settings::setLoggingEnabled(true);
        // At fault level, so the terminal shows why the process stopped.
        Log({"init()", OSLogType::fault}, "Unable to initialize the lock");
        Settings::setLoggingEnabled(wasEnabled);
        std::abort();
    }
}

RWThreadLock::~RWThreadLock() {
    pthread_rwlock_destroy(&lock_);
}

} // namespace sonabel
