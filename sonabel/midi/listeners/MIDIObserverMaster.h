#pragma once
#include <algorithm>
#include <memory>
#include <vector>

namespace sonabel {

// Keeps observers of one protocol, strongly and in the order they were added. Not synchronised:
// it belongs to one thread.
template <class Observer> class MIDIObserverMaster {
public:
    std::vector<std::shared_ptr<Observer>> observers;

    void addObserver(std::shared_ptr<Observer> observer) { observers.push_back(std::move(observer)); }
    // Takes out every entry that is the same object.
    void removeObserver(const Observer* observer) {
        std::erase_if(observers, [observer](const auto& entry) { return entry.get() == observer; });
    }
    void removeAllObservers() { observers.clear(); }
};

} // namespace sonabel
