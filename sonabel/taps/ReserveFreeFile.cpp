#include "sonabel/taps/ReserveFreeFile.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace sonabel {

std::optional<std::string>
reserveFreeFile(std::int64_t first, std::int64_t last,
                const std::function<std::optional<std::string>(std::int64_t)>& candidate) {
    for (std::int64_t n = first; n <= last; ++n) {
        const auto path = candidate(n);
        if (path) {
            const int fd = ::open(path->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (fd >= 0) {
                ::close(fd);
                return path;
            }
            if (errno != EEXIST) return std::nullopt;
        }
        if (n == last) break; // last may be the largest number
    }
    errno = EEXIST;
    return std::nullopt;
}

} // namespace sonabel
