#include "bytesource.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace tunara::media {

std::size_t MemorySource::readAt(std::uint64_t offset, std::span<std::uint8_t> out) const {
    if (offset >= m_bytes.size())
        return 0;
    const std::size_t n = std::min<std::size_t>(out.size(), m_bytes.size() - offset);
    std::memcpy(out.data(), m_bytes.data() + offset, n);
    return n;
}

std::optional<FileSource> FileSource::open(const std::string &path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int reason = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        ::close(fd);
        errno = reason;
        return std::nullopt;
    }
    return FileSource(fd, static_cast<std::uint64_t>(st.st_size));
}

FileSource::FileSource(FileSource &&other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)), m_size(other.m_size) {}

FileSource &FileSource::operator=(FileSource &&other) noexcept {
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = std::exchange(other.m_fd, -1);
        m_size = other.m_size;
    }
    return *this;
}

FileSource::~FileSource() {
    if (m_fd >= 0)
        ::close(m_fd);
}

std::size_t FileSource::readAt(std::uint64_t offset, std::span<std::uint8_t> out) const {
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n =
            ::pread(m_fd, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

} // namespace tunara::media
