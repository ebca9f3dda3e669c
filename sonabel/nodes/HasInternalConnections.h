#pragma once

namespace sonabel {

// A node that wires platform nodes of its own before the engine connects it.
class HasInternalConnections {
public:
    virtual ~HasInternalConnections() = default;
    virtual void makeInternalConnections() = 0;
};

} // namespace sonabel
