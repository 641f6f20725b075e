// Sources in other formats made at test time (sox, ffmpeg, lame), and the judges of a converted
// file: its decoded length (ffmpeg) and its tag (mutagen).
#pragma once

#include "mediatestutil.h"

#include <string>
#include <vector>

namespace mediatest {

// A stereo tone of `seconds` at `rate` Hz written by sox to `path` (its format by extension).
void makeTone(const std::string &path, double seconds, int rate = 44100, int channels = 2);
// ffmpeg with `args`, failing the test when it fails.
void ffmpeg(const std::vector<std::string> &args);
// The length of the audio in `path` decoded by ffmpeg, in seconds (gapless information used).
double decodedSeconds(const std::string &path);
// A PNG cover of `width` x `height` made by ffmpeg.
void makeCover(const std::string &path, int width, int height);

} // namespace mediatest
