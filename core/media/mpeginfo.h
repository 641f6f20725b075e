// The tag editor's header description: the first MPEG-1 frame of a file, as display texts.
#pragma once

#include "bytesource.h"
#include "messagesink.h"

#include <cstdint>
#include <optional>
#include <string>

namespace tunara::media {

struct MpegInfo {
    int layer = 0;            // 1, 2 or 3
    std::string bitRate;      // "128 kbit/s", "free format", "forbidden"
    std::string frequency;    // "44.1 kHz", "48 kHz", "32 kHz"
    std::string mode;         // "Stereo", "Joint stereo", "Dual channel", "Single channel"
    std::string copyrighted;  // "Yes" / "No"
    std::string original;     // "Yes" / "No"
    std::string crc;          // "Yes" when a CRC follows the header
    std::uint64_t offset = 0; // where the header was found

    bool operator==(const MpegInfo &) const = default;
};

// Scans the file from its first byte (a leading tag is not skipped) for an MPEG-1 frame sync
// whose whole frame is present. When the file cannot be opened, "Error opening file: " and the
// path are shown through `sink` with the caption "Invalid handle"; every other failure is silent.
// Opens, reads and closes the file; reads at most up to the first complete frame.
std::optional<MpegInfo> ReadMpegInfo(const std::string &path, MessageSink &sink);
// The same over any byte source; nothing is shown.
std::optional<MpegInfo> readMpegInfo(const ByteSource &source);

// Fills the tag editor's MPEG panel template with the file size, the leading-tag size and the
// header texts.
std::string mpegPanelText(std::uint64_t fileSize, std::uint64_t tagSize, const MpegInfo &info);

} // namespace tunara::media
