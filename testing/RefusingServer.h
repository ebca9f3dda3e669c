#pragma once
// A MIDI server that passes everything to another one, except the sends it is told to fail: those
// return the status with the failure a real backend would report, and deliver nothing. For the
// failures the in-process server never meets: a refusal, a receiver that took nothing.
#include "platform/midi/Server.h"

#include <memory>
#include <mutex>
#include <optional>

namespace miditest {

class RefusingServer final : public platform::midi::Server {
public:
    using SendFailure = platform::midi::SendFailure;

    explicit RefusingServer(std::shared_ptr<platform::midi::Server> inner) : inner_(std::move(inner)) {}

    // Every send and received() from now on fails so, until allowed again.
    void refuse(OSStatus status, SendFailure failure) {
        std::lock_guard lock(mutex_);
        refusal_ = Refusal{status, std::move(failure)};
    }
    void allow() {
        std::lock_guard lock(mutex_);
        refusal_.reset();
    }

    OSStatus send(MIDIPortRef port, MIDIEndpointRef destination, const MIDIPacketList* list,
                  ByteCount listSize) override {
        return sendReporting(port, destination, list, listSize, nullptr);
    }
    OSStatus received(MIDIEndpointRef source, const MIDIPacketList* list, ByteCount listSize) override {
        return receivedReporting(source, list, listSize, nullptr);
    }
    OSStatus sendReporting(MIDIPortRef port, MIDIEndpointRef destination, const MIDIPacketList* list,
                           ByteCount listSize, SendFailure* failure) override {
        if (const auto status = refused(failure)) return *status;
        return inner_->sendReporting(port, destination, list, listSize, failure);
    }
    OSStatus receivedReporting(MIDIEndpointRef source, const MIDIPacketList* list, ByteCount listSize,
                               SendFailure* failure) override {
        if (const auto status = refused(failure)) return *status;
        return inner_->receivedReporting(source, list, listSize, failure);
    }

    OSStatus createClient(std::string_view name, MIDINotifyBlock notifyBlock,
                          MIDIClientRef* outClient) override {
        return inner_->createClient(name, std::move(notifyBlock), outClient);
    }
    OSStatus disposeClient(MIDIClientRef client) override { return inner_->disposeClient(client); }
    OSStatus createInputPortWithProtocol(MIDIClientRef client, std::string_view name, MIDIProtocolID protocol,
                                         MIDIReceiveBlock receiveBlock, MIDIPortRef* outPort) override {
        return inner_->createInputPortWithProtocol(client, name, protocol, std::move(receiveBlock), outPort);
    }
    OSStatus createInputPortWithBlock(MIDIClientRef client, std::string_view name, MIDIReadBlock readBlock,
                                      MIDIPortRef* outPort) override {
        return inner_->createInputPortWithBlock(client, name, std::move(readBlock), outPort);
    }
    OSStatus createOutputPort(MIDIClientRef client, std::string_view name, MIDIPortRef* outPort) override {
        return inner_->createOutputPort(client, name, outPort);
    }
    OSStatus connectSource(MIDIPortRef port, MIDIEndpointRef source, void* connRefCon) override {
        return inner_->connectSource(port, source, connRefCon);
    }
    OSStatus disconnectSource(MIDIPortRef port, MIDIEndpointRef source) override {
        return inner_->disconnectSource(port, source);
    }
    OSStatus disposePort(MIDIPortRef port) override { return inner_->disposePort(port); }
    ItemCount numberOfSources() override { return inner_->numberOfSources(); }
    MIDIEndpointRef source(ItemCount index) override { return inner_->source(index); }
    ItemCount numberOfDestinations() override { return inner_->numberOfDestinations(); }
    MIDIEndpointRef destination(ItemCount index) override { return inner_->destination(index); }
    OSStatus getIntegerProperty(MIDIObjectRef object, std::string_view property,
                                std::int32_t* outValue) override {
        return inner_->getIntegerProperty(object, property, outValue);
    }
    OSStatus setIntegerProperty(MIDIObjectRef object, std::string_view property,
                                std::int32_t value) override {
        return inner_->setIntegerProperty(object, property, value);
    }
    OSStatus getStringProperty(MIDIObjectRef object, std::string_view property,
                               std::string* outValue) override {
        return inner_->getStringProperty(object, property, outValue);
    }
    OSStatus setStringProperty(MIDIObjectRef object, std::string_view property,
                               std::string_view value) override {
        return inner_->setStringProperty(object, property, value);
    }
    OSStatus createDestination(MIDIClientRef client, std::string_view name, MIDIReadBlock readBlock,
                               MIDIEndpointRef* outDestination) override {
        return inner_->createDestination(client, name, std::move(readBlock), outDestination);
    }
    OSStatus createSource(MIDIClientRef client, std::string_view name, MIDIEndpointRef* outSource) override {
        return inner_->createSource(client, name, outSource);
    }
    OSStatus disposeEndpoint(MIDIEndpointRef endpoint) override { return inner_->disposeEndpoint(endpoint); }
    void stop() override { inner_->stop(); }

private:
    struct Refusal {
        OSStatus status;
        SendFailure failure;
    };
    std::optional<OSStatus> refused(SendFailure* failure) {
        std::lock_guard lock(mutex_);
        if (!refusal_) return std::nullopt;
        if (failure) *failure = refusal_->failure;
        return refusal_->status;
    }

    std::shared_ptr<platform::midi::Server> inner_;
    std::mutex mutex_;
    std::optional<Refusal> refusal_;
};

} // namespace miditest
