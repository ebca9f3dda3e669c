#pragma once
#include "sonabel/internals/utilities/RWThreadLock.h"

#include <memory>
#include <utility>

namespace sonabel {

// A value shared between threads behind a read/write lock. Copies share the one guarded value.
template <class Value> class ThreadLockedAccessor {
public:
    explicit ThreadLockedAccessor(Value initial = Value{})
        : state_(std::make_shared<State>(std::move(initial))) {}

    Value wrappedValue() const {
        state_->lock.readLock();
        Value copy = state_->value;
        state_->lock.unlock();
        return copy;
    }

    void setWrappedValue(Value value) {
        state_->lock.writeLock();
        std::swap(state_->value, value);
        state_->lock.unlock();
        // the old value goes here, after the lock is released
    }

    // Mutates the value in place under the write lock; the lock is released even when the
    // mutation throws. The mutation must not touch this accessor again.
    template <class F> decltype(auto) modify(F&& mutate) {
        struct Unlock {
            ThreadLock& lock;
            ~Unlock() { lock.unlock(); }
        };
        state_->lock.writeLock();
        Unlock guard{state_->lock};
        return std::forward<F>(mutate)(state_->value);
    }

private:
    struct State {
        explicit State(Value v) : value(std::move(v)) {}
        Value value;
        RWThreadLock lock;
    };
    std::shared_ptr<State> state_;
};

} // namespace sonabel
