#pragma once
#include <memory>

namespace sonabel {

class Node;
class NodeParameter;

// What a node's wrapped parameter members have in common: the NodeParameter behind them.
class ParameterBase {
public:
    virtual ~ParameterBase() = default;
    virtual std::shared_ptr<NodeParameter> projectedValue() const = 0;

protected:
    // Makes the parameter one of the node's, after those registered before it.
    static void registerWith(Node* node, const std::shared_ptr<NodeParameter>& parameter);
};

} // namespace sonabel
