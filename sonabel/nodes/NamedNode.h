#pragma once
#include "sonabel/nodes/Node.h"

#include <string>

namespace sonabel {

// A node with a name of its own.
class NamedNode : public Node {
public:
    virtual std::string name() const = 0;
    virtual void setName(std::string name) = 0;
};

} // namespace sonabel
