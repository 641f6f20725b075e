// The memory dump and its hex listing.
#include "dump/dump_listing.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace dumplisting {

namespace {

constexpr size_t kAddressDigits = 8;
constexpr unsigned char kFirstPrintable = 0x20; // bytes below are shown as '.'
constexpr unsigned char kReadData = 'r';
constexpr unsigned char kReadSpare = 's';
constexpr int kPercent = 100;

template <typename... Args>
void append(std::string &out, const char *format, Args... args) {
    char line[256];
    const int n = std::snprintf(line, sizeof line, format, args...);
    if (n > 0)
        out.append(line, std::min(size_t(n), sizeof line - 1));
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return 0;
}

} // namespace

uint32_t parseAddress(std::string_view text) {
    uint32_t value = 0;
    unsigned shift = 0;
    for (auto it = text.rbegin(); it != text.rend() && shift < 4 * kAddressDigits; ++it) {
        value |= uint32_t(hexValue(*it)) << shift;
        shift += 4;
    }
    return value;
}

std::string spareText(std::span<const uint8_t, kSpare> s) {
    std::string out = "\r\nSPARE   :";
    append(out,
           " ud<%02X|%02X|%02X|%02X> us<%02X> bs<%02X> ba1[%02X%02X] ecc2<%02X|%02X|%02X>"
           " ba2[%02X%02X] ecc1<%02X|%02X|%02X>",
           s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7], s[8], s[9], s[10], s[11], s[12], s[13],
           s[14], s[15]);
    return out;
}

std::string listChunk(uint32_t address, std::span<const uint8_t, kChunk> data, uint32_t sectorSize,
                      uint32_t clusterSize, std::string_view spare) {
    std::string out;
    for (size_t row = 0; row < kChunk; row += kRow) {
        const uint32_t h = address + uint32_t(row);
        if (h % sectorSize == 0) {
            // The page of the row itself, so that sectors smaller than a chunk are numbered
            // right too.
            const uint32_t page = h / sectorSize;
            const uint32_t block = page / clusterSize;
            append(out, "\r\n\r\nBLOCK:%08Xh(%08ud), PAGE:%08Xh(%08ud)", block, block, page, page);
            out.append(spare);
            append(out, "\r\n%08X : %02X", h, data[row]);
        } else {
            append(out, "\r\n%08X : %02X", h, data[row]);
        }
        for (size_t i = 1; i < kRow; ++i)
            append(out, " %02X", data[row + i]);
        out.append(" : ");
        for (size_t i = 0; i < kRow; ++i) {
            const uint8_t c = data[row + i];
            out.push_back(c < kFirstPrintable ? '.' : char(c));
        }
    }
    return out;
}

DumpResult runDump(const DumpRequest &request, const FlashReader &read, std::ostream *binary,
                   std::ostream *text, const DumpProgress &progress) {
    DumpResult result;
    const uint64_t span = request.end > request.start ? request.end - request.start : 1;
    // 64-bit addresses: a dump that reaches the top of the 32-bit range ends instead of
    // wrapping to 0 and reading for ever.
    for (uint64_t a = request.start; a < request.end; a += kChunk) {
        const auto address = uint32_t(a);
        if (progress)
            progress(address, int((a - request.start) * kPercent / span));
        std::array<uint8_t, kChunk> data{};
        if (!read(address, kReadData, data.data())) {
            result.ok = false;
            result.failedAt = address;
            return result;
        }
        ++result.chunks;
        if (binary != nullptr)
            binary->write(reinterpret_cast<const char *>(data.data()), kChunk);
        std::string spare;
        if (request.spare && address % request.sectorSize == 0) {
            std::array<uint8_t, kSpare> area{};
            if (!read(address, kReadSpare, area.data())) {
                result.ok = false;
                result.failedAt = address;
                return result;
            }
            ++result.spareReads;
            spare = spareText(area);
        }
        if (text != nullptr)
            *text << listChunk(address, data, request.sectorSize, request.clusterSize, spare);
    }
    if (progress)
        progress(request.end, kPercent);
    return result;
}

} // namespace dumplisting
