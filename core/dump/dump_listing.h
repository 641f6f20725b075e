// The raw memory dump: reads a memory 64 bytes at a time (and the spare area at each sector
// start) and writes the binary dump and the hex listing. Shared by `kesto dump` and the service
// dialog's Mass Production page, so both write the listing in the same form. No GUI, no device
// code of its own: the caller hands in the function that reads the flash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>

namespace dumplisting {

constexpr size_t kChunk = 64; // bytes per read
constexpr size_t kSpare = 16; // bytes of a spare area
constexpr size_t kRow = 16;   // bytes per listing row
constexpr uint32_t kDefaultSectorSize = 512;
constexpr uint32_t kDefaultClusterSize = 32;

// A dump address as the dialog reads it: from the last character backwards, four bits per
// character; '0'-'9', 'a'-'f', 'A'-'F' give their value, any other character (the "x" of "0x")
// counts as 0. Only the last eight characters count.
uint32_t parseAddress(std::string_view text);

// " ud<..|..|..|..> us<..> bs<..> ba1[....] ecc2<..|..|..> ba2[....] ecc1<..|..|..>" after
// "\r\nSPARE   :", the 16 bytes in order.
std::string spareText(std::span<const uint8_t, kSpare> spare);

// The listing of one 64-byte chunk read at `address`: four rows of 16 bytes; a row that starts
// a sector is preceded by the BLOCK/PAGE header carrying `spare` (may be empty).
// sectorSize and clusterSize must be positive.
std::string listChunk(uint32_t address, std::span<const uint8_t, kChunk> data, uint32_t sectorSize,
                      uint32_t clusterSize, std::string_view spare);

struct DumpRequest {
    uint32_t start = 0;
    uint32_t end = 0; // exclusive
    bool spare = true;
    uint32_t sectorSize = kDefaultSectorSize;
    uint32_t clusterSize = kDefaultClusterSize;
};

// Reads `count` bytes (64 with 'r', 16 with 's') at `address` into `out`; false on failure.
using FlashReader = std::function<bool(uint32_t address, unsigned char op, uint8_t *out)>;
// Called before each chunk with the address and the percentage done (0-100).
using DumpProgress = std::function<void(uint32_t address, int percent)>;

struct DumpResult {
    bool ok = true;
    uint32_t failedAt = 0; // address of the read that failed (ok false)
    size_t chunks = 0;     // 64-byte chunks read
    size_t spareReads = 0; // spare areas read
};

// Runs the dump from request.start while the address is below request.end, in steps of 64.
// `binary` receives the raw bytes, `text` the listing (either may be null). Stops at the
// first failed read. The sizes must be positive (the caller checks what the user typed).
DumpResult runDump(const DumpRequest &request, const FlashReader &read, std::ostream *binary,
                   std::ostream *text, const DumpProgress &progress = {});

} // namespace dumplisting
