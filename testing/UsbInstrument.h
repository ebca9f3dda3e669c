#pragma once
// A USB MIDI instrument made of kernel parts (scripts/usb-instrument), for kernel tests.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kerneltest {

// Gives a raw MIDI device's input a buffer of `bytes` (the kernel's default is 4 KiB): at USB
// speed in an emulated guest, a reader held up for some milliseconds would otherwise lose bytes
// at the instrument's end (the card's /proc/asound/cardN/midiD counts them as overruns).
inline bool growInputBuffer(int fd, std::size_t bytes) {
    // The kernel's raw MIDI parameters (its header clashes with alsa-lib's).
    struct Params {
        int stream;
        std::size_t bufferSize;
        std::size_t availMin;
        unsigned int noActiveSensing : 1;
        unsigned char reserved[16];
    } params{1, bytes, 1, 0, {}};
    return ::ioctl(fd, _IOWR('W', 0x10, Params), &params) == 0;
}

// The USB instrument of scripts/usb-instrument, plugged in while the object lives; its gadget side's
// raw MIDI device is left to whoever plays the instrument. One test process at a time has it (the
// guest has one USB device controller): others wait for it.
class UsbGadget {
public:
    explicit UsbGadget(const std::string& name) {
        lock_ = ::open("/tmp/sonabel-usb-instrument.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(10);
        while (lock_ >= 0 && ::flock(lock_, LOCK_EX | LOCK_NB) != 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                why_ = "another test held the USB instrument for 10 minutes";
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        device_ = script("plug '" + name + "'");
    }
    ~UsbGadget() {
        script("remove");
        if (lock_ >= 0) ::close(lock_);
    }
    UsbGadget(const UsbGadget&) = delete;
    UsbGadget& operator=(const UsbGadget&) = delete;

    // The gadget side's raw MIDI device; empty while unplugged or when it did not come up.
    const std::string& device() const { return device_; }
    // Why it was never plugged in, when another test kept it.
    const std::string& why() const { return why_; }
    // A USB disconnect: returns once the sequencer no longer lists the instrument.
    void unplug() {
        script("unplug");
        device_.clear();
    }
    const std::string& replug() {
        device_ = script("replug");
        return device_;
    }

private:
    static std::string script(const std::string& arguments) {
        std::string out;
        if (FILE* pipe = ::popen((SONABEL_SCRIPTS_DIR "/usb-instrument " + arguments).c_str(), "r")) {
            char buffer[256];
            while (std::fgets(buffer, sizeof buffer, pipe))
                out += buffer;
            ::pclose(pipe);
        }
        while (!out.empty() && out.back() == '\n')
            out.pop_back();
        return out;
    }

    int lock_ = -1;
    std::string device_;
    std::string why_;
};

// The same instrument with its end of the cable played here: what it receives is collected, and
// bytes can be sent toward the host.
class UsbInstrument {
public:
    // Plugs in an instrument named `name`; plugged() says whether it came up, why() why not.
    explicit UsbInstrument(const std::string& name) : gadget_(name) { open(gadget_.device()); }
    ~UsbInstrument() { close(); }
    UsbInstrument(const UsbInstrument&) = delete;
    UsbInstrument& operator=(const UsbInstrument&) = delete;

    bool plugged() const { return fd_ >= 0; }
    const std::string& why() const { return why_; }

    // A USB disconnect: returns once the sequencer no longer lists the instrument.
    void unplug() {
        close();
        gadget_.unplug();
    }
    bool replug() { return open(gadget_.replug()); }

    // What the instrument received, once `count` bytes came or the time-out passed; taken away.
    std::vector<std::uint8_t> receive(std::size_t count, std::chrono::seconds timeout) {
        std::unique_lock lock(mutex_);
        arrived_.wait_for(lock, timeout, [&] { return received_.size() >= count; });
        return std::exchange(received_, {});
    }
    // Writes toward the host, at full speed or at most `bytesPerSecond`, as a cable carries them:
    // a write that comes late never makes up for it with a burst.
    bool send(std::span<const std::uint8_t> bytes, std::size_t bytesPerSecond = 0) {
        const std::size_t step =
            bytesPerSecond ? std::max<std::size_t>(bytesPerSecond / 100, 1) : bytes.size();
        auto due = std::chrono::steady_clock::now();
        for (std::size_t at = 0; at < bytes.size(); at += step) {
            std::this_thread::sleep_until(due);
            const auto writing = std::chrono::steady_clock::now();
            const std::size_t n = std::min(step, bytes.size() - at);
            if (::write(fd_, bytes.data() + at, n) != static_cast<ssize_t>(n)) return false;
            if (bytesPerSecond) due = writing + std::chrono::microseconds(n * 1'000'000 / bytesPerSecond);
        }
        return true;
    }

private:
    bool open(const std::string& device) {
        fd_ = device.empty() ? -1 : ::open(device.c_str(), O_RDWR | O_CLOEXEC);
        if (fd_ >= 0) {
            growInputBuffer(fd_, 1 << 20);
            // The gadget drops what the host sends until its raw input is started, which a poll
            // does: started here, a send right after a replug cannot beat the reader thread to it.
            pollfd start{fd_, POLLIN, 0};
            ::poll(&start, 1, 0);
        }
        if (fd_ < 0) {
            why_ = !gadget_.why().empty()
                       ? gadget_.why()
                       : "the USB instrument did not come up (scripts/usb-instrument; see its message above)";
            return false;
        }
        stopping_ = false;
        reader_ = std::thread([this] { read(); });
        return true;
    }
    void close() {
        stopping_ = true;
        if (reader_.joinable()) reader_.join();
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    void read() {
        std::uint8_t buffer[4096];
        while (!stopping_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n <= 0) return; // unplugged
            {
                std::lock_guard lock(mutex_);
                received_.insert(received_.end(), buffer, buffer + n);
            }
            arrived_.notify_all();
        }
    }

    UsbGadget gadget_; // removed after the raw device is closed
    int fd_ = -1;
    std::string why_;
    std::thread reader_;
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<std::uint8_t> received_;
};

} // namespace kerneltest
