#include "sourcestamp.h"

#include <algorithm>
#include <cerrno>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace tunara::media {

namespace {

constexpr std::uint64_t kFnvOffset = 1469598103934665603ull;
constexpr std::uint64_t kFnvPrime = 1099511628211ull;

void hashInto(std::uint64_t &h, const unsigned char *data, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        h ^= data[i];
        h *= kFnvPrime;
    }
}

// Reads `n` bytes at `offset` into the hash; false on a read error or a file that got shorter.
bool hashRange(int fd, off_t offset, std::size_t n, std::uint64_t &h) {
    std::vector<unsigned char> buffer(n);
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = ::pread(fd, buffer.data() + got, n - got, offset + off_t(got));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            if (r == 0)
                errno = EIO;
            return false;
        }
        got += std::size_t(r);
    }
    hashInto(h, buffer.data(), n);
    return true;
}

std::string timeText(const timespec &t) {
    return std::to_string(t.tv_sec) + '.' + std::to_string(t.tv_nsec);
}

bool sameTime(const timespec &a, const timespec &b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

} // namespace

bool SourceStamp::operator==(const SourceStamp &o) const {
    return device == o.device && inode == o.inode && size == o.size &&
           sameTime(modified, o.modified) && sameTime(changed, o.changed) && edgeHash == o.edgeHash;
}

std::string SourceStamp::key() const {
    return std::to_string(device) + ':' + std::to_string(inode) + ' ' + std::to_string(size) + ' ' +
           timeText(modified) + ' ' + timeText(changed) + ' ' + std::to_string(edgeHash);
}

std::optional<SourceStamp> readSourceStamp(const std::string &path) {
    // O_NONBLOCK: a FIFO planted under an audio name must not hang the reading.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    struct stat st {};
    SourceStamp stamp;
    bool ok = ::fstat(fd, &st) == 0;
    if (ok && !S_ISREG(st.st_mode)) {
        errno = EINVAL;
        ok = false;
    }
    if (ok) {
        stamp.device = st.st_dev;
        stamp.inode = st.st_ino;
        stamp.size = st.st_size;
        stamp.modified = st.st_mtim;
        stamp.changed = st.st_ctim;
        std::uint64_t h = kFnvOffset;
        const auto size = std::size_t(st.st_size);
        const std::size_t head = std::min(size, kStampEdgeBytes);
        const std::size_t tail = std::min(size - head, kStampEdgeBytes);
        ok = hashRange(fd, 0, head, h) && hashRange(fd, off_t(size - tail), tail, h);
        stamp.edgeHash = h;
    }
    const int saved = errno;
    ::close(fd);
    errno = saved;
    if (!ok)
        return std::nullopt;
    return stamp;
}

} // namespace tunara::media
