// Fuzz target: the tag editor's header description over an in-memory file.
#include "mpeginfo.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    using namespace tunara::media;
    const MemorySource source(std::span<const std::uint8_t>(data, size));
    const auto info = readMpegInfo(source);
    if (info) {
        // The header it describes is an MPEG-1 sync inside the file, with a layer of 1 to 3.
        if (info->offset + 4 > size || data[info->offset] != 0xFF ||
            (data[info->offset + 1] & 0xF8) != 0xF8 || info->layer < 1 || info->layer > 3)
            std::abort();
        (void)mpegPanelText(size, 0, *info);
    }
    return 0;
}
