// Fuzz target: loading a tag from untrusted bytes, and writing it back. Whatever loads must
// render into a tag that loads again: a save must never produce a file its own reader refuses.
#include "tagengine.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    using namespace tunara::media;
    const std::span<const std::uint8_t> bytes(data, size);
    const auto loaded = parseTag(bytes, size);
    const auto *tag = std::get_if<LoadedTag>(&loaded);
    if (!tag)
        return 0;
    if (tag->tagSize > size)
        std::abort();
    const auto rendered = renderTag(bytes.first(std::size_t(tag->tagSize)), tag->fields);
    const auto *out = std::get_if<std::vector<std::uint8_t>>(&rendered);
    if (!out)
        return 0;
    const auto again = parseTag(*out, out->size());
    const auto *reloaded = std::get_if<LoadedTag>(&again);
    if (!reloaded || reloaded->version != 3 || reloaded->tagSize != out->size())
        std::abort();
    if (reloaded->fields.track != tag->fields.track || reloaded->fields.genre != tag->fields.genre)
        std::abort();
    return 0;
}
