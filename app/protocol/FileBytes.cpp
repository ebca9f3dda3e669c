#include "app/protocol/FileBytes.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace malvo {

namespace {

// The process umask, read without changing it (umask() would, for every thread at once).
mode_t currentUmask() {
    std::FILE* status = std::fopen("/proc/self/status", "re");
    if (!status) return 022;
    mode_t mask = 022;
    char line[256];
    while (std::fgets(line, sizeof line, status)) {
        unsigned value = 0;
        if (std::sscanf(line, "Umask: %o", &value) == 1) {
            mask = static_cast<mode_t>(value);
            break;
        }
    }
    std::fclose(status);
    return mask;
}

mode_t replacementMode(const std::filesystem::path& path) {
    struct stat existing {};
    if (::stat(path.c_str(), &existing) == 0) return existing.st_mode & 07777;
    return 0666 & ~currentUmask();
}

} // namespace

std::optional<std::vector<std::uint8_t>> readFileBytes(const std::filesystem::path& path,
                                                       std::size_t maxBytes) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    std::vector<std::uint8_t> out;
    std::uint8_t chunk[65536];
    while (out.size() < maxBytes) {
        const std::size_t want = std::min(sizeof chunk, maxBytes - out.size());
        const ssize_t got = ::read(fd, chunk, want);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (got == 0) break;
        out.insert(out.end(), chunk, chunk + got);
    }
    ::close(fd);
    return out;
}

bool writeFileReplacing(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                        std::error_code* error) {
    // The first failing call's errno is the reason given.
    int reason = 0;
    const auto failed = [&reason] {
        if (!reason) reason = errno ? errno : EIO;
        return false;
    };
    std::string temporary = path.string() + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        failed();
        if (error) *error = std::error_code(reason, std::generic_category());
        return false;
    }
    bool ok = true;
    std::size_t written = 0;
    while (ok && written < bytes.size()) {
        errno = 0;
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            ok = failed();
        else
            written += static_cast<std::size_t>(n);
    }
    // mkstemp makes the file private; give it the permissions of the file it replaces, or those a
    // newly created file would get.
    ok = ok && (::fchmod(fd, replacementMode(path)) == 0 || failed()) && (::fsync(fd) == 0 || failed());
    ok = (::close(fd) == 0 || failed()) && ok;
    ok = ok && (::rename(temporary.c_str(), path.c_str()) == 0 || failed());
    if (!ok) ::unlink(temporary.c_str());
    if (!ok && error) *error = std::error_code(reason, std::generic_category());
    return ok;
}

} // namespace malvo
