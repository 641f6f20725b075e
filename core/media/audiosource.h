// An audio file opened for conversion: its tags, its front cover and its samples, decoded and
// resampled to planar float stereo at the rate the encoder takes. Built on libavformat,
// libavcodec and libswresample; one object per file and thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace tunara::media {

// The tag values a converted file carries, as the source holds them (UTF-8).
struct SourceTags {
    std::string title, artist, album, year, genre, comment, composer;
    int track = 0;
    std::string disc; // "n/total" or "n" (as TPOS holds it); empty without a disc number
};

struct SourceCover {
    std::vector<std::uint8_t> bytes; // the picture as stored (JPEG, PNG...)
    int codecId = 0;                 // libavcodec's id of its format, 0 when not known
};

// FFmpeg's libraries never print: every reason comes back as a value. Called before any file
// is opened with them; any thread, any number of times.
void silenceFfmpegLog();

struct DecodeFailure {
    std::string reason; // the decoder's words, without the file name
    bool stopped = false;
};

class AudioSource {
public:
    // Opens `path` and finds its audio stream; `sampleRate` is the rate read() delivers.
    // A file without audio, with a protected (DRM) stream or without a decoder is refused.
    static std::variant<std::unique_ptr<AudioSource>, DecodeFailure> open(const std::string &path,
                                                                          int sampleRate);
    ~AudioSource();
    AudioSource(const AudioSource &) = delete;
    AudioSource &operator=(const AudioSource &) = delete;

    const SourceTags &tags() const { return m_tags; }
    // The front cover, else the first attached picture; empty bytes without one.
    const SourceCover &cover() const { return m_cover; }
    // The length the container declares, in seconds; 0 when it declares none.
    double declaredSeconds() const { return m_declaredSeconds; }

    // Called with each block of samples: left, right, frame count. Returning false stops.
    using Sink = std::function<bool(const float *left, const float *right, int frames)>;
    // Called now and then with the fraction of the source read so far (0..1).
    using Progress = std::function<void(double)>;

    // Decodes the whole stream into `sink`. Fails on a damaged or truncated stream with the
    // decoder's reason, and when `stop` becomes true. Blocks; the calling thread only.
    std::optional<DecodeFailure> decode(const Sink &sink, const Progress &progress,
                                        const std::atomic<bool> *stop);

    struct Impl;

private:
    explicit AudioSource(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
    SourceTags m_tags;
    SourceCover m_cover;
    double m_declaredSeconds = 0;
};

} // namespace tunara::media
