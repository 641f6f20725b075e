// One memory of the virtual player: a FAT12/FAT16 image file with one flat root directory. The
// root directory's order is the play order; long names are VFAT long-name records. Written from
// the player's side: it shares no code with the library.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vplayer {

using DirRecord = std::array<uint8_t, 32>;

// An 8.3 name as it stands in a directory record: 8 bytes of base, 3 of extension, space padded.
using ShortName = std::array<char, 11>;

// The host sends short names as "BASE.EXT" (compact) or "BASE    .EXT" (padded); both become
// the 11-byte record form. nullopt for a name that is not a valid 8.3 name.
std::optional<ShortName> shortNameFromHost(std::string_view hostName);

class FatVolume {
public:
    // Opens an existing image (made by mkfs.fat/mcopy or by format()). nullptr and a reason in
    // `error` when the file is missing or is not a FAT12/FAT16 volume this player understands.
    static std::unique_ptr<FatVolume> open(const std::filesystem::path &image, std::string &error);

    // Lays out a fresh FAT12/FAT16 volume of `bytes` bytes in `image` (replacing its content),
    // with an empty root directory; fsck.fat -n finds it clean.
    static bool format(const std::filesystem::path &image, uint64_t bytes, std::string &error);

    ~FatVolume();

    uint32_t totalBytes() const; // data area capacity in bytes
    uint32_t freeBytes() const;  // free clusters x cluster size

    // The root directory's live records in directory order, as they stand in the image: each
    // file's long-name records followed by its short-name record. Deleted records, the volume
    // label and long-name records without a valid file after them are left out.
    std::vector<DirRecord> rootRecords() const;

    enum class Result { Ok, NotFound, Exists, NoRoomInDirectory, NoSpace, IoError };

    Result remove(const ShortName &name);
    // Gives a file a new short name and long name (UTF-16 code units, empty for none).
    Result rename(const ShortName &oldName, const ShortName &newName,
                  const std::u16string &newLongName);
    // Moves a file's records to play position `index` (0-based; past the end means last).
    Result moveTo(const ShortName &name, size_t index);

    // Would a file of `size` bytes with this long name fit? Exists / NoRoomInDirectory / NoSpace.
    Result canCreate(const ShortName &name, const std::u16string &longName, uint32_t size) const;

    // A file being written; its records appear in the directory when finish() succeeds.
    class Writer {
    public:
        virtual ~Writer() = default;
        virtual Result write(std::span<const uint8_t> data) = 0; // extra bytes past size dropped
        virtual Result finish() = 0;                             // all `size` bytes arrived
    };
    std::unique_ptr<Writer> create(const ShortName &name, const std::u16string &longName,
                                   uint8_t attr, uint16_t date, uint16_t time, uint32_t size,
                                   Result &result);

    // A file read piece by piece as it is sent, the way a player streams from its flash rather
    // than holding a whole file in memory. It reads the clusters the file had when it was
    // opened; a reader that outlives its volume fails.
    class Reader {
    public:
        virtual ~Reader() = default;
        virtual uint32_t size() const = 0;
        // out.size() bytes of the file from `offset`; false past the end or on a read error.
        virtual bool read(uint64_t offset, std::span<uint8_t> out) const = 0;
    };
    // nullptr when the file is not there or its chain is shorter than its size.
    std::unique_ptr<Reader> openFile(const ShortName &name) const;

    // The file's bytes (nullopt when not found or unreadable).
    std::optional<std::vector<uint8_t>> readFile(const ShortName &name) const;
    std::optional<uint32_t> fileSize(const ShortName &name) const;

    // Raw image bytes for physical block access; zero past the end of the image.
    void readRaw(uint64_t offset, std::span<uint8_t> out) const;
    uint64_t imageBytes() const;

    FatVolume(const FatVolume &) = delete;
    FatVolume &operator=(const FatVolume &) = delete;

private:
    FatVolume();
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace vplayer
