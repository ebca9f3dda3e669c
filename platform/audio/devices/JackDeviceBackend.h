#pragma once
#include "platform/audio/devices/AudioDeviceBackend.h"
#include "platform/core/HostClock.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

struct _jack_client;

namespace platform {

struct JackLibrary;

// The machine's audio devices as a JACK server shows them: PipeWire through its JACK library
// (pipewire-jack), or a plain JACK server, through the library JackLibrary finds. A device is a client of the
// server that has audio ports (a PipeWire sink: its playback ports are the device's output, its monitor ports
// its input), named after the client. A started engine is a JACK client of its own: its callback runs in the
// server's real-time thread, once a quantum, input and output in one cycle; its ports are connected
// by name to the device's when it starts. It asks the server for the configured period as its
// quantum and follows the one the server runs, also when it changes later.
class JackDeviceBackend : public AudioDeviceBackend, public std::enable_shared_from_this<JackDeviceBackend> {
public:
    struct Configuration {
        HostClock* clock = &HostClock::system();
        // Asked of the server as its quantum when the engine starts.
        std::uint32_t bufferFrameSize = 512;
        // The engine's client name; the program's own name when empty.
        std::string clientName;
        // The client whose capture ports feed the engine's input; the default input when empty.
        std::string inputDevice;
        // JackLibrary::find()'s when null; tests put a fake in its place.
        const JackLibrary* library = nullptr;
    };

    // Null when no JACK server answers (none is started for it) or it lists no device with audio
    // ports.
    static std::shared_ptr<JackDeviceBackend> makeIfAvailable();
    static std::shared_ptr<JackDeviceBackend> makeIfAvailable(Configuration configuration);
    ~JackDeviceBackend() override;

    OSStatus deviceIDs(std::vector<AudioDeviceID>& ids) const override;
    OSStatus deviceName(AudioDeviceID id, std::string& name) const override;
    OSStatus streamChannels(AudioDeviceID id, bool input, std::vector<std::uint32_t>& streams) const override;
    bool hasDevice(AudioDeviceID id) const override;
    std::shared_ptr<AudioIOBackend> makeIO() override;

    struct Device {
        std::string name;                      // the client's
        std::vector<std::string> capturePorts; // full port names, the device's input channels
        std::vector<std::string> playbackPorts;
        bool isDefaultOutput = false;
        bool isDefaultInput = false;
    };
    // The device as the server lists it now: its ports by name, never by a position in an earlier
    // listing.
    bool device(AudioDeviceID id, Device& out) const;
    // The default sink (PipeWire lists its ports first among the physical playback ports; a plain
    // server its "system" client), and the default source: the client of the first physical capture
    // port, else the default output device's own capture ports (a sink's monitor).
    AudioDeviceID defaultDevice(bool input) const;
    // The configured input device while the server lists it with capture ports (else 0), or the
    // default input.
    AudioDeviceID inputDevice() const;
    double sampleRate() const;
    const Configuration& configuration() const { return configuration_; }
    // The library the backend talks through: PipeWire's JACK library, or the system's.
    const JackLibrary& library() const { return *library_; }

    // For the engine's clients: their ports are never listed as a device, so that an engine never
    // reads its own output.
    void addOwnClient(const std::string& name);
    void removeOwnClient(const std::string& name);

private:
    explicit JackDeviceBackend(Configuration configuration);
    // Under mutex_: lists the server's ports again; false when the listing client is gone.
    bool refreshLocked() const;

    Configuration configuration_;
    const JackLibrary* library_ = nullptr;
    mutable std::mutex mutex_;
    _jack_client* listing_ = nullptr;      // lists ports; no ports of its own, never activated
    std::atomic<bool> listingGone_{false}; // the server closed it
    double sampleRate_ = 0;
    std::set<std::string> ownClients_;
    mutable std::map<std::string, AudioDeviceID> ids_; // names keep their ID for the session
    mutable std::map<AudioDeviceID, Device> devices_;
    mutable AudioDeviceID nextID_ = 2;
};

} // namespace platform
