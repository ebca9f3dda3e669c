#pragma once

namespace sonabel {

// An observer that can tell whether another one is the same; for holders that keep observers of
// unrelated types.
class ObserverProtocol {
public:
    virtual ~ObserverProtocol() = default;
    virtual bool isEqualTo(const ObserverProtocol& other) const = 0;
};

} // namespace sonabel
