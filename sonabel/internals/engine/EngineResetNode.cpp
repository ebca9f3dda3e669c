#include "sonabel/internals/engine/EngineResetNode.h"

namespace sonabel {

std::shared_ptr<EngineResetNode> EngineResetNode::make() {
    return std::shared_ptr<EngineResetNode>(new EngineResetNode());
}

} // namespace sonabel
