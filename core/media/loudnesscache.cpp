#include "loudnesscache.h"

#include "cachekey.h"
#include "conversioncache.h"
#include "sourcestamp.h"
#include "wholefile.h"

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <unistd.h>

namespace tunara::media {

namespace {

namespace fs = std::filesystem;

constexpr const char *kVersion = "tunara-loudness 1";
constexpr const char *kEndLine = "end";
// What a file's entry may say: gains of a tag's range, linear peaks up to +40 dBFS.
constexpr double kMostGainDb = 99.0;
constexpr double kMostPeak = 100.0;
constexpr std::size_t kMostNoteBytes = 4096;

std::string numberText(double value) {
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

std::string optionalText(const std::optional<double> &value) {
    return value ? numberText(*value) : std::string("-");
}

// A number of the entry, within [low, high]; "-" is none when `optional`.
bool readNumber(std::istringstream &in, double low, double high, bool optional,
                std::optional<double> &out) {
    std::string word;
    if (!(in >> word))
        return false;
    if (optional && word == "-") {
        out.reset();
        return true;
    }
    char *end = nullptr;
    errno = 0;
    const double value = std::strtod(word.c_str(), &end);
    if (errno != 0 || end != word.c_str() + word.size() || !std::isfinite(value) || value < low ||
        value > high)
        return false;
    out = value;
    return true;
}

std::optional<LevelDecision> parseDecision(const std::string &line) {
    LevelDecision d;
    if (line.rfind("none ", 0) == 0) {
        d.note = line.substr(5);
        return d;
    }
    std::istringstream in(line);
    std::string word;
    if (!(in >> word) || word != "gain")
        return std::nullopt;
    std::optional<double> track, peak, album, albumPeak;
    if (!readNumber(in, -kMostGainDb, kMostGainDb, false, track) ||
        !readNumber(in, 0, kMostPeak, false, peak) ||
        !readNumber(in, -kMostGainDb, kMostGainDb, true, album) ||
        !readNumber(in, 0, kMostPeak, true, albumPeak) || (in >> word))
        return std::nullopt;
    d.gain = LevelGain{*track, *peak, album, albumPeak};
    return d;
}

} // namespace

LoudnessCache::LoudnessCache(std::string dir) : m_dir(std::move(dir)) {}

std::string LoudnessCache::defaultDir() {
    return ConversionCache::userCacheDir("loudness");
}

std::optional<std::string> LoudnessCache::keyOf(std::span<const LevelSource> files,
                                                LevelMode mode) const {
    std::string key = std::string(kVersion) + '\0' + std::string(levelModeName(mode));
    for (const LevelSource &file : files) {
        std::error_code ec;
        const fs::path absolute = fs::absolute(file.path, ec);
        const std::optional<SourceStamp> stamp = readSourceStamp(file.path);
        if (ec || !stamp)
            return std::nullopt;
        for (const std::string &part :
             {absolute.lexically_normal().string(), stamp->key(),
              std::string(file.peak == PeakMode::True ? "true" : "sample"),
              std::string(file.useStoredGain ? "tags" : "measure")}) {
            key += '\0';
            key += part;
        }
    }
    return key;
}

std::optional<std::vector<LevelDecision>> LoudnessCache::find(const std::string &key,
                                                              std::size_t count) const {
    if (preparePrivateFolder(m_dir))
        return std::nullopt;
    std::ifstream in(m_dir + "/" + cacheEntryName(key));
    std::string line;
    if (!std::getline(in, line) || line != kVersion)
        return std::nullopt;
    if (!std::getline(in, line) || line != "key " + cacheEntryName(key + '\x02'))
        return std::nullopt;
    std::vector<LevelDecision> decisions;
    while (std::getline(in, line) && line != kEndLine) {
        if (decisions.size() >= count)
            return std::nullopt;
        auto d = parseDecision(line);
        if (!d)
            return std::nullopt;
        decisions.push_back(std::move(*d));
    }
    if (line != kEndLine || decisions.size() != count)
        return std::nullopt;
    return decisions;
}

void LoudnessCache::keep(const std::string &key,
                         const std::vector<LevelDecision> &decisions) const {
    if (preparePrivateFolder(m_dir))
        return;
    std::ostringstream text;
    text << kVersion << '\n' << "key " << cacheEntryName(key + '\x02') << '\n';
    for (const LevelDecision &d : decisions) {
        if (d.stopped)
            return;
        if (d.gain) {
            text << "gain " << numberText(d.gain->trackGainDb) << ' '
                 << numberText(d.gain->trackPeak) << ' ' << optionalText(d.gain->albumGainDb) << ' '
                 << optionalText(d.gain->albumPeak) << '\n';
        } else {
            std::string note = d.note.substr(0, kMostNoteBytes);
            for (char &c : note)
                if (c == '\n' || c == '\r')
                    c = ' ';
            text << "none " << note << '\n';
        }
    }
    text << kEndLine << '\n';
    // A failure to keep them only costs the next run a measurement.
    (void)writeWholeFile(m_dir + "/" + cacheEntryName(key), text.str());
}

} // namespace tunara::media
