#pragma once
#include "sonabel/nodes/Node.h"

#include <string>

namespace sonabel {

// A node with a name of its own. Node is a virtual base so that a node class can also take a name
// from this interface (the MIDI sampler is a sampler and a named node).
class NamedNode : public virtual Node {
public:
    virtual std::string name() const = 0;
    virtual void setName(std::string name) = 0;
};

} // namespace sonabel
