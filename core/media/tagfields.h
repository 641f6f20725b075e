// The twelve values the tag editor shows and writes, and the error values of loading and saving.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tunara::media {

// Texts are UTF-8.
struct TagFields {
    int track = 0;      // TRCK: written as the decimal number, read as the integer at its start
    std::string title;  // TIT2
    std::string artist; // TPE1
    std::string album;  // TALB
    std::string year;   // TYER
    std::optional<int> genre; // TCON: a genre of GenreNames 0..125, written as "(17)Rock"
    // TCON text that names no genre of the list ("Synthpop", "(200)"): kept as it is when
    // `genre` is unset, so that a save does not wipe a genre the list cannot show.
    std::string genreText;
    std::string comment;    // COMM, the one without a description
    std::string composer;   // TCOM
    std::string origArtist; // TOPE
    std::string copyright;  // TCOP
    std::string url;        // WXXX, the one without a description; ISO-8859-1 only
    std::string encoder;    // TENC

    bool operator==(const TagFields &) const = default;
};

enum class TagErrorCode {
    CannotOpen,   // the file cannot be opened or is not a regular file
    Damaged,      // the leading tag cannot be parsed; nothing was written
    ReadOnly,     // the file is not writable
    InvalidValue, // a value cannot be written (a URL outside ISO-8859-1)
    WriteFailed,  // the temporary copy could not be written or put in place
    AudioChanged, // the copy's audio differed from the original; nothing was replaced
    FileChanged,  // another program changed the file while it was being saved
    CannotKeep,   // a frame that cannot be read or written as 2.3 would be lost; nothing written
};

struct TagError {
    TagErrorCode code;
    std::string message; // one sentence for the user, naming the file where it helps
};

} // namespace tunara::media
