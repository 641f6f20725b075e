// What identifies one state of a source file for the conversion cache and for the check that it
// did not change while it was converted: its folder entry (device, inode), size, modification
// and change times to the nanosecond, and a hash of its first and last 64 KiB. A tag editor that
// keeps the modification time still moves the change time; on a file system with coarse times
// (FAT, exFAT) the hash tells a rewritten tag or start of the audio apart.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <sys/stat.h>

namespace tunara::media {

inline constexpr std::size_t kStampEdgeBytes = 64 * 1024;

struct SourceStamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    timespec modified{};
    timespec changed{};
    std::uint64_t edgeHash = 0; // FNV-1a of the first and last kStampEdgeBytes

    bool operator==(const SourceStamp &o) const;
    // The stamp as text, part of a cache key.
    std::string key() const;
};

// Reads the stamp of `path` (it follows a symbolic link, as opening the file does); nothing with
// errno set when it cannot be read or is not a regular file. Blocks on file I/O; any thread.
std::optional<SourceStamp> readSourceStamp(const std::string &path);

} // namespace tunara::media
