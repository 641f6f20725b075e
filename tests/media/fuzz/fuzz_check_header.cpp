// Fuzz target: the download compatibility check over an in-memory file.
#include "mpegheader.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    using namespace tunara::media;
    SilentSink sink;
    const MemorySource source(std::span<const std::uint8_t>(data, size));
    const MpegCheck r = checkMpegHeader(source, "fuzz.mp3", sink);
    // A confirmed header lies inside the file and inside the search window.
    if (r.headerOffset && (*r.headerOffset + 4 > size || *r.headerOffset < r.searchStart ||
                           *r.headerOffset >= r.searchStart + kSearchPositions))
        std::abort();
    if (r.headerOffset && !IsMpegFrameHeader(r.header.value))
        std::abort();
    return 0;
}
