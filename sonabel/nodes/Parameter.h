#pragma once
#include "sonabel/nodes/NodeParameter.h"
#include "sonabel/nodes/NodeParameterType.h"
#include "sonabel/nodes/ParameterBase.h"

#include <memory>

namespace sonabel {

class Node;

// A node member that exposes one NodeParameter as a float or bool. Declared as a member
// (`Parameter<float> mix{this, mixDef};`), it registers with its node in declaration order;
// copies share the one NodeParameter.
template <class Value> class Parameter : public ParameterBase {
public:
    Parameter(Node* node, const NodeParameterDef& def) : param_(std::make_shared<NodeParameter>(def)) {
        registerWith(node, param_);
    }

    Value wrappedValue() const { return NodeParameterType<Value>::fromAUValue(param_->value()); }
    void setWrappedValue(Value value) { param_->setValue(NodeParameterType<Value>::toAUValue(value)); }
    operator Value() const { return wrappedValue(); }
    Parameter& operator=(Value value) {
        setWrappedValue(value);
        return *this;
    }
    std::shared_ptr<NodeParameter> projectedValue() const override { return param_; }

private:
    std::shared_ptr<NodeParameter> param_;
};

} // namespace sonabel
