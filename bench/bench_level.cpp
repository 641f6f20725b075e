// Levelling speed, in one run on one core. Goals: the lossless levelling of an MP3 sent as it
// is, its analysis decode included, at 100 times real time or more; measuring the loudness of a
// track being converted adds at most 15% to the conversion's wall time (the converter holds the
// decoded samples while the meter reads them and encodes them once the gain is known). The meter's
// own cost is shown against the decode and the whole conversion. Medians of three runs.
// Not run by the tests: `build/.../bin/bench_level` (needs sox and lame).
#include "audiosource.h"
#include "converter.h"
#include "levelling.h"
#include "loudness.h"
#include "mp3level.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace tunara::media;
using Clock = std::chrono::steady_clock;

constexpr int kRepeats = 3;
constexpr int kSeconds = 180; // a long song
constexpr int kRate = 44100;

bool shell(const std::string &command) {
    return std::system(command.c_str()) == 0;
}

double seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

[[noreturn]] void die(const std::string &why) {
    std::fprintf(stderr, "bench_level: %s\n", why.c_str());
    std::exit(1);
}

// Measure and rewrite, as the levelling of an MP3 sent as it is does.
double levelOnce(const std::string &mp3, const std::string &out, PeakMode peak) {
    fs::remove(out);
    const auto start = Clock::now();
    auto measured = measureFile(mp3, peak);
    if (auto *failure = std::get_if<DecodeFailure>(&measured))
        die(failure->reason);
    const auto &loudness = std::get<MeasuredFile>(measured).loudness;
    if (!loudness)
        die("the noise could not be measured");
    const int steps = mp3GainSteps(loudness->gainDb(), loudness->peak);
    if (auto error = levelMp3File(mp3, out, steps == 0 ? 1 : steps))
        die(*error);
    return seconds(start);
}

// The converter's decode: AudioSource at 44.1 kHz into a sink that reads every sample (as the
// encoder does), with or without the meter fed from the same blocks.
double decodeOnce(const std::string &source, std::optional<PeakMode> meter) {
    const auto start = Clock::now();
    auto opened = AudioSource::open(source, kRate);
    if (auto *failure = std::get_if<DecodeFailure>(&opened))
        die(failure->reason);
    AudioSource &audio = *std::get<std::unique_ptr<AudioSource>>(opened);
    std::unique_ptr<LoudnessMeter> m;
    if (meter) {
        auto made = LoudnessMeter::create(kRate, 2, *meter);
        if (auto *error = std::get_if<std::string>(&made))
            die(*error);
        m = std::move(std::get<std::unique_ptr<LoudnessMeter>>(made));
    }
    volatile float sum = 0;
    const auto sink = [&](const float *left, const float *right, int frames) {
        float s = 0;
        for (int i = 0; i < frames; ++i)
            s += left[i] + right[i];
        sum = sum + s;
        return m == nullptr || m->addStereo(left, right, std::size_t(frames));
    };
    if (auto failure = audio.decode(sink, nullptr, nullptr))
        die(failure->reason);
    if (m && !m->result())
        die("no loudness");
    return seconds(start);
}

template <typename F>
double medianOf(F run) {
    std::vector<double> times;
    for (int i = 0; i < kRepeats; ++i)
        times.push_back(run());
    return median(times);
}

double convertOnce(const std::string &source, const std::string &out,
                   const ConvertSettings &settings) {
    fs::remove(out);
    const auto start = Clock::now();
    if (auto failure = convertFile(source, out, settings, nullptr, nullptr))
        die(failure->message);
    return seconds(start);
}

Loudness measured(const std::string &path) {
    auto m = measureFile(path, PeakMode::Sample);
    if (auto *failure = std::get_if<DecodeFailure>(&m))
        die(path + ": " + failure->reason);
    const auto &l = std::get<MeasuredFile>(m).loudness;
    if (!l)
        die(path + ": not measurable");
    return *l;
}

// Ten tracks 20 dB apart in all (pink noise, 2.2 dB between neighbours) sent with track
// levelling: as FLACs converted and as MP3s levelled losslessly; what arrives is measured again.
void arrivalSpread(const fs::path &dir) {
    constexpr int kTracks = 10;
    constexpr int kTrackSeconds = 20;
    std::vector<double> converted, levelled, sources;
    double highestPeak = 0;
    for (int i = 0; i < kTracks; ++i) {
        const double volume = 0.3 * std::pow(10.0, -20.0 / 20.0 * i / (kTracks - 1));
        const std::string base = (dir / ("t" + std::to_string(i))).string();
        if (!shell(std::string(TUNARA_SOX) + " -n -r 44100 -c 2 -b 16 '" + base + ".flac' synth " +
                   std::to_string(kTrackSeconds) + " pinknoise vol " + std::to_string(volume) +
                   " 2>/dev/null") ||
            !shell(std::string(TUNARA_LAME) + " --quiet -b 192 '" + base + ".flac' '" + base +
                   ".mp3' 2>/dev/null"))
            die("cannot make the spread's files (sox, lame)");
        sources.push_back(measured(base + ".flac").lufs);
        ConvertSettings settings;
        settings.level = LevelMode::Track;
        convertOnce(base + ".flac", base + "-c.mp3", settings);
        const Loudness c = measured(base + "-c.mp3");
        converted.push_back(c.lufs);
        highestPeak = std::max(highestPeak, c.peak);
        const LevelSource one{base + ".mp3", PeakMode::Sample};
        const LevelDecision d = decideLevels({&one, 1}, LevelMode::Track).front();
        auto made = levelledMp3Copy(base + ".mp3", base + "-l.mp3", LevelMode::Track, d.gain);
        if (auto *error = std::get_if<std::string>(&made))
            die(*error);
        levelled.push_back(measured(base + "-l.mp3").lufs);
    }
    const auto spread = [](const std::vector<double> &v) {
        const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
        return *hi - *lo;
    };
    std::printf("\narrival spread, %d tracks %.1f LU apart in all, --level track:\n", kTracks,
                spread(sources));
    std::printf("  converted FLACs  %.2f LU (goal <= 1)    %s; highest peak %.2f dBFS (goal "
                "<= -1) %s\n",
                spread(converted), spread(converted) <= 1.0 ? "ok" : "MISSED",
                20 * std::log10(highestPeak),
                20 * std::log10(highestPeak) <= -1.0 ? "ok" : "MISSED");
    std::printf("  levelled MP3s    %.2f LU (goal <= 1.6)  %s\n", spread(levelled),
                spread(levelled) <= 1.6 ? "ok" : "MISSED");
}

} // namespace

int main() {
    silenceFfmpegLog();
    const fs::path dir = fs::temp_directory_path() / ("bench_level_" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string wav = (dir / "noise.wav").string();
    const std::string mp3 = (dir / "noise.mp3").string();
    const std::string flac = (dir / "noise.flac").string();
    // Music-like noise, so that the decoders work as hard as on music.
    if (!shell(std::string(TUNARA_SOX) + " -n -r 44100 -c 2 -b 16 '" + wav + "' synth " +
               std::to_string(kSeconds) + " pinknoise vol 0.3 2>/dev/null") ||
        !shell(std::string(TUNARA_SOX) + " '" + wav + "' '" + flac + "'") ||
        !shell(std::string(TUNARA_LAME) + " --quiet -b 192 '" + wav + "' '" + mp3 + "'"))
        die("cannot make the test files (sox, lame)");
    const std::string out = (dir / "levelled.mp3").string();

    std::printf("audio: %d s of stereo pink noise at 44.1 kHz; medians of %d runs, one core\n\n",
                kSeconds, kRepeats);
    const double sample = medianOf([&] { return levelOnce(mp3, out, PeakMode::Sample); });
    const double truePeak = medianOf([&] { return levelOnce(mp3, out, PeakMode::True); });
    std::vector<std::uint8_t> bytes(fs::file_size(mp3));
    {
        FILE *f = std::fopen(mp3.c_str(), "rb");
        if (f == nullptr || std::fread(bytes.data(), 1, bytes.size(), f) != bytes.size())
            die("cannot read the MP3");
        std::fclose(f);
    }
    const double rewrite = medianOf([&] {
        const auto start = Clock::now();
        const auto levelled = levelMp3(bytes, 2);
        if (levelled.size() != bytes.size())
            die("the rewrite changed the length");
        return seconds(start);
    });
    std::printf("lossless MP3 levelling (192 kbit/s), measure + rewrite:\n");
    std::printf("  sample peak  %.3f s  %6.0fx real time (goal >= 100x)  %s\n", sample,
                kSeconds / sample, kSeconds / sample >= 100 ? "ok" : "MISSED");
    std::printf("  true peak    %.3f s  %6.0fx real time\n", truePeak, kSeconds / truePeak);
    std::printf("  rewrite only %.4f s  %6.0fx real time\n\n", rewrite, kSeconds / rewrite);

    // The whole conversion (decode, encode at 192 kbit/s, tag) gives the meter's cost its scale.
    const std::string converted = (dir / "converted.mp3").string();
    const double conversion = medianOf([&] {
        fs::remove(converted);
        const auto start = Clock::now();
        if (auto failure = convertFile(flac, converted, ConvertSettings{}, nullptr, nullptr))
            die(failure->message);
        return seconds(start);
    });
    for (const auto &[name, source] : {std::pair{"FLAC", flac}, std::pair{"MP3", mp3}}) {
        const double plain = medianOf([&] { return decodeOnce(source, std::nullopt); });
        const double metered = medianOf([&] { return decodeOnce(source, PeakMode::Sample); });
        const double trueMetered = medianOf([&] { return decodeOnce(source, PeakMode::True); });
        const double extra = (metered / plain - 1) * 100;
        std::printf("conversion decode of %s: %.3f s alone\n", name, plain);
        std::printf("  + meter, sample peak %.3f s  %+5.1f%% of the decode; %+4.1f%% of a whole "
                    "conversion\n",
                    metered, extra, (metered - plain) / conversion * 100);
        std::printf("  + meter, true peak   %.3f s  %+5.1f%% of the decode; %+4.1f%% of a whole "
                    "conversion\n",
                    trueMetered, (trueMetered / plain - 1) * 100,
                    (trueMetered - plain) / conversion * 100);
    }
    std::printf("whole conversion of the FLAC to MP3: %.3f s (%.0fx real time)\n", conversion,
                kSeconds / conversion);

    // The converter levelling: measured while it decodes (sample peak), or with the
    // gain given (an album measured beforehand: only the scaling is added).
    ConvertSettings track;
    track.level = LevelMode::Track;
    ConvertSettings given = track;
    given.levelGain = LevelGain{-3.0, 0.5, {}, {}};
    // Run in turns, so that another load on the machine weighs on the three alike.
    constexpr int kTurns = 5;
    std::vector<double> offTimes, measuredTimes, givenTimes;
    for (int turn = 0; turn < kTurns; ++turn) {
        offTimes.push_back(convertOnce(flac, converted, ConvertSettings{}));
        measuredTimes.push_back(convertOnce(flac, converted, track));
        givenTimes.push_back(convertOnce(flac, converted, given));
    }
    const double off = median(offTimes), measuredFirst = median(measuredTimes),
                 gainGiven = median(givenTimes);
    const double extra = (measuredFirst / off - 1) * 100;
    std::printf("conversion, medians of %d turns: %.3f s with levelling off\n", kTurns, off);
    std::printf(
        "conversion with --level track: %.3f s measured as it decodes, %+5.1f%% (goal <= 15%%) "
        "%s; %.3f s with the gain given (%+5.1f%%)\n",
        measuredFirst, extra, extra <= 15 ? "ok" : "MISSED", gainGiven,
        (gainGiven / off - 1) * 100);
    arrivalSpread(dir);
    fs::remove_all(dir);
    return 0;
}
