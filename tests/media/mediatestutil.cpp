#include "mediatestutil.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace mediatest {

TempDir::TempDir() : kestousb::test::TempDir("tunara-media") {
    if (!made())
        throw std::runtime_error("mkdtemp failed");
}

Bytes readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string &path, const Bytes &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

RunResult run(const std::vector<std::string> &argv) {
    const auto r = kestousb::test::runProcess(argv);
    return {r.exitCode, r.out, r.err};
}

std::uint32_t header(unsigned version, unsigned layer, unsigned bitRateIndex,
                     unsigned sampleRateIndex, unsigned padding, unsigned protection,
                     unsigned channelMode) {
    return 0xFFE00000u | (version << 19) | (layer << 17) | (protection << 16) |
           (bitRateIndex << 12) | (sampleRateIndex << 10) | (padding << 9) | (channelMode << 6);
}

void putHeader(Bytes &bytes, std::size_t at, std::uint32_t value) {
    if (bytes.size() < at + 4)
        bytes.resize(at + 4);
    bytes[at] = std::uint8_t(value >> 24);
    bytes[at + 1] = std::uint8_t(value >> 16);
    bytes[at + 2] = std::uint8_t(value >> 8);
    bytes[at + 3] = std::uint8_t(value);
}

Bytes id3Header(std::uint8_t major, std::uint8_t flags, std::uint32_t bodySize) {
    return {'I',
            'D',
            '3',
            major,
            0,
            flags,
            std::uint8_t((bodySize >> 21) & 0x7F),
            std::uint8_t((bodySize >> 14) & 0x7F),
            std::uint8_t((bodySize >> 7) & 0x7F),
            std::uint8_t(bodySize & 0x7F)};
}

Bytes textFrame23(const std::string &id, const std::string &text) {
    const std::uint32_t size = std::uint32_t(text.size() + 1);
    Bytes f(id.begin(), id.end());
    f.push_back(std::uint8_t(size >> 24));
    f.push_back(std::uint8_t(size >> 16));
    f.push_back(std::uint8_t(size >> 8));
    f.push_back(std::uint8_t(size));
    f.push_back(0);
    f.push_back(0);
    f.push_back(0); // ISO-8859-1
    f.insert(f.end(), text.begin(), text.end());
    return f;
}

} // namespace mediatest
