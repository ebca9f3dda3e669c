#pragma once
#include "platform/audio/AudioNode.h"
#include "sonabel/nodes/NodeParameter.h"
#include "sonabel/nodes/ParameterBase.h"

#include <concepts>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sonabel {

// Every audio node of the framework: it owns one platform node and names the nodes that feed it
// (element i feeds input bus i; a mixer takes its inputs on any free bus). Everything else has a
// default here, written over those two. The recursive operations follow connections depth first
// and cut a connection back to a node already on the current path, so a cycle ends instead of
// recursing forever while a node shared by two branches is still visited on each.
class Node {
public:
    virtual ~Node() = default;

    virtual std::vector<std::shared_ptr<Node>> connections() const = 0;
    virtual std::shared_ptr<platform::AudioNode> avAudioNode() const = 0;

    // One line per node: "Sonabel | ", a blank per level, "↳", the type name and, for a named
    // node, its name in parentheses and quotes; no final line feed.
    virtual std::string connectionTreeDescription() const;
    virtual void detach();
    virtual void makeAVConnections();
    virtual void disconnectAV();
    virtual void initLastRenderTime();
    virtual void stop();
    virtual void start();
    virtual bool isStarted() const;
    virtual void reset();
    // Any MIDI event type with its bytes as `data` (a member or a function).
    template <class Event> void scheduleMIDIEvent(const Event& event, std::uint64_t offset = 0) {
        if constexpr (requires { event.data(); })
            scheduleMIDIBytes(event.data(), offset);
        else
            scheduleMIDIBytes(event.data, offset);
    }
    virtual void scheduleMIDIBytes(const std::vector<std::uint8_t>& bytes, std::uint64_t offset);
    virtual std::vector<std::shared_ptr<NodeParameter>> parameters() const;
    virtual void buildParameterTree();
    virtual void bindParameters(const std::shared_ptr<platform::AudioNode>& node);

    // The unqualified name of the node's class, as in "Mixer".
    virtual std::string typeName() const;

protected:
    Node() = default;
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;
    void setBypass(bool bypass);

private:
    friend class ParameterBase;
    void describe(std::string& out, const std::string& indent, std::vector<const Node*>& path) const;
    void detach(std::vector<const Node*>& path);
    void makeAVConnections(std::vector<const Node*>& path);
    void disconnectAV(std::vector<const Node*>& path);
    void initLastRenderTime(std::vector<const Node*>& path);

    std::vector<std::shared_ptr<NodeParameter>> wrappedParameters_;
};

} // namespace sonabel
