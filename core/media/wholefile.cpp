#include "wholefile.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace tunara::media {

std::optional<std::string> writeWholeFile(const std::string &path, std::string_view bytes) {
    // One name per process and write: two writers of one path never share a temporary file.
    static std::atomic<unsigned> counter{0};
    const std::string temp =
        path + ".partial-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return std::string(std::strerror(errno));
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const std::string why = n < 0 ? std::strerror(errno) : "nothing was written";
            ::close(fd);
            ::unlink(temp.c_str());
            return why;
        }
        done += std::size_t(n);
    }
    if (::close(fd) != 0 || ::rename(temp.c_str(), path.c_str()) != 0) {
        const std::string why = std::strerror(errno);
        ::unlink(temp.c_str());
        return why;
    }
    return std::nullopt;
}

} // namespace tunara::media
