#pragma once

namespace sonabel {

class ThreadLock {
public:
    virtual ~ThreadLock() = default;
    virtual void readLock() = 0;
    virtual void writeLock() = 0;
    virtual void unlock() = 0;
};

} // namespace sonabel
