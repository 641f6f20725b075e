#include "loudness.h"

#include "pcmdecoder.h"

#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace tunara::media {

namespace {

// Every 400 ms block is kept (8 bytes per 100 ms) rather than counted in the 0.1 LU histogram,
// which would put every reading on a 0.1 LU grid.
constexpr int kModeCommon = EBUR128_MODE_I;

double peakOf(ebur128_state *st, int channels, PeakMode mode) {
    double highest = 0;
    for (int ch = 0; ch < channels; ++ch) {
        double p = 0;
        const int rc = mode == PeakMode::True ? ebur128_true_peak(st, unsigned(ch), &p)
                                              : ebur128_sample_peak(st, unsigned(ch), &p);
        if (rc == EBUR128_SUCCESS && p > highest)
            highest = p;
    }
    return highest;
}

} // namespace

struct LoudnessMeter::State {
    ebur128_state *st = nullptr;
    explicit State(ebur128_state *s) : st(s) {}
    ~State() { ebur128_destroy(&st); }
    State(const State &) = delete;
    State &operator=(const State &) = delete;
};

double Loudness::peakDbfs() const {
    return peak > 0 ? 20.0 * std::log10(peak) : -HUGE_VAL;
}

LoudnessMeter::LoudnessMeter(std::unique_ptr<State> state, int rate, int channels, PeakMode peak)
    : m_state(std::move(state)), m_rate(rate), m_channels(channels), m_peakMode(peak) {}

LoudnessMeter::~LoudnessMeter() = default;

std::variant<std::unique_ptr<LoudnessMeter>, std::string>
LoudnessMeter::create(int sampleRate, int channels, PeakMode peak) {
    // libebur128 takes rates from 5 Hz to 2.8 MHz; below 1 kHz no audio file has a use.
    if (sampleRate < 1000 || sampleRate > 768000)
        return "cannot measure audio at " + std::to_string(sampleRate) + " Hz";
    if (channels < 1 || channels > 64)
        return "cannot measure audio of " + std::to_string(channels) + " channels";
    const int mode =
        kModeCommon | (peak == PeakMode::True ? EBUR128_MODE_TRUE_PEAK : EBUR128_MODE_SAMPLE_PEAK);
    auto state = std::make_unique<State>(
        ebur128_init(unsigned(channels), static_cast<unsigned long>(sampleRate), mode));
    if (state->st == nullptr)
        return std::string("out of memory");
    if (channels == 1 && ebur128_set_channel(state->st, 0, EBUR128_DUAL_MONO) != EBUR128_SUCCESS)
        return std::string("cannot measure a mono stream");
    return std::unique_ptr<LoudnessMeter>(
        new LoudnessMeter(std::move(state), sampleRate, channels, peak));
}

bool LoudnessMeter::add(const float *interleaved, std::size_t frames) {
    if (frames == 0)
        return true;
    m_frames += frames;
    return ebur128_add_frames_float(m_state->st, interleaved, frames) == EBUR128_SUCCESS;
}

bool LoudnessMeter::addStereo(const float *left, const float *right, std::size_t frames) {
    if (m_channels != 2)
        return false;
    m_interleaved.resize(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) {
        m_interleaved[2 * i] = left[i];
        m_interleaved[2 * i + 1] = right[i];
    }
    return add(m_interleaved.data(), frames);
}

std::optional<Loudness> LoudnessMeter::result() const {
    double lufs = 0;
    if (ebur128_loudness_global(m_state->st, &lufs) != EBUR128_SUCCESS || !std::isfinite(lufs))
        return std::nullopt; // -inf: no block passed the gate
    return Loudness{lufs, peakOf(m_state->st, m_channels, m_peakMode), double(m_frames) / m_rate};
}

std::optional<Loudness> albumLoudness(std::span<const LoudnessMeter *const> tracks) {
    std::vector<ebur128_state *> states;
    Loudness album;
    for (const LoudnessMeter *t : tracks) {
        if (t == nullptr)
            continue;
        if (const auto own = t->result()) {
            album.peak = std::max(album.peak, own->peak);
            album.seconds += own->seconds;
        }
        states.push_back(t->m_state->st);
    }
    if (states.empty())
        return std::nullopt;
    double lufs = 0;
    if (ebur128_loudness_global_multiple(states.data(), states.size(), &lufs) != EBUR128_SUCCESS ||
        !std::isfinite(lufs))
        return std::nullopt;
    album.lufs = lufs;
    return album;
}

double limitedGainDb(double gainDb, double peak, double ceilingDbfs) {
    if (!std::isfinite(gainDb) || !(peak > 0) || !std::isfinite(peak))
        return std::isfinite(gainDb) ? gainDb : 0.0;
    const double room = ceilingDbfs - 20.0 * std::log10(peak);
    if (gainDb <= room)
        return gainDb;
    return gainDb > 0 ? std::max(0.0, room) : room;
}

std::variant<MeasuredFile, DecodeFailure> measureFile(const std::string &path, PeakMode peak,
                                                      const std::atomic<bool> *stop) {
    auto opened = PcmDecoder::open(path);
    if (auto *failure = std::get_if<DecodeFailure>(&opened))
        return *failure;
    PcmDecoder &decoder = *std::get<std::unique_ptr<PcmDecoder>>(opened);
    auto made = LoudnessMeter::create(decoder.sampleRate(), decoder.channels(), peak);
    if (auto *error = std::get_if<std::string>(&made))
        return DecodeFailure{*error};
    MeasuredFile measured;
    measured.meter = std::move(std::get<std::unique_ptr<LoudnessMeter>>(made));
    measured.sampleRate = decoder.sampleRate();
    measured.channels = decoder.channels();
    LoudnessMeter &meter = *measured.meter;
    bool meterFailed = false;
    const auto sink = [&](const float *samples, std::size_t frames) {
        meterFailed = !meter.add(samples, frames);
        return !meterFailed;
    };
    if (auto failure = decoder.decode(sink, stop))
        return meterFailed ? DecodeFailure{"the loudness meter failed"} : *failure;
    measured.damagedPackets = decoder.damagedPackets();
    measured.loudness = meter.result();
    return measured;
}

} // namespace tunara::media
