// The file side of the tag engine: reading the leading tag from disk and replacing a file by a
// verified copy.
#include "tagengine.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace tunara::media {

namespace {

constexpr std::size_t kCopyChunk = 1 << 20;
constexpr std::size_t kPrefixBytes = 10;
constexpr mode_t kPermissionBits = 07777;

class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    Fd(Fd &&o) noexcept : m_fd(std::exchange(o.m_fd, -1)) {}
    Fd &operator=(Fd &&) = delete;
    Fd(const Fd &) = delete;
    ~Fd() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }
    // Closes now, reporting the result (a delayed write error shows up here).
    bool close() { return ::close(std::exchange(m_fd, -1)) == 0; }

private:
    int m_fd;
};

// Removes the temporary copy unless it was put in place.
class TempFile {
public:
    explicit TempFile(std::string path) : m_path(std::move(path)) {}
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    ~TempFile() {
        if (!m_path.empty())
            ::unlink(m_path.c_str());
    }
    const std::string &path() const { return m_path; }
    void keep() { m_path.clear(); }

private:
    std::string m_path;
};

bool readFully(int fd, std::uint64_t offset, std::uint8_t *out, std::size_t n) {
    std::size_t done = 0;
    while (done < n) {
        const ssize_t got = ::pread(fd, out + done, n - done, off_t(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        done += std::size_t(got);
    }
    return true;
}

bool writeFully(int fd, const std::uint8_t *data, std::size_t n) {
    std::size_t done = 0;
    while (done < n) {
        const ssize_t put = ::write(fd, data + done, n - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        done += std::size_t(put);
    }
    return true;
}

std::string reason() {
    return std::strerror(errno);
}

TagError cannotOpen(const std::string &path) {
    return {TagErrorCode::CannotOpen, "Cannot open '" + path + "': " + reason() + "."};
}
TagError writeFailed(const std::string &what) {
    return {TagErrorCode::WriteFailed, what + ": " + reason() + ". The file was not changed."};
}

struct OpenedFile {
    Fd fd;
    struct stat st {};
};

std::variant<OpenedFile, TagError> openRegular(const std::string &path) {
    OpenedFile f{Fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)), {}};
    if (!f.fd)
        return cannotOpen(path);
    if (::fstat(f.fd.get(), &f.st) != 0)
        return cannotOpen(path);
    if (!S_ISREG(f.st.st_mode)) {
        errno = EINVAL;
        return TagError{TagErrorCode::CannotOpen, "'" + path + "' is not a regular file."};
    }
    return f;
}

// The leading tag bytes (empty without a tag), checked against the file's size.
std::variant<std::vector<std::uint8_t>, TagError> readLeadingTag(int fd, std::uint64_t fileSize) {
    std::array<std::uint8_t, kPrefixBytes> prefix{};
    const std::size_t n = std::size_t(std::min<std::uint64_t>(fileSize, prefix.size()));
    if (!readFully(fd, 0, prefix.data(), n))
        return TagError{TagErrorCode::CannotOpen, "Cannot read the file: " + reason() + "."};
    const auto size = leadingTagSize(std::span(prefix).first(n));
    if (!size)
        return TagError{TagErrorCode::Damaged,
                        "The ID3v2 tag cannot be read: the tag's size bytes are invalid."};
    if (*size > fileSize)
        return TagError{TagErrorCode::Damaged,
                        "The ID3v2 tag cannot be read: the tag claims " + std::to_string(*size) +
                            " bytes but the file holds only " + std::to_string(fileSize) + "."};
    std::vector<std::uint8_t> tag(static_cast<std::size_t>(*size));
    if (!readFully(fd, 0, tag.data(), tag.size()))
        return TagError{TagErrorCode::CannotOpen, "Cannot read the file: " + reason() + "."};
    return tag;
}

// Whether `b` from `bOffset` on holds exactly the bytes of `a` from `aOffset` to its end.
bool sameTail(int a, std::uint64_t aOffset, std::uint64_t aSize, int b, std::uint64_t bOffset,
              std::uint64_t bSize) {
    if (aSize - aOffset != bSize - bOffset)
        return false;
    std::vector<std::uint8_t> x(kCopyChunk), y(kCopyChunk);
    for (std::uint64_t done = 0; done < aSize - aOffset;) {
        const std::size_t n =
            std::size_t(std::min<std::uint64_t>(kCopyChunk, aSize - aOffset - done));
        if (!readFully(a, aOffset + done, x.data(), n) ||
            !readFully(b, bOffset + done, y.data(), n) || std::memcmp(x.data(), y.data(), n) != 0)
            return false;
        done += n;
    }
    return true;
}

bool unchangedSince(const std::string &path, const struct stat &before) {
    struct stat now {};
    return ::stat(path.c_str(), &now) == 0 && now.st_ino == before.st_ino &&
           now.st_size == before.st_size && now.st_mtim.tv_sec == before.st_mtim.tv_sec &&
           now.st_mtim.tv_nsec == before.st_mtim.tv_nsec;
}

// A file nobody may write counts as read-only even for a user (root) whom the system would let
// write it: it is the file's own read-only mark the user set.
bool isWritable(const std::string &path, const struct stat &st) {
    return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0 && ::access(path.c_str(), W_OK) == 0;
}

std::string directoryOf(const std::string &path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

std::variant<LoadedTag, TagError> loadTag(const std::string &path) {
    auto opened = openRegular(path);
    if (auto *error = std::get_if<TagError>(&opened))
        return *error;
    auto &file = std::get<OpenedFile>(opened);
    const auto fileSize = std::uint64_t(file.st.st_size);
    auto tag = readLeadingTag(file.fd.get(), fileSize);
    if (auto *error = std::get_if<TagError>(&tag))
        return *error;
    const auto &bytes = std::get<std::vector<std::uint8_t>>(tag);
    auto parsed = parseTag(bytes, fileSize);
    if (auto *loaded = std::get_if<LoadedTag>(&parsed))
        loaded->writable = isWritable(path, file.st);
    return parsed;
}

std::optional<TagError> saveTag(const std::string &path, const TagFields &fields) {
    // Work on the file a link points to, so that the link stays a link.
    std::array<char, PATH_MAX> resolved{};
    if (!::realpath(path.c_str(), resolved.data()))
        return cannotOpen(path);
    const std::string target(resolved.data());

    auto opened = openRegular(target);
    if (auto *error = std::get_if<TagError>(&opened))
        return *error;
    auto &original = std::get<OpenedFile>(opened);
    if (!isWritable(target, original.st))
        return TagError{TagErrorCode::ReadOnly,
                        "'" + path + "' is read-only; the tag was not saved."};
    const auto fileSize = std::uint64_t(original.st.st_size);

    auto oldTag = readLeadingTag(original.fd.get(), fileSize);
    if (auto *error = std::get_if<TagError>(&oldTag))
        return *error;
    const auto &oldBytes = std::get<std::vector<std::uint8_t>>(oldTag);
    auto rendered = renderTag(oldBytes, fields);
    if (auto *error = std::get_if<TagError>(&rendered))
        return *error;
    const auto &newTag = std::get<std::vector<std::uint8_t>>(rendered);

    std::string pattern = target + ".tunara-XXXXXX";
    Fd out(::mkstemp(pattern.data()));
    if (!out)
        return writeFailed("Cannot create a temporary copy beside '" + path + "'");
    TempFile temp(pattern);

    if (!writeFully(out.get(), newTag.data(), newTag.size()))
        return writeFailed("Cannot write the temporary copy");
    std::vector<std::uint8_t> chunk(kCopyChunk);
    for (std::uint64_t at = oldBytes.size(); at < fileSize;) {
        const std::size_t n = std::size_t(std::min<std::uint64_t>(kCopyChunk, fileSize - at));
        if (!readFully(original.fd.get(), at, chunk.data(), n)) {
            return TagError{TagErrorCode::CannotOpen, "Cannot read '" + path + "': " + reason() +
                                                          ". The file was not changed."};
        }
        if (!writeFully(out.get(), chunk.data(), n))
            return writeFailed("Cannot write the temporary copy");
        at += n;
    }
    // The copy takes the original's owner where the system allows it (only root may give a
    // file away; anyone else owns it already) and then its permissions.
    if (::fchown(out.get(), original.st.st_uid, original.st.st_gid) != 0 && errno != EPERM)
        return writeFailed("Cannot give the temporary copy the file's owner");
    if (::fchmod(out.get(), original.st.st_mode & kPermissionBits) != 0 ||
        ::fsync(out.get()) != 0 || !out.close())
        return writeFailed("Cannot finish the temporary copy");

    // Read the copy back: its own leading tag must be the new one, and everything after it must
    // be the original's audio, byte for byte.
    {
        Fd check(::open(temp.path().c_str(), O_RDONLY | O_CLOEXEC));
        struct stat st {};
        if (!check || ::fstat(check.get(), &st) != 0)
            return writeFailed("Cannot read the temporary copy back");
        std::vector<std::uint8_t> prefix(
            std::min<std::size_t>(kPrefixBytes, std::size_t(st.st_size)));
        const auto copySize = std::uint64_t(st.st_size);
        const bool prefixRead = readFully(check.get(), 0, prefix.data(), prefix.size());
        const auto copyTag = prefixRead ? leadingTagSize(prefix) : std::nullopt;
        if (!copyTag || *copyTag != newTag.size() ||
            !sameTail(original.fd.get(), oldBytes.size(), fileSize, check.get(), *copyTag,
                      copySize))
            return TagError{TagErrorCode::AudioChanged,
                            "The saved copy of '" + path +
                                "' did not hold the original audio; the file was not changed."};
    }

    if (!unchangedSince(target, original.st))
        return TagError{TagErrorCode::FileChanged,
                        "'" + path +
                            "' was changed by another program while saving; the tag "
                            "was not saved."};
    if (::rename(temp.path().c_str(), target.c_str()) != 0)
        return writeFailed("Cannot replace '" + path + "'");
    temp.keep();
    // Make the new directory entry durable as well.
    if (Fd dir(::open(directoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); dir)
        ::fsync(dir.get());
    return std::nullopt;
}

} // namespace tunara::media
