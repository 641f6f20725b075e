#include "gaintags.h"

#include <taglib/fileref.h>
#include <taglib/id3v2tag.h>
#include <taglib/textidentificationframe.h>
#include <taglib/tpropertymap.h>

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace tunara::media {

namespace {

constexpr double kLargestGainDb = 99.0;
constexpr double kLargestPeak = 100.0;
constexpr double kQ78 = 256.0;

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.remove_suffix(1);
    return s;
}

// A plain decimal number: optional sign (when `signAllowed`), digits, optional point (or comma)
// and digits. No exponent, no "inf" or "nan", nothing after it.
std::optional<double> decimal(std::string_view s, bool signAllowed) {
    std::string plain;
    std::size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        if (!signAllowed)
            return std::nullopt;
        if (s[i] == '-')
            plain += '-';
        ++i;
    }
    bool digits = false, point = false;
    for (; i < s.size(); ++i) {
        const char c = s[i];
        if (c >= '0' && c <= '9') {
            digits = true;
            plain += c;
        } else if ((c == '.' || c == ',') && !point) {
            point = true;
            plain += '.';
        } else {
            return std::nullopt;
        }
    }
    if (!digits)
        return std::nullopt;
    double value = 0;
    const auto [end, ec] = std::from_chars(plain.data(), plain.data() + plain.size(), value);
    if (ec != std::errc() || end != plain.data() + plain.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::optional<std::string> firstValue(const TagLib::PropertyMap &map, const char *key) {
    const auto it = map.find(key);
    if (it == map.end() || it->second.isEmpty())
        return std::nullopt;
    return it->second.front().to8Bit(true);
}

void readInto(const TagLib::PropertyMap &map, const char *key, std::optional<double> &into,
              std::optional<double> (*parse)(std::string_view), const char *what,
              std::vector<std::string> &warnings) {
    const auto text = firstValue(map, key);
    if (!text)
        return;
    if (const auto value = parse(*text)) {
        into = value;
        return;
    }
    warnings.push_back(std::string(key) + " '" + *text + "' is not " + what + ": ignored");
}

} // namespace

std::optional<double> parseGainText(std::string_view text) {
    std::string_view s = trimmed(text);
    if (s.size() >= 2) {
        const std::string_view unit = s.substr(s.size() - 2);
        if ((unit[0] == 'd' || unit[0] == 'D') && (unit[1] == 'b' || unit[1] == 'B'))
            s = trimmed(s.substr(0, s.size() - 2));
    }
    const auto value = decimal(s, true);
    if (!value || std::fabs(*value) > kLargestGainDb)
        return std::nullopt;
    return value;
}

std::optional<double> parsePeakText(std::string_view text) {
    const auto value = decimal(trimmed(text), false);
    if (!value || *value > kLargestPeak)
        return std::nullopt;
    return value;
}

std::optional<double> parseR128Text(std::string_view text) {
    const std::string_view s = trimmed(text);
    int q = 0;
    const char *first = s.data();
    const char *last = s.data() + s.size();
    if (!s.empty() && s.front() == '+')
        ++first;
    const auto [end, ec] = std::from_chars(first, last, q);
    if (s.empty() || ec != std::errc() || end != last || q < -32768 || q > 32767)
        return std::nullopt;
    return double(q) / kQ78 + kR128ToReplayGainDb;
}

StoredGain readStoredGain(const std::string &path) {
    StoredGain gain;
    const TagLib::FileRef file(path.c_str(), false);
    if (file.isNull() || file.file() == nullptr) {
        gain.warnings.push_back("its tags cannot be read");
        return gain;
    }
    const TagLib::PropertyMap map = file.file()->properties();
    auto &w = gain.warnings;
    readInto(map, "R128_TRACK_GAIN", gain.trackGainDb, parseR128Text, "a Q7.8 gain", w);
    readInto(map, "R128_ALBUM_GAIN", gain.albumGainDb, parseR128Text, "a Q7.8 gain", w);
    // Opus files should carry only the R128 gains; where they carry both, those win.
    if (!gain.trackGainDb)
        readInto(map, "REPLAYGAIN_TRACK_GAIN", gain.trackGainDb, parseGainText, "a gain", w);
    if (!gain.albumGainDb)
        readInto(map, "REPLAYGAIN_ALBUM_GAIN", gain.albumGainDb, parseGainText, "a gain", w);
    readInto(map, "REPLAYGAIN_TRACK_PEAK", gain.trackPeak, parsePeakText, "a peak", w);
    readInto(map, "REPLAYGAIN_ALBUM_PEAK", gain.albumPeak, parsePeakText, "a peak", w);
    return gain;
}

std::string gainText(double db) {
    char text[32];
    std::snprintf(text, sizeof text, "%+.2f dB", db);
    return text;
}

std::string peakText(double peak) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", peak);
    return text;
}

std::vector<std::pair<std::string, std::string>> replayGainItems(const ReplayGainValues &v) {
    std::vector<std::pair<std::string, std::string>> items{
        {"REPLAYGAIN_TRACK_GAIN", gainText(v.trackGainDb)},
        {"REPLAYGAIN_TRACK_PEAK", peakText(v.trackPeak)}};
    if (v.albumGainDb)
        items.emplace_back("REPLAYGAIN_ALBUM_GAIN", gainText(*v.albumGainDb));
    if (v.albumPeak)
        items.emplace_back("REPLAYGAIN_ALBUM_PEAK", peakText(*v.albumPeak));
    return items;
}

void addReplayGainFrames(TagLib::ID3v2::Tag &tag, const ReplayGainValues &values) {
    for (const auto &[description, text] : replayGainItems(values)) {
        const TagLib::String key(description, TagLib::String::UTF8);
        if (auto *old = TagLib::ID3v2::UserTextIdentificationFrame::find(&tag, key))
            tag.removeFrame(old);
        auto *frame = new TagLib::ID3v2::UserTextIdentificationFrame(TagLib::String::Latin1);
        frame->setDescription(key);
        frame->setText(TagLib::String(text, TagLib::String::UTF8));
        tag.addFrame(frame); // the tag owns it
    }
}

} // namespace tunara::media
