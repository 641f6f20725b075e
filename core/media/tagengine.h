// Loading and saving the ID3v2 tag of a local MP3 file: the engine behind the tag editor and
// `kesto tag`. Tags are read in versions 2.2, 2.3 and 2.4 and always written as 2.3. A save
// writes a complete copy beside the file, checks that every byte after the tag is unchanged and
// only then puts the copy in place of the file, so a failed save leaves the file as it was.
#pragma once

#include "tagfields.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tunara::media {

struct LoadedTag {
    TagFields fields;
    bool hasTag = false;        // a leading ID3v2 tag was found
    int version = 0;            // its major version (2, 3, 4), 0 without a tag
    std::uint64_t tagSize = 0;  // bytes of the leading tag, header and footer included
    std::uint64_t fileSize = 0; // bytes of the whole file
    bool writable = false;      // whether a save may replace the file
};

// Reads the leading tag of `path`. A file without a tag loads with empty fields.
// Blocks on file I/O; any thread.
std::variant<LoadedTag, TagError> loadTag(const std::string &path);

// Writes `fields` into the tag of `path` (see the file comment). Frames the editor does not show
// are kept, in their 2.3 form where 2.3 has one; a frame that cannot be carried into the saved
// tag makes the save fail with CannotKeep instead. Blocks on file I/O; any thread, but one save
// per file at a time.
std::optional<TagError> saveTag(const std::string &path, const TagFields &fields);

// Why the editor refuses to save to `path`: "Not selected the mp3 file!" for an empty path,
// "This file is not the MP3 file!" unless the text after the last '.' is "mp3" in any case.
std::optional<std::string_view> pathRefusal(std::string_view path);

// The in-memory halves of the above, for tests and fuzzing. `fileStart` holds at least the whole
// leading tag (or the whole file); `fileSize` is the size of the whole file.
std::variant<LoadedTag, TagError> parseTag(std::span<const std::uint8_t> fileStart,
                                           std::uint64_t fileSize);
// The new tag bytes for a file whose old leading tag is `oldTag` (empty without one).
std::variant<std::vector<std::uint8_t>, TagError> renderTag(std::span<const std::uint8_t> oldTag,
                                                            const TagFields &fields);

// The length of the leading tag described by the first ten bytes of a file, footer included;
// 0 without a tag, nullopt when "ID3" is there but its size bytes are invalid.
std::optional<std::uint64_t> leadingTagSize(std::span<const std::uint8_t> firstBytes);

} // namespace tunara::media
