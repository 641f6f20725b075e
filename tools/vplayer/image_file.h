// An image file opened for positioned reads and writes; closes itself.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

namespace vplayer {

class ImageFile {
public:
    ImageFile() = default;
    ~ImageFile();
    ImageFile(ImageFile &&other) noexcept;
    ImageFile &operator=(ImageFile &&other) noexcept;
    ImageFile(const ImageFile &) = delete;
    ImageFile &operator=(const ImageFile &) = delete;

    // Opens read-write, or read-only when writing is not allowed (writable() tells which).
    bool open(const std::filesystem::path &path, std::string &error);
    // Creates (or truncates) a file of `bytes` bytes, all zero.
    bool create(const std::filesystem::path &path, uint64_t bytes, std::string &error);

    bool isOpen() const { return m_fd >= 0; }
    bool writable() const { return m_writable; }
    uint64_t size() const { return m_size; }

    // Whole reads and writes at an offset; false on any error or short transfer. A read that
    // would pass the end of the file fails without reading.
    bool read(uint64_t offset, std::span<uint8_t> out) const;
    bool write(uint64_t offset, std::span<const uint8_t> data);
    void close();

private:
    int m_fd = -1;
    bool m_writable = false;
    uint64_t m_size = 0;
};

} // namespace vplayer
