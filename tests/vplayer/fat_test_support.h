// Helpers for the FAT volume tests: a scratch folder, the dosfstools and mtools programs as
// independent judges, and a decoder of root directory records written separately from the
// player's own code so that one mistake cannot hide on both sides.
#pragma once

#include "fat_volume.h"
#include "process.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace fattest {

// A scratch folder, removed with all it holds.
class ScratchDir : public kestousb::test::TempDir {
public:
    ScratchDir() : TempDir("fatvol") {
        if (!made())
            throw std::runtime_error("mkdtemp failed");
    }
};

struct ToolRun {
    int status = -1; // exit status, -1 when the program could not run
    std::string out; // stdout and stderr together
};

inline std::string findTool(const char *name) {
    for (const char *dir : {"/usr/sbin", "/sbin", "/usr/bin", "/bin"}) {
        const std::filesystem::path p = std::filesystem::path(dir) / name;
        if (::access(p.c_str(), X_OK) == 0)
            return p.string();
    }
    return name;
}
inline std::string mkfsPath() {
    return findTool("mkfs.fat");
}
inline std::string fsckPath() {
    return findTool("fsck.fat");
}
inline std::string mdirPath() {
    return findTool("mdir");
}
inline std::string mcopyPath() {
    return findTool("mcopy");
}
inline std::string mdelPath() {
    return findTool("mdel");
}

// A private mtools configuration, so that no user or system setting changes what mdir shows;
// removed when the test program ends.
class MtoolsConfig {
public:
    MtoolsConfig()
        : m_path(std::filesystem::temp_directory_path() /
                 ("fatvol-mtoolsrc-" + std::to_string(::getpid()))) {
        std::ofstream(m_path) << "mtools_skip_check=1\ndefault_codepage=850\n";
    }
    ~MtoolsConfig() {
        std::error_code ec;
        std::filesystem::remove(m_path, ec);
    }
    MtoolsConfig(const MtoolsConfig &) = delete;
    MtoolsConfig &operator=(const MtoolsConfig &) = delete;
    std::string path() const { return m_path.string(); }

private:
    std::filesystem::path m_path;
};

inline std::string mtoolsConfig() {
    static const MtoolsConfig config;
    return config.path();
}

// Runs a program with the private mtools configuration and a UTF-8 locale.
inline ToolRun runTool(const std::vector<std::string> &argv) {
    const auto r = kestousb::test::runProcess(
        argv,
        {"MTOOLSRC=" + mtoolsConfig(), "MTOOLS_SKIP_CHECK=1", "LC_ALL=C.UTF-8", "LANG=C.UTF-8"},
        kestousb::test::Output::Merged);
    return {r.exitCode, r.out};
}

inline bool mkfs(const std::filesystem::path &image, uint32_t kib, const std::string &label = {}) {
    std::vector<std::string> argv{mkfsPath(), "-C", image.string(), std::to_string(kib)};
    if (!label.empty()) {
        argv.insert(argv.begin() + 1, label);
        argv.insert(argv.begin() + 1, "-n");
    }
    return runTool(argv).status == 0;
}

inline bool mcopyIn(const std::filesystem::path &image, const std::filesystem::path &from,
                    const std::string &name) {
    return runTool({mcopyPath(), "-i", image.string(), from.string(), "::" + name}).status == 0;
}

inline std::vector<uint8_t> readFileBytes(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::vector<uint8_t> data(static_cast<size_t>(std::max<std::streamoff>(in.tellg(), 0)));
    in.seekg(0);
    in.read(reinterpret_cast<char *>(data.data()), static_cast<std::streamsize>(data.size()));
    data.resize(static_cast<size_t>(std::max<std::streamsize>(in.gcount(), 0)));
    return data;
}

inline void writeFile(const std::filesystem::path &path, const std::vector<uint8_t> &data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(data.data()),
              static_cast<std::streamsize>(data.size()));
}

inline std::optional<std::vector<uint8_t>> mcopyOut(const std::filesystem::path &image,
                                                    const std::string &name,
                                                    const std::filesystem::path &scratch) {
    const std::filesystem::path dest = scratch / "extracted.bin";
    std::filesystem::remove(dest);
    if (runTool({mcopyPath(), "-n", "-i", image.string(), "::" + name, dest.string()}).status != 0)
        return std::nullopt;
    return readFileBytes(dest);
}

// fsck.fat -n: clean when it exits 0 and says nothing beyond its banner and summary line.
inline bool fsckClean(const std::filesystem::path &image, std::string &report) {
    const ToolRun run = runTool({fsckPath(), "-n", image.string()});
    report = run.out;
    const auto lines = std::count(run.out.begin(), run.out.end(), '\n');
    return run.status == 0 && lines == 2;
}

// One file as a host shows it.
struct Listed {
    std::string shortName; // as mdir shows it: base padded to 8, a space, the extension
    uint32_t size = 0;
    std::string date; // yyyy-mm-dd
    std::string time; // hh:mm
    std::string longName;
    bool operator==(const Listed &) const = default;
};

inline std::ostream &operator<<(std::ostream &os, const Listed &l) {
    return os << '[' << l.shortName << "|" << l.size << "|" << l.date << "|" << l.time << "|"
              << l.longName << ']';
}

struct MdirListing {
    bool ok = false;
    std::vector<Listed> files;
    uint64_t freeBytes = 0;
    std::string raw;
};

inline std::string rtrim(std::string s) {
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

inline std::string twoDigits(int v) {
    std::string s = std::to_string(v);
    return s.size() < 2 ? "0" + s : s;
}

inline MdirListing mdir(const std::filesystem::path &image) {
    MdirListing listing;
    const ToolRun run = runTool({mdirPath(), "-a", "-i", image.string(), "::/"});
    listing.raw = run.out;
    listing.ok = run.status == 0;
    static const std::regex fileLine(
        R"(^(.*?) +(\d+) (\d{4})-(\d\d)-(\d\d) +(\d+):(\d\d)(?:  (.*))? *$)");
    static const std::regex freeLine(R"(^ *([\d ]+) bytes free)");
    std::istringstream in(run.out);
    std::string line;
    while (std::getline(in, line)) {
        std::smatch m;
        if (std::regex_match(line, m, fileLine)) {
            Listed l;
            l.shortName = rtrim(m[1]);
            l.size = static_cast<uint32_t>(std::stoul(m[2]));
            l.date = std::string(m[3]) + "-" + std::string(m[4]) + "-" + std::string(m[5]);
            l.time = twoDigits(std::stoi(m[6])) + ":" + std::string(m[7]);
            l.longName = m[8].matched ? rtrim(m[8]) : std::string{};
            listing.files.push_back(l);
        } else if (std::regex_search(line, m, freeLine)) {
            std::string digits = m[1];
            digits.erase(std::remove(digits.begin(), digits.end(), ' '), digits.end());
            listing.freeBytes = std::stoull(digits);
        }
    }
    return listing;
}

inline std::string toUtf8(const std::u16string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size()) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

inline std::u16string toUtf16(const std::string &s) {
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        uint32_t c = b;
        size_t extra = 0;
        if (b >= 0xF0) {
            c = b & 0x07;
            extra = 3;
        } else if (b >= 0xE0) {
            c = b & 0x0F;
            extra = 2;
        } else if (b >= 0xC0) {
            c = b & 0x1F;
            extra = 1;
        }
        for (size_t k = 1; k <= extra && i + k < s.size(); ++k)
            c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        i += extra + 1;
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

// Code page 850 for the accented Latin letters the tests use in short names.
inline char16_t fromCp850(uint8_t b) {
    static const std::map<uint8_t, char16_t> table{
        {0x80, u'Ç'}, {0x81, u'ü'}, {0x82, u'é'}, {0x83, u'â'}, {0x84, u'ä'}, {0x85, u'à'},
        {0x87, u'ç'}, {0x88, u'ê'}, {0x89, u'ë'}, {0x8A, u'è'}, {0x8E, u'Ä'}, {0x90, u'É'},
        {0x93, u'ô'}, {0x94, u'ö'}, {0x99, u'Ö'}, {0x9A, u'Ü'}, {0xB5, u'Á'}, {0xB6, u'Â'},
        {0xB7, u'À'}, {0xD2, u'Ê'}, {0xD3, u'Ë'}, {0xD4, u'È'}, {0xE2, u'Ô'}};
    if (b < 0x80)
        return b;
    const auto it = table.find(b);
    return it == table.end() ? u'?' : it->second;
}

inline char16_t lowerLatin(char16_t c) {
    if ((c >= u'A' && c <= u'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7))
        return static_cast<char16_t>(c + 0x20);
    return c;
}

inline uint16_t le16(const vplayer::DirRecord &r, size_t at) {
    return static_cast<uint16_t>(r[at] | (r[at + 1] << 8));
}

// Decodes records as a host shows them, independently of the player's own code: long-name
// records are collected by their order numbers and checked against the short name's checksum.
inline std::vector<Listed> decodeRecords(const std::vector<vplayer::DirRecord> &records) {
    static constexpr size_t kCharAt[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    std::vector<Listed> out;
    std::map<int, std::u16string> parts;
    int checksum = -1;
    for (const vplayer::DirRecord &r : records) {
        if (r[11] == 0x0F) {
            std::u16string piece;
            for (size_t at : kCharAt)
                piece += static_cast<char16_t>(le16(r, at));
            parts[r[0] & 0x1F] = piece;
            checksum = r[13];
            continue;
        }
        uint8_t sum = 0;
        for (size_t i = 0; i < 11; ++i)
            sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + r[i]);
        Listed l;
        std::u16string shortName;
        for (size_t i = 0; i < 11; ++i) {
            char16_t c = fromCp850(i == 0 && r[0] == 0x05 ? 0xE5 : r[i]);
            if ((i < 8 && (r[12] & 0x08)) || (i >= 8 && (r[12] & 0x10)))
                c = lowerLatin(c);
            if (i == 8)
                shortName += u' ';
            shortName += c;
        }
        l.shortName = rtrim(toUtf8(shortName));
        if (!parts.empty() && checksum == sum) {
            std::u16string name;
            for (const auto &[order, piece] : parts)
                name += piece;
            name = name.substr(0, name.find(u'\0'));
            l.longName = toUtf8(name);
        }
        parts.clear();
        checksum = -1;
        const uint16_t date = le16(r, 24);
        const uint16_t time = le16(r, 22);
        l.size = static_cast<uint32_t>(le16(r, 28) | (le16(r, 30) << 16));
        l.date = std::to_string(1980 + (date >> 9)) + "-" + twoDigits((date >> 5) & 0x0F) + "-" +
                 twoDigits(date & 0x1F);
        l.time = twoDigits(time >> 11) + ":" + twoDigits((time >> 5) & 0x3F);
        out.push_back(l);
    }
    return out;
}

inline std::vector<std::string> names(const std::vector<Listed> &files) {
    std::vector<std::string> out;
    for (const Listed &l : files)
        out.push_back(l.longName.empty() ? l.shortName : l.longName);
    return out;
}

inline vplayer::ShortName shortName(const std::string &host) {
    const auto n = vplayer::shortNameFromHost(host);
    if (!n)
        throw std::invalid_argument("bad short name in a test: " + host);
    return *n;
}

inline std::vector<uint8_t> pattern(size_t bytes, uint32_t seed) {
    std::vector<uint8_t> data(bytes);
    uint32_t x = seed * 2654435761u + 1;
    for (uint8_t &b : data) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return data;
}

// Writes a file through the volume in chunks of `chunk` bytes; the final result.
inline vplayer::FatVolume::Result put(vplayer::FatVolume &volume, const std::string &shortHost,
                                      const std::string &longName, const std::vector<uint8_t> &data,
                                      size_t chunk = 4096, uint16_t date = 0x5B88,
                                      uint16_t time = 0x6000) {
    using Result = vplayer::FatVolume::Result;
    Result result = Result::IoError;
    auto writer = volume.create(shortName(shortHost), toUtf16(longName), 0x20, date, time,
                                static_cast<uint32_t>(data.size()), result);
    if (!writer)
        return result;
    for (size_t at = 0; at < data.size(); at += chunk) {
        const size_t n = std::min(chunk, data.size() - at);
        if (const Result r = writer->write({data.data() + at, n}); r != Result::Ok)
            return r;
    }
    return writer->finish();
}

} // namespace fattest
