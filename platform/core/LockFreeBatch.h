#pragma once
#include <atomic>

namespace platform {

// Items handed from any number of threads to one taker that must not lock or allocate: pushers
// link their item in front (newest first), the taker takes the whole list at once and gets it back
// in the order pushed. `T` has a `T* next` the batch owns while the item is in it.
template <class T> class LockFreeBatch {
public:
    void push(T* item) {
        item->next = head_.load(std::memory_order_relaxed);
        while (!head_.compare_exchange_weak(item->next, item, std::memory_order_release,
                                            std::memory_order_relaxed)) {
        }
    }
    // Everything pushed so far, oldest first, linked through `next`; null when nothing was.
    T* takeAll() {
        T* batch = head_.exchange(nullptr, std::memory_order_acquire);
        T* ordered = nullptr;
        while (batch) {
            T* next = batch->next;
            batch->next = ordered;
            ordered = batch;
            batch = next;
        }
        return ordered;
    }
    bool mayHaveItems() const { return head_.load(std::memory_order_relaxed) != nullptr; }

private:
    std::atomic<T*> head_{nullptr};
};

} // namespace platform
