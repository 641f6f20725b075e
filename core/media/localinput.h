// libavformat opens any name it is given through its protocols: "pipe:x.flac" reads standard
// input, "concat:a|b" and "subfile,,start,...:" other files, "http:" the network. A name given to
// the converter or the folder scan is always a local file's: it is opened as one, and nothing the
// file holds can reach another protocol either. Nor is a file taken for a playlist or script that
// names other files (an ffconcat list, an HLS or DASH playlist, an image sequence, SDP, IMF,
// AviSynth or VapourSynth scripts, which run code): those demuxers are left out.
#pragma once

#include <string>

struct AVFormatContext;

namespace tunara::media {

// Opens the local file `path` (absolute or relative) with avformat_open_input: the name is taken
// as it stands ("file:" before it), the format's protocol whitelist holds "file" only and its
// format whitelist every demuxer but those above. Returns libavformat's code: 0 with `*format`
// set, or a negative AVERROR with `*format` left null (AVERROR(EINVAL) for a file of a format
// left out). Blocks on file I/O; any thread.
int openLocalInput(AVFormatContext **format, const std::string &path);

// The name of the demuxer libavformat takes the local file `path` for when it is one of those
// left out ("concat"), else "": why openLocalInput refused it. Blocks on file I/O; any thread.
std::string refusedFormatOf(const std::string &path);

} // namespace tunara::media
