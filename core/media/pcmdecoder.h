// A file's audio decoded as it is stored: its own sample rate and channels, as interleaved
// float samples (1.0 = full scale). Loudness is measured on this, so that the peak is the one a
// player decoding the file meets (no resampling, no mixing). Built on libavformat and
// libavcodec; one object per file and thread.
#pragma once

#include "audiosource.h"

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>

namespace tunara::media {

class PcmDecoder {
public:
    // Opens `path` and its best audio stream. Refuses a file without audio or without decoder,
    // with the reason.
    static std::variant<std::unique_ptr<PcmDecoder>, DecodeFailure> open(const std::string &path);
    ~PcmDecoder();
    PcmDecoder(const PcmDecoder &) = delete;
    PcmDecoder &operator=(const PcmDecoder &) = delete;

    int sampleRate() const;
    int channels() const;

    // Called with each block: interleaved samples, frame count. Returning false stops.
    using Sink = std::function<bool(const float *interleaved, std::size_t frames)>;
    // Decodes the whole stream into `sink`. Damaged packets are skipped and counted in
    // damagedPackets(), as a player steps over them; reading errors and `stop` end the decode
    // with a failure. Blocks; the calling thread only.
    std::optional<DecodeFailure> decode(const Sink &sink, const std::atomic<bool> *stop);
    int damagedPackets() const;

    struct Impl;

private:
    explicit PcmDecoder(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};

} // namespace tunara::media
