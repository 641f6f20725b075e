// Helpers shared by the media tests: temporary folders, whole-file I/O, crafted frame headers
// and running peer programs.
#pragma once

#include "process.h"

#include <cstdint>
#include <string>
#include <vector>

namespace mediatest {

using Bytes = std::vector<std::uint8_t>;

// A fresh folder under $TMPDIR, removed with its contents at the end of the test; throws when
// it cannot be made.
class TempDir : public kestousb::test::TempDir {
public:
    TempDir();
    std::string file(const std::string &name) const { return (path() / name).string(); }
};

Bytes readFile(const std::string &path);
void writeFile(const std::string &path, const Bytes &bytes);

struct RunResult {
    int status = -1; // exit status, or -1 when the program could not run or was killed
    std::string out;
    std::string err;
};
// Runs argv[0] (found on PATH) with the arguments, stdin from /dev/null.
RunResult run(const std::vector<std::string> &argv);

// A frame header value from its fields; protection 1 means no CRC.
std::uint32_t header(unsigned version, unsigned layer, unsigned bitRateIndex,
                     unsigned sampleRateIndex, unsigned padding = 0, unsigned protection = 1,
                     unsigned channelMode = 0);
void putHeader(Bytes &bytes, std::size_t at, std::uint32_t value);

// An ID3v2 tag header: "ID3", version, flags and the synchsafe body size.
Bytes id3Header(std::uint8_t major, std::uint8_t flags, std::uint32_t bodySize);

// A text frame in 2.3 form (plain size), ISO-8859-1.
Bytes textFrame23(const std::string &id, const std::string &text);

} // namespace mediatest
