#include "app/controller/InstrumentPort.h"

#include "app/protocol/InstrumentModel.h"

#include <algorithm>

namespace malvo {

std::vector<InstrumentPort> InstrumentPort::among(const std::vector<std::string>& sourceNames) {
    std::vector<InstrumentPort> found;
    for (const auto& name : sourceNames) {
        const auto model = deviceModelForPortName(name);
        if (!model) continue;
        const bool listed =
            std::any_of(found.begin(), found.end(), [&](const InstrumentPort& p) { return p.name == name; });
        if (!listed) found.push_back({name, *model});
    }
    return found;
}

} // namespace malvo
