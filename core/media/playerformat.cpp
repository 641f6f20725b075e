#include "playerformat.h"

#include "mpegheader.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace tunara::media {

namespace {

struct ModelRow {
    std::string_view name;
    size_t compared; // characters compared; 0 for the whole name
    int code;
};

// Every matching row sets the code, so a later row wins.
constexpr ModelRow kModels[] = {
    {"QN-Vela", 0, ModelQnVela}, {"QN70", 3, ModelQn70}, {"QN520", 0, ModelQn520},
    {"QN500", 0, ModelQn500},    {"LUMA", 0, ModelLuma},
};

constexpr size_t kExtensionDotsBack[] = {2, 3, 4, 5, 6}; // where the '.' of a kept extension is

// The longest start of `s` of whole characters within `bytes` bytes (a byte that starts no valid
// UTF-8 character counts as one).
std::string wholeCharacters(std::string_view s, size_t bytes) {
    size_t end = 0;
    while (end < s.size()) {
        const size_t len = std::max<size_t>(1, validUtf8Length(s, end));
        if (end + len > bytes)
            break;
        end += len;
    }
    return std::string(s.substr(0, end));
}

constexpr int kMaxMpeg1Kbps = 320;
constexpr int kMaxQn70CardKbps = 256; // the highest MPEG-1 Layer III rate below 300 kbit/s

struct Extension {
    std::string_view ext;
    AudioKind kind;
    std::string_view format;
};

constexpr Extension kExtensions[] = {
    {"mp3", AudioKind::Mp3, "MP3"},      {"wma", AudioKind::Wma, "WMA"},
    {"flac", AudioKind::Other, "FLAC"},  {"ogg", AudioKind::Other, "Ogg"},
    {"oga", AudioKind::Other, "Ogg"},    {"opus", AudioKind::Other, "Opus"},
    {"m4a", AudioKind::Other, "AAC"},    {"m4b", AudioKind::Other, "AAC"},
    {"aac", AudioKind::Other, "AAC"},    {"mp4", AudioKind::Other, "MP4 audio"},
    {"wav", AudioKind::Other, "WAV"},    {"aif", AudioKind::Other, "AIFF"},
    {"aiff", AudioKind::Other, "AIFF"},  {"ape", AudioKind::Other, "Monkey's Audio"},
    {"wv", AudioKind::Other, "WavPack"}, {"mpc", AudioKind::Other, "Musepack"},
    {"mp2", AudioKind::Other, "MP2"},    {"ac3", AudioKind::Other, "AC-3"},
};

bool equalIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view fileNameOf(std::string_view path) {
    const size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

const Extension *extensionOf(std::string_view path) {
    const std::string_view name = fileNameOf(path);
    const size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0)
        return nullptr;
    const std::string_view ext = name.substr(dot + 1);
    for (const Extension &e : kExtensions)
        if (equalIgnoringCase(e.ext, ext))
            return &e;
    return nullptr;
}

bool decodesEveryMp3(int model) {
    return model == ModelQn520 || model == ModelQnVela;
}

} // namespace

int playerModelFor(std::string_view modelName, int previous) {
    while (!modelName.empty() &&
           (modelName.back() == ' ' || modelName.back() == '\t' || modelName.back() == '\0'))
        modelName.remove_suffix(1);
    int code = previous;
    for (const ModelRow &row : kModels) {
        const bool match = row.compared == 0
                               ? equalIgnoringCase(modelName, row.name)
                               : modelName.size() >= row.compared &&
                                     equalIgnoringCase(modelName.substr(0, row.compared),
                                                       row.name.substr(0, row.compared));
        if (match)
            code = row.code;
    }
    return code;
}

AudioKind audioKindOf(std::string_view path) {
    const Extension *e = extensionOf(path);
    return e == nullptr ? AudioKind::NotAudio : e->kind;
}

bool isHiddenName(std::string_view name) {
    return !name.empty() && name.front() == '.';
}

RouteDecision routeFor(const std::string &path, int model, unsigned char memory) {
    const Extension *e = extensionOf(path);
    if (e == nullptr)
        return {};
    switch (e->kind) {
    case AudioKind::NotAudio:
        return {};
    case AudioKind::Wma:
        if (decodesEveryMp3(model)) // the models that decode every MP3 play WMA too
            return {};
        return {Route::Convert, "WMA audio, which this player cannot play"};
    case AudioKind::Other:
        return {Route::Convert, std::string(e->format) + " audio"};
    case AudioKind::Mp3:
        break;
    }
    if (decodesEveryMp3(model))
        return {};
    SilentSink quiet;
    const MpegCheck check = CheckMpegHeader(path, quiet);
    switch (check.code) {
    case MpegCheckCode::Accepted:
        return {};
    case MpegCheckCode::Mpeg25:
        return {Route::Convert, "MPEG-2.5, which this player cannot decode"};
    case MpegCheckCode::NoFrameHeader:
        return {Route::Convert, "no MPEG frame header the player can find"};
    case MpegCheckCode::BitRateTooHigh:
        if (memory == kMemoryCard && model == ModelQn70)
            return {Route::Convert, "a bit rate the player cannot play from its card"};
        return {};
    }
    return {};
}

int maxBitRateKbps(int model, unsigned char memory) {
    return memory == kMemoryCard && model == ModelQn70 ? kMaxQn70CardKbps : kMaxMpeg1Kbps;
}

bool vbrPlayable(int model, unsigned char memory) {
    return !(memory == kMemoryCard && model == ModelQn70);
}

size_t validUtf8Length(std::string_view s, size_t i) {
    const auto c = static_cast<unsigned char>(s[i]);
    const size_t len = c < 0x80                ? 1
                       : c >= 0xC2 && c < 0xE0 ? 2
                       : c >= 0xE0 && c < 0xF0 ? 3
                       : c >= 0xF0 && c < 0xF5 ? 4
                                               : 0;
    if (len == 0 || i + len > s.size())
        return 0;
    for (size_t k = 1; k < len; ++k)
        if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
            return 0;
    return len;
}

std::string fitLongName(std::string_view name) {
    if (name.size() <= kMaxPlayerNameBytes)
        return std::string(name);
    std::string_view ext;
    for (const size_t back : kExtensionDotsBack)
        if (name[name.size() - back] == '.') {
            ext = name.substr(name.size() - back);
            break;
        }
    const size_t head = kMaxPlayerNameBytes - ext.size();
    std::string out = wholeCharacters(name, head);
    out.append(head - out.size(), '_');
    out.append(ext);
    return out;
}

std::string legalName(std::string_view name) {
    constexpr std::string_view kForbidden = "\"*/:<>?\\|";
    std::string out;
    out.reserve(name.size());
    for (size_t i = 0; i < name.size();) {
        const size_t len = validUtf8Length(name, i);
        const auto c = static_cast<unsigned char>(name[i]);
        if (len == 0 || (len == 1 && (c < 0x20 || c == 0x7F ||
                                      kForbidden.find(char(c)) != std::string_view::npos))) {
            out.push_back(kNameReplacement);
            ++i;
            continue;
        }
        out.append(name.substr(i, len));
        i += len;
    }
    return out;
}

std::string sentName(std::string_view sourcePath) {
    return fitLongName(legalName(fileNameOf(sourcePath)));
}

std::string convertedName(std::string_view sourcePath) {
    const std::string_view name = fileNameOf(sourcePath);
    const size_t dot = name.rfind('.');
    const std::string_view base =
        dot == std::string_view::npos || dot == 0 ? name : name.substr(0, dot);
    return fitLongName(legalName(std::string(base) + ".mp3"));
}

std::string foldCase(std::string_view name) {
    std::string out(name);
    for (char &c : out)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return out;
}

std::string freeName(const std::string &desired, std::set<std::string> &taken) {
    std::string name = desired;
    const size_t dot = desired.rfind('.');
    const std::string base = dot == std::string::npos ? desired : desired.substr(0, dot);
    const std::string ext = dot == std::string::npos ? std::string() : desired.substr(dot);
    for (unsigned n = 2; taken.contains(foldCase(name)); ++n) {
        const std::string number = " (" + std::to_string(n) + ")";
        const size_t room =
            kMaxPlayerNameBytes - std::min(kMaxPlayerNameBytes, number.size() + ext.size());
        name = wholeCharacters(base, room) + number + ext;
    }
    taken.insert(foldCase(name));
    return name;
}

} // namespace tunara::media
