#include "convertfixture.h"

#include <gtest/gtest.h>

namespace mediatest {

void makeTone(const std::string &path, double seconds, int rate, int channels) {
    const RunResult r =
        run({TUNARA_SOX, "-n", "-r", std::to_string(rate), "-c", std::to_string(channels), path,
             "synth", std::to_string(seconds), "sine", "440", "vol", "0.5"});
    ASSERT_EQ(r.status, 0) << r.err;
}

void ffmpeg(const std::vector<std::string> &args) {
    std::vector<std::string> argv = {TUNARA_FFMPEG, "-nostdin", "-v", "error", "-y"};
    argv.insert(argv.end(), args.begin(), args.end());
    const RunResult r = run(argv);
    ASSERT_EQ(r.status, 0) << r.err;
}

double decodedSeconds(const std::string &path) {
    const RunResult r = run({TUNARA_FFMPEG, "-nostdin", "-v", "error", "-i", path, "-f", "s16le",
                             "-ac", "1", "-ar", "44100", "-"});
    EXPECT_EQ(r.status, 0) << r.err;
    return double(r.out.size()) / 2.0 / 44100.0;
}

void makeCover(const std::string &path, int width, int height) {
    ffmpeg({"-f", "lavfi", "-i",
            "testsrc=size=" + std::to_string(width) + "x" + std::to_string(height), "-frames:v",
            "1", path});
}

} // namespace mediatest
