// EBU R128 loudness of tracks and albums, and the ReplayGain 2.0 gain that brings them to
// -18 LUFS. The meter takes float samples as a decoder delivers them, so that a conversion can
// measure the audio it decodes anyway; measureFile() decodes a file on its own (an MP3 sent as
// it is). Built on libebur128. One meter per track and thread.
#pragma once

#include "audiosource.h"

#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace tunara::media {

// ReplayGain 2.0 plays every track as loud as a -18 LUFS one.
inline constexpr double kReplayGainReferenceLufs = -18.0;

enum class PeakMode {
    Sample, // the largest decoded sample: what a decoder's output clips on
    True,   // the largest value between samples too (4x oversampled), for the converter
};

struct Loudness {
    double lufs = 0;    // integrated loudness
    double peak = 0;    // linear, 1.0 = full scale
    double seconds = 0; // of audio measured
    // The gain to the -18 LUFS reference, in dB.
    double gainDb() const { return kReplayGainReferenceLufs - lufs; }
    double peakDbfs() const;
};

class LoudnessMeter {
public:
    // A meter for `channels` interleaved channels at `sampleRate` Hz. One channel is counted as
    // a mono file played on both sides (dual mono). Fails with the reason for a rate or channel
    // count the meter cannot take.
    static std::variant<std::unique_ptr<LoudnessMeter>, std::string>
    create(int sampleRate, int channels, PeakMode peak = PeakMode::Sample);
    ~LoudnessMeter();
    LoudnessMeter(const LoudnessMeter &) = delete;
    LoudnessMeter &operator=(const LoudnessMeter &) = delete;

    // Adds `frames` frames of interleaved samples. False when the meter fails (out of memory).
    bool add(const float *interleaved, std::size_t frames);
    // Adds planar stereo, as AudioSource delivers it (a meter made for two channels).
    bool addStereo(const float *left, const float *right, std::size_t frames);

    // The track's loudness; nullopt when it is too short or too quiet to measure (no 400 ms
    // block above the -70 LUFS gate): such a track gets no gain.
    std::optional<Loudness> result() const;

    int sampleRate() const { return m_rate; }
    int channels() const { return m_channels; }
    PeakMode peakMode() const { return m_peakMode; }

    struct State; // libebur128's state

private:
    LoudnessMeter(std::unique_ptr<State> state, int rate, int channels, PeakMode peak);
    friend std::optional<Loudness> albumLoudness(std::span<const LoudnessMeter *const> tracks);
    std::unique_ptr<State> m_state;
    int m_rate = 0;
    int m_channels = 0;
    PeakMode m_peakMode = PeakMode::Sample;
    std::size_t m_frames = 0;
    std::vector<float> m_interleaved; // addStereo's buffer
};

// The loudness of the tracks taken together (their gated blocks pooled, not their loudness
// averaged) and the highest of their peaks; nullopt when none of them can be measured.
std::optional<Loudness> albumLoudness(std::span<const LoudnessMeter *const> tracks);

// The gain to apply in the float path ahead of an encoder: `gainDb`, lowered where needed so
// that `peak` (linear; 0 when not known) ends at or below `ceilingDbfs`. A peak already above the
// ceiling is brought down to it only by a cut the gain itself asks for: a louder gain is cut to
// 0 dB at most.
double limitedGainDb(double gainDb, double peak, double ceilingDbfs = -1.0);

struct MeasuredFile {
    std::unique_ptr<LoudnessMeter> meter; // kept for the album
    std::optional<Loudness> loudness;     // nullopt: too short or silent to measure
    int sampleRate = 0;
    int channels = 0;
    int damagedPackets = 0; // stepped over, as a player does
};

// Decodes `path` at its own rate and channels and measures it. Fails when it cannot be decoded
// or when `stop` becomes true. Blocks; any thread.
std::variant<MeasuredFile, DecodeFailure> measureFile(const std::string &path,
                                                      PeakMode peak = PeakMode::Sample,
                                                      const std::atomic<bool> *stop = nullptr);

} // namespace tunara::media
