// Random-access reading of a local file or of bytes in memory. Both MPEG readers work on this,
// so that tests and fuzz targets can feed them bytes without touching the disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace tunara::media {

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Copies up to out.size() bytes from `offset` into `out` and returns how many were copied:
    // fewer at the end of the data, 0 past it or on a read error.
    virtual std::size_t readAt(std::uint64_t offset, std::span<std::uint8_t> out) const = 0;
    virtual std::uint64_t size() const = 0;
};

class MemorySource final : public ByteSource {
public:
    explicit MemorySource(std::span<const std::uint8_t> bytes) : m_bytes(bytes) {}
    std::size_t readAt(std::uint64_t offset, std::span<std::uint8_t> out) const override;
    std::uint64_t size() const override { return m_bytes.size(); }

private:
    std::span<const std::uint8_t> m_bytes;
};

// A read-only file, closed when the object goes away. Reading never moves a shared position,
// and other processes may read and write the file meanwhile.
class FileSource final : public ByteSource {
public:
    // Opens `path` for reading; nullopt when it cannot be opened or is not a regular file.
    static std::optional<FileSource> open(const std::string &path);
    FileSource(FileSource &&other) noexcept;
    FileSource &operator=(FileSource &&other) noexcept;
    FileSource(const FileSource &) = delete;
    FileSource &operator=(const FileSource &) = delete;
    ~FileSource() override;

    std::size_t readAt(std::uint64_t offset, std::span<std::uint8_t> out) const override;
    std::uint64_t size() const override { return m_size; }

private:
    FileSource(int fd, std::uint64_t size) : m_fd(fd), m_size(size) {}
    int m_fd = -1;
    std::uint64_t m_size = 0;
};

} // namespace tunara::media
