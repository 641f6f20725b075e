#include "image_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace vplayer {

ImageFile::~ImageFile() {
    close();
}

ImageFile::ImageFile(ImageFile &&other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)), m_writable(other.m_writable), m_size(other.m_size) {}

ImageFile &ImageFile::operator=(ImageFile &&other) noexcept {
    if (this != &other) {
        close();
        m_fd = std::exchange(other.m_fd, -1);
        m_writable = other.m_writable;
        m_size = other.m_size;
    }
    return *this;
}

void ImageFile::close() {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool ImageFile::open(const std::filesystem::path &path, std::string &error) {
    close();
    m_writable = true;
    m_fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (m_fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM)) {
        m_writable = false;
        m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    }
    if (m_fd < 0) {
        error = path.string() + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = path.string() + ": not a regular file";
        close();
        return false;
    }
    m_size = static_cast<uint64_t>(st.st_size);
    return true;
}

bool ImageFile::create(const std::filesystem::path &path, uint64_t bytes, std::string &error) {
    close();
    m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (m_fd < 0 || ::ftruncate(m_fd, static_cast<off_t>(bytes)) != 0) {
        error = path.string() + ": " + std::strerror(errno);
        close();
        return false;
    }
    m_writable = true;
    m_size = bytes;
    return true;
}

bool ImageFile::read(uint64_t offset, std::span<uint8_t> out) const {
    if (m_fd < 0 || offset > m_size || out.size() > m_size - offset)
        return false;
    size_t done = 0;
    while (done < out.size()) {
        const ssize_t n =
            ::pread(m_fd, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool ImageFile::write(uint64_t offset, std::span<const uint8_t> data) {
    if (m_fd < 0 || !m_writable)
        return false;
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::pwrite(m_fd, data.data() + done, data.size() - done,
                                   static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    if (offset + data.size() > m_size)
        m_size = offset + data.size();
    return true;
}

} // namespace vplayer
