// The JACK backend's devices from a server's ports, through a JACK library of the test's own: what
// PipeWire and a plain server list, which clients are the defaults, and IDs kept by name.
#include "platform/audio/devices/JackDeviceBackend.h"
#include "platform/audio/devices/JackLibrary.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace platform;

namespace {

struct FakePort {
    std::string client, shortName;
    unsigned long flags;
    std::string full() const { return client + ":" + shortName; }
};
std::vector<FakePort> gPorts; // what the server lists, in its order

jack_client_t* openClient(const char*, jack_options_t, jack_status_t*, ...) {
    return reinterpret_cast<jack_client_t*>(&gPorts);
}

jack_port_t* handle(const FakePort& port) {
    return reinterpret_cast<jack_port_t*>(const_cast<FakePort*>(&port));
}

const JackLibrary& fakeLibrary() {
    static const JackLibrary library = [] {
        JackLibrary l;
        l.client_open = &openClient;
        l.client_close = [](jack_client_t*) { return 0; };
        l.on_shutdown = [](jack_client_t*, JackShutdownCallback, void*) {};
        l.get_sample_rate = [](jack_client_t*) { return jack_nframes_t(48000); };
        l.get_ports = [](jack_client_t*, const char*, const char*, unsigned long flags) {
            auto** list = static_cast<const char**>(std::calloc(gPorts.size() + 1, sizeof(char*)));
            std::size_t n = 0;
            for (const FakePort& port : gPorts)
                if ((port.flags & flags) == flags) list[n++] = strdup(port.full().c_str());
            return list;
        };
        l.free = [](void* list) {
            for (auto** p = static_cast<char**>(list); *p; ++p)
                std::free(*p);
            std::free(list);
        };
        l.port_by_name = [](jack_client_t*, const char* name) -> jack_port_t* {
            for (const FakePort& port : gPorts)
                if (port.full() == name) return handle(port);
            return nullptr;
        };
        l.port_short_name = [](const jack_port_t* port) {
            return reinterpret_cast<const FakePort*>(port)->shortName.c_str();
        };
        return l;
    }();
    return library;
}

constexpr unsigned long in = JackPortIsInput, out = JackPortIsOutput, physical = JackPortIsPhysical;

struct Listed {
    std::string name;
    std::vector<std::string> playback, capture;
    bool defaultOutput, defaultInput;
};

} // namespace

TEST(JackDevices, ClientsWithAudioPortsAreDevicesAndTheDefaultsFollowThePhysicalPorts) {
    const struct {
        const char* what;
        std::vector<FakePort> ports;
        std::vector<Listed> devices; // in ID order: playback ports listed first
    } cases[] = {
        {"PipeWire: the default sink listed first, its monitor the input; a colon in a client's name",
         {{"Speakers: Analog", "playback_FL", in | physical},
          {"Speakers: Analog", "playback_FR", in | physical},
          {"Speakers: Analog", "monitor_FL", out},
          {"Speakers: Analog", "monitor_FR", out},
          {"Null", "playback_MONO", in | physical},
          {"Null", "monitor_MONO", out},
          {"prog", "out_1", out}, // the engine's own client
          {"prog", "in_1", in}},
         {{"Speakers: Analog",
           {"Speakers: Analog:playback_FL", "Speakers: Analog:playback_FR"},
           {"Speakers: Analog:monitor_FL", "Speakers: Analog:monitor_FR"},
           true,
           true},
          {"Null", {"Null:playback_MONO"}, {"Null:monitor_MONO"}, false, false}}},
        {"a plain server: the system client's capture is the input, another program's ports a device",
         {{"app", "out", out},
          {"system", "capture_1", out | physical},
          {"system", "capture_2", out | physical},
          {"system", "playback_1", in | physical},
          {"system", "playback_2", in | physical}},
         {{"system",
           {"system:playback_1", "system:playback_2"},
           {"system:capture_1", "system:capture_2"},
           true,
           true},
          {"app", {}, {"app:out"}, false, false}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        gPorts = c.ports;
        auto backend =
            JackDeviceBackend::makeIfAvailable({&HostClock::system(), 512, "prog", "", &fakeLibrary()});
        ASSERT_TRUE(backend);
        backend->addOwnClient("prog");
        std::vector<AudioDeviceID> ids;
        ASSERT_EQ(backend->deviceIDs(ids), noErr);
        ASSERT_EQ(ids.size(), c.devices.size());
        for (std::size_t i = 0; i < ids.size(); ++i) {
            JackDeviceBackend::Device device;
            ASSERT_TRUE(backend->device(ids[i], device));
            const Listed& want = c.devices[i];
            EXPECT_EQ(device.name, want.name);
            EXPECT_EQ(device.playbackPorts, want.playback) << want.name;
            EXPECT_EQ(device.capturePorts, want.capture) << want.name;
            EXPECT_EQ(backend->defaultDevice(false) == ids[i], want.defaultOutput) << want.name;
            EXPECT_EQ(backend->defaultDevice(true) == ids[i], want.defaultInput) << want.name;
        }
    }
}

TEST(JackDevices, ADeviceKeepsItsIDByNameWhenOthersComeAndGo) {
    gPorts = {{"A", "playback_1", in}, {"B", "playback_1", in}};
    auto backend =
        JackDeviceBackend::makeIfAvailable({&HostClock::system(), 512, "prog", "", &fakeLibrary()});
    ASSERT_TRUE(backend);
    std::vector<AudioDeviceID> ids;
    backend->deviceIDs(ids);
    ASSERT_EQ(ids.size(), 2u);
    const AudioDeviceID b = ids[1];
    // A new client listed before B, and A gone: B's ID, and its ports by name, stay B's.
    gPorts = {{"C", "playback_1", in}, {"B", "playback_1", in}};
    JackDeviceBackend::Device device;
    ASSERT_TRUE(backend->device(b, device));
    EXPECT_EQ(device.playbackPorts, std::vector<std::string>{"B:playback_1"});
    EXPECT_FALSE(backend->hasDevice(ids[0]));
    gPorts = {{"A", "playback_1", in}};
    EXPECT_TRUE(backend->hasDevice(ids[0]));
    EXPECT_FALSE(backend->hasDevice(b));
}
