// How long the download check takes per file, against TagLib reading the MPEG properties of the
// same files. Both run in one process over the same page-cached files; the medians of the
// repetitions and their ratio are printed at the end (goal: the check at most 0.2 of TagLib).
#include "mpegheader.h"

#include <benchmark/benchmark.h>
#include <taglib/mpegfile.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace {

using tunara::media::CheckMpegHeader;
using tunara::media::SilentSink;

std::string g_dir;
std::vector<std::string> g_files;

bool shell(const std::string &command) {
    return std::system(command.c_str()) == 0;
}

// Encoded streams of one minute each, bare and behind ID3v2 tags of a few sizes (lame pads the
// tag), so that both readers see what a music folder holds.
bool makeFiles() {
    char pattern[] = "/tmp/tunara-bench-media-XXXXXX";
    if (!::mkdtemp(pattern))
        return false;
    g_dir = pattern;
    const std::string wav = g_dir + "/tone.wav";
    if (!shell(std::string(TUNARA_SOX) + " -n -r 44100 -c 2 -b 16 " + wav +
               " synth 60 sine 440 sine 660 2>/dev/null"))
        return false;
    struct Variant {
        const char *name, *options;
    };
    const Variant variants[] = {
        {"l3_128", "--cbr -b 128"},
        {"l3_320", "--cbr -b 320"},
        {"l3_vbr", "-V 4"},
        {"mpeg2_64", "--cbr -b 64 --resample 22.05"},
        {"l3_128_tag", "--cbr -b 128 --id3v2-only --tt Title --ta Artist --pad-id3v2-size 1000"},
        {"l3_192_bigtag", "--cbr -b 192 --id3v2-only --tt Title --pad-id3v2-size 200000"},
    };
    for (const auto &v : variants) {
        const std::string out = g_dir + "/" + v.name + ".mp3";
        if (!shell(std::string(TUNARA_LAME) + " --quiet " + v.options + " " + wav + " " + out))
            return false;
        g_files.push_back(out);
    }
    return true;
}

void BM_CheckMpegHeader(benchmark::State &state) {
    SilentSink sink;
    for (auto _ : state)
        for (const auto &f : g_files)
            benchmark::DoNotOptimize(CheckMpegHeader(f, sink).code);
    state.SetItemsProcessed(state.iterations() * std::int64_t(g_files.size()));
}

void BM_TagLibMpegProperties(benchmark::State &state) {
    for (auto _ : state)
        for (const auto &f : g_files) {
            TagLib::MPEG::File file(f.c_str(), true);
            const auto *p = file.audioProperties();
            benchmark::DoNotOptimize(p ? p->bitrate() : 0);
        }
    state.SetItemsProcessed(state.iterations() * std::int64_t(g_files.size()));
}

constexpr int kRepetitions = 15;
BENCHMARK(BM_CheckMpegHeader)->Repetitions(kRepetitions)->ReportAggregatesOnly(true);
BENCHMARK(BM_TagLibMpegProperties)->Repetitions(kRepetitions)->ReportAggregatesOnly(true);

// Keeps the median real time per file of each benchmark for the closing ratio.
class MedianReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const auto &r : runs)
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median")
                medians[r.run_name.function_name] =
                    r.GetAdjustedRealTime() / double(g_files.size());
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> medians; // in the reporter's time unit, per file
};

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (!makeFiles()) {
        std::fprintf(stderr, "bench_media: cannot make the test files (lame and sox needed)\n");
        return 1;
    }
    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double ours = reporter.medians["BM_CheckMpegHeader"];
    const double theirs = reporter.medians["BM_TagLibMpegProperties"];
    if (ours > 0 && theirs > 0)
        std::printf("\nmedian per file: CheckMpegHeader %.1f ns, TagLib MPEG properties %.1f ns, "
                    "ratio %.3f (goal <= 0.2)\n",
                    ours, theirs, ours / theirs);
    std::filesystem::remove_all(g_dir);
    benchmark::Shutdown();
    return 0;
}
