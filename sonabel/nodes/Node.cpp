#include "sonabel/nodes/Node.h"

#include "platform/audio/AudioEngine.h"
#include "platform/audio/AudioMixerNode.h"
#include "platform/audio/AudioUnitNode.h"
#include "sonabel/internals/error_handling/Log.h"
#include "sonabel/internals/settings/Settings.h"
#include "sonabel/nodes/HasInternalConnections.h"
#include "sonabel/nodes/NamedNode.h"

#include <algorithm>
#include <cstdlib>
#include <cxxabi.h>
#include <typeinfo>

namespace sonabel {

namespace {

bool onPath(const std::vector<const Node*>& path, const Node* node) {
    return std::find(path.begin(), path.end(), node) != path.end();
}

struct PathEntry {
    std::vector<const Node*>& path;
    PathEntry(std::vector<const Node*>& p, const Node* n) : path(p) { path.push_back(n); }
    ~PathEntry() { path.pop_back(); }
};

} // namespace

void ParameterBase::registerWith(Node* node, const std::shared_ptr<NodeParameter>& parameter) {
    if (node) node->wrappedParameters_.push_back(parameter);
}

std::string Node::typeName() const {
    const char* mangled = typeid(*this).name();
    int status = 0;
    char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    std::string name = status == 0 && demangled ? demangled : mangled;
    std::free(demangled);
    // The last component of the qualified name, ignoring template arguments.
    const auto angle = name.find('<');
    const auto colon = name.rfind("::", angle);
    if (colon != std::string::npos) name = name.substr(colon + 2);
    return name.empty() ? "Unknown" : name;
}

void Node::describe(std::string& out, const std::string& indent, std::vector<const Node*>& path) const {
    if (onPath(path, this)) return;
    PathEntry entry(path, this);
    std::string type = typeName();
    if (auto named = dynamic_cast<const NamedNode*>(this)) type += "(\"" + named->name() + "\")";
    out += "Sonabel | " + indent + "↳" + type + "\n";
    for (const auto& c : connections())
        if (c) c->describe(out, " " + indent, path);
}

std::string Node::connectionTreeDescription() const {
    std::string out;
    std::vector<const Node*> path;
    describe(out, "", path);
    if (!out.empty()) out.pop_back();
    return out;
}

void Node::detach() {
    std::vector<const Node*> path;
    detach(path);
}

void Node::detach(std::vector<const Node*>& path) {
    if (onPath(path, this)) return;
    PathEntry entry(path, this);
    if (auto node = avAudioNode())
        if (auto engine = node->engine()) engine->detach(node);
    for (const auto& c : connections())
        if (c) c->detach(path);
}

void Node::makeAVConnections() {
    std::vector<const Node*> path;
    makeAVConnections(path);
}

void Node::makeAVConnections(std::vector<const Node*>& path) {
    if (onPath(path, this)) return;
    PathEntry entry(path, this);
    if (auto internal = dynamic_cast<HasInternalConnections*>(this)) internal->makeInternalConnections();
    auto node = avAudioNode();
    auto engine = node ? node->engine() : nullptr;
    if (!engine) return;
    const auto format = Settings::audioFormat();
    const auto inputs = connections();
    for (std::uint32_t i = 0; i < inputs.size(); ++i) {
        const auto& c = inputs[i];
        if (!c || onPath(path, c.get())) continue; // a connection back up the path would close a cycle
        auto cNode = c->avAudioNode();
        if (!cNode) continue;
        auto cEngine = cNode->engine();
        if ((cEngine && cEngine != engine) || node->engine() != engine) {
            Log({"makeAVConnections()"}, "🛑 Error: Attempt to connect nodes from different engines.");
            return;
        }
        engine->attach(cNode);
        auto points = engine->outputConnectionPoints(cNode, 0);
        if (auto mixer = std::dynamic_pointer_cast<platform::AudioMixerNode>(node)) {
            const bool connected =
                std::any_of(points.begin(), points.end(), [&](auto& p) { return p.node == node; });
            if (!connected) {
                points.push_back({node, mixer->nextAvailableInputBus()});
                engine->connect(cNode, points, 0, format);
            }
        } else {
            const bool connected = std::any_of(points.begin(), points.end(),
                                               [&](auto& p) { return p.node == node && p.bus == i; });
            if (!connected) {
                points.push_back({node, i});
                engine->connect(cNode, points, 0, format);
            }
        }
        c->makeAVConnections(path);
    }
}

void Node::disconnectAV() {
    std::vector<const Node*> path;
    disconnectAV(path);
}

void Node::disconnectAV(std::vector<const Node*>& path) {
    if (onPath(path, this)) return;
    PathEntry entry(path, this);
    auto node = avAudioNode();
    auto engine = node ? node->engine() : nullptr;
    if (!engine) return;
    engine->disconnectNodeInput(node);
    for (const auto& c : connections())
        if (c) c->disconnectAV(path);
}

void Node::initLastRenderTime() {
    std::vector<const Node*> path;
    initLastRenderTime(path);
}

void Node::initLastRenderTime(std::vector<const Node*>& path) {
    if (onPath(path, this)) return;
    PathEntry entry(path, this);
    if (auto node = avAudioNode()) (void)node->lastRenderTime();
    for (const auto& c : connections())
        if (c) c->initLastRenderTime(path);
}

void Node::setBypass(bool bypass) {
    if (auto node = avAudioNode()) node->auAudioUnit()->setShouldBypassEffect(bypass);
}

void Node::stop() {
    setBypass(true);
}
void Node::start() {
    setBypass(false);
}

bool Node::isStarted() const {
    auto node = avAudioNode();
    return node && !node->auAudioUnit()->shouldBypassEffect();
}

void Node::reset() {
    if (auto unitNode = std::dynamic_pointer_cast<platform::AudioUnitNode>(avAudioNode()))
        platform::AudioUnitReset(unitNode->audioUnit(), platform::kAudioUnitScope_Global, 0);
}

void Node::scheduleMIDIBytes(const std::vector<std::uint8_t>& bytes, std::uint64_t offset) {
    auto node = avAudioNode();
    if (!node) return;
    auto block = node->auAudioUnit()->scheduleMIDIEventBlock();
    if (!block) return;
    if (offset >= (std::uint64_t{1} << 63)) {
        Log({"scheduleMIDIEvent(event:offset:)", OSLogType::error},
            "🛑 Error: MIDI event offset too large:", offset);
        return;
    }
    (*block)(platform::AUEventSampleTimeImmediate + static_cast<std::int64_t>(offset), 0, bytes.size(),
             bytes.data());
}

std::vector<std::shared_ptr<NodeParameter>> Node::parameters() const {
    return wrappedParameters_;
}

void Node::buildParameterTree() {
    auto node = avAudioNode();
    if (!node) return;
    std::vector<std::shared_ptr<platform::AUParameter>> created;
    for (const auto& p : wrappedParameters_) {
        const auto& d = p->def();
        auto parameter =
            platform::AUParameterTree::createParameter(d.identifier, d.name, d.address, d.range.lowerBound,
                                                       d.range.upperBound, d.unit, std::nullopt, d.flags);
        p->setAvAudioNode(node);
        p->setParameter(parameter);
        created.push_back(parameter);
    }
    node->auAudioUnit()->setParameterTree(platform::AUParameterTree::createTree(created));
}

void Node::bindParameters(const std::shared_ptr<platform::AudioNode>& node) {
    for (const auto& p : wrappedParameters_)
        p->associate(node);
}

} // namespace sonabel
