// kesto check: the download compatibility check on local MP3 files, and with --loudness the
// loudness of any audio files and the gain that levelling would give them.
#include "verb.h"

#include "gaintags.h"
#include "loudness.h"
#include "mp3level.h"
#include "mpegheader.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

using namespace tunara::media;

// The analysis's own refusals go to stderr, so that stdout keeps one line per file.
class StderrSink final : public MessageSink {
public:
    void showMessage(MessageIcon, std::string_view, std::string_view text) override {
        std::fprintf(stderr, "%.*s\n", int(text.size()), text.data());
    }
};

void printLine(const MpegCheck &check, const std::string &path, bool verbose) {
    std::printf("%d\t%s", static_cast<int>(check.code), path.c_str());
    if (verbose) {
        if (!check.opened) {
            std::printf("\tnot examined: cannot open");
        } else if (!check.examined) {
            std::printf("\tnot examined: fewer than 10 bytes");
        } else if (!check.headerOffset) {
            std::printf("\tno confirmed frame header from byte %llu",
                        static_cast<unsigned long long>(check.searchStart));
        } else {
            // The description without its leading path: version, layer, sample rate, bit rate.
            const std::string_view d = check.description;
            const auto afterPath = d.find("\n\n");
            std::string rest(afterPath == std::string_view::npos ? d : d.substr(afterPath + 2));
            for (char &c : rest)
                c = c == '\n' ? '\t' : c;
            std::printf("\t%s\theader at byte %llu", rest.c_str(),
                        static_cast<unsigned long long>(*check.headerOffset));
        }
    }
    std::printf("\n");
}

std::string decibels(double db) {
    if (!std::isfinite(db))
        return "-inf";
    char text[32];
    std::snprintf(text, sizeof text, "%+.2f", db);
    return text;
}

// "mp3 +3 steps (+4.52 dB)": what the lossless MP3 levelling would do.
std::string stepsText(double gainDb, double peak) {
    const int steps = mp3GainSteps(gainDb, peak);
    return "mp3 " + std::string(steps > 0 ? "+" : "") + std::to_string(steps) + " steps (" +
           decibels(steps * kGainStepDb) + " dB)";
}

std::string loudnessText(const Loudness &l) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f LUFS", l.lufs);
    return std::string(text) + "\tpeak " + decibels(l.peakDbfs()) + " dBFS\tgain " +
           decibels(l.gainDb()) + " dB";
}

// An MP3 the levelling would rewrite losslessly: Layer III frames in a file named .mp3.
bool isLayer3File(const std::string &path) {
    if (path.size() < 4)
        return false;
    std::string ext = path.substr(path.size() - 4);
    for (char &c : ext)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    if (ext != ".mp3")
        return false;
    const auto file = FileSource::open(path);
    if (!file || file->size() > (std::uint64_t(1) << 30))
        return false;
    std::vector<std::uint8_t> bytes(std::size_t(file->size()));
    if (file->readAt(0, bytes) != bytes.size())
        return false;
    for (const Mp3Frame &f : scanMp3(bytes).frames)
        if (f.kind == Mp3Frame::Kind::Levelled)
            return true;
    return false;
}

std::string storedText(const StoredGain &g) {
    std::string text = "tags";
    const auto add = [&](const char *what, const std::optional<double> &v, bool gain) {
        if (v)
            text += std::string(" ") + what + " " + (gain ? decibels(*v) + " dB" : peakText(*v));
    };
    add("track", g.trackGainDb, true);
    add("peak", g.trackPeak, false);
    add("album", g.albumGainDb, true);
    add("album-peak", g.albumPeak, false);
    return text == "tags" ? "tags none" : text;
}

std::string albumLabel(std::size_t files) {
    return "album (" + std::to_string(files) + (files == 1 ? " file)" : " files)");
}

// One line per file: path, integrated loudness, sample peak, gain to -18 LUFS and, for an MP3,
// the lossless steps; then the album over the files measured.
int loudnessMain(const std::vector<std::string> &files, bool tags) {
    std::vector<MeasuredFile> measured;
    bool anyMp3 = false;
    bool failed = false;
    for (const auto &path : files) {
        auto result = measureFile(path);
        if (auto *failure = std::get_if<DecodeFailure>(&result)) {
            std::fprintf(stderr, "kesto check: '%s': %s\n", path.c_str(), failure->reason.c_str());
            failed = true;
            continue;
        }
        MeasuredFile &m = std::get<MeasuredFile>(result);
        std::string line = path + "\t";
        if (m.loudness) {
            line += loudnessText(*m.loudness);
            if (isLayer3File(path)) {
                anyMp3 = true;
                line += "\t" + stepsText(m.loudness->gainDb(), m.loudness->peak);
            }
        } else {
            line += "too short or silent to measure: no gain";
        }
        if (tags) {
            const StoredGain g = readStoredGain(path);
            line += "\t" + storedText(g);
            for (const auto &w : g.warnings)
                std::fprintf(stderr, "kesto check: '%s': %s\n", path.c_str(), w.c_str());
        }
        if (m.damagedPackets > 0)
            std::fprintf(stderr, "kesto check: '%s': %d damaged packets skipped\n", path.c_str(),
                         m.damagedPackets);
        std::printf("%s\n", line.c_str());
        measured.push_back(std::move(m));
    }
    std::vector<const LoudnessMeter *> meters;
    for (const auto &m : measured)
        meters.push_back(m.meter.get());
    if (const auto album = albumLoudness(meters)) {
        std::string line = albumLabel(meters.size()) + "\t" + loudnessText(*album);
        if (anyMp3)
            line += "\t" + stepsText(album->gainDb(), album->peak);
        std::printf("%s\n", line.c_str());
    } else if (!meters.empty()) {
        std::printf("%s\ttoo short or silent to measure: no gain\n",
                    albumLabel(meters.size()).c_str());
    }
    std::fflush(stdout);
    return failed ? kesto::kExitFailed : kesto::kExitOk;
}

int checkMain(std::span<const std::string> args) {
    bool verbose = false;
    bool loudness = false;
    bool tags = false;
    bool optionsDone = false;
    std::vector<std::string> files;
    for (const auto &a : args) {
        if (!optionsDone && (a == "--verbose" || a == "-v")) {
            verbose = true;
        } else if (!optionsDone && a == "--loudness") {
            loudness = true;
        } else if (!optionsDone && a == "--tags") {
            tags = true;
        } else if (!optionsDone && a == "--") {
            optionsDone = true;
        } else if (!optionsDone && a.size() > 1 && a[0] == '-') {
            std::fprintf(stderr, "kesto check: unknown option '%s'\n", a.c_str());
            return kesto::kExitUsage;
        } else {
            files.push_back(a);
        }
    }
    if (files.empty()) {
        std::fprintf(stderr, "kesto check: no file given (see 'kesto help check')\n");
        return kesto::kExitUsage;
    }
    if (tags && !loudness) {
        std::fprintf(stderr, "kesto check: --tags goes with --loudness\n");
        return kesto::kExitUsage;
    }
    if (loudness)
        return loudnessMain(files, tags);
    StderrSink sink;
    bool allPassed = true;
    for (const auto &path : files) {
        errno = 0;
        const MpegCheck check = CheckMpegHeader(path, sink);
        if (!check.opened) {
            // The analysis lets an unreadable file through; a check from the command line must
            // not call it passed.
            std::fprintf(stderr, "kesto check: cannot open '%s': %s\n", path.c_str(),
                         std::strerror(errno != 0 ? errno : ENOENT));
            allPassed = false;
        }
        if (check.code != MpegCheckCode::Accepted)
            allPassed = false;
        printLine(check, path, verbose);
    }
    std::fflush(stdout);
    return allPassed ? kesto::kExitOk : kesto::kExitFailed;
}

const kesto::Verb checkVerb(kesto::help::command("check"), checkMain);

} // namespace
