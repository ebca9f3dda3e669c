#pragma once
// The observers of a listener: added and removed from any thread, called from a snapshot so an
// observer may add or remove observers (itself included) while being called; a change takes
// effect from the next notification. Observers are held strongly, in the order they were added.
#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

namespace sonabel {

template <class Observer> class ObserverList {
public:
    using Entry = std::shared_ptr<Observer>;

    void add(Entry observer) {
        std::lock_guard lock(mutex_);
        auto next = std::make_shared<std::vector<Entry>>(*entries_);
        next->push_back(std::move(observer));
        entries_ = std::move(next);
    }
    // Takes out every entry that is the same object, keeping the others' order.
    void remove(const Observer* observer) {
        std::lock_guard lock(mutex_);
        auto next = std::make_shared<std::vector<Entry>>(*entries_);
        std::erase_if(*next, [observer](const Entry& entry) { return entry.get() == observer; });
        entries_ = std::move(next);
    }
    void removeAll() {
        std::lock_guard lock(mutex_);
        entries_ = std::make_shared<const std::vector<Entry>>();
    }
    std::shared_ptr<const std::vector<Entry>> snapshot() const {
        std::lock_guard lock(mutex_);
        return entries_;
    }
    std::vector<Entry> entries() const { return *snapshot(); }
    std::size_t size() const { return snapshot()->size(); }
    // Calls f on every observer, in order, without holding the lock.
    template <class F> void forEach(F&& f) const {
        const auto current = snapshot();
        for (const auto& observer : *current)
            f(*observer);
    }

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const std::vector<Entry>> entries_ = std::make_shared<const std::vector<Entry>>();
};

} // namespace sonabel
