// A small file of the program's own (a cache entry, a history, a record) written whole or not
// at all: into a file of its own beside it, then renamed over it, so that a reader never meets
// half of it and a failed write leaves the old one.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tunara::media {

// Writes `bytes` as the file `path`. Nothing is left of a failed write. Why it failed (the
// system's words), or nullopt. Blocks; any thread.
std::optional<std::string> writeWholeFile(const std::string &path, std::string_view bytes);

} // namespace tunara::media
