#include "converter.h"

#include "audiosource.h"
#include "coverart.h"
#include "gaintags.h"
#include "genres.h"
#include "mp3encoder.h"
#include "mp3level.h"
#include "tagengine.h"

#include <taglib/attachedpictureframe.h>
#include <taglib/id3v2tag.h>
#include <taglib/textidentificationframe.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tunara::media {

namespace {

constexpr int kLayer3Rates[] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
constexpr size_t kWriteChunk = 256 * 1024; // encoded bytes gathered before one write
constexpr double kBitsPerByte = 8.0;
constexpr double kBitsPerKilobit = 1000.0;
// Room in the predicted size for LAME's info frame, its padding and the last frame.
constexpr std::uint64_t kPredictionSlackBytes = 64 * 1024;
constexpr double kBytesPerMebibyte = 1024.0 * 1024.0;

// Closes and, unless kept, removes the output file.
class OutputFile {
public:
    explicit OutputFile(std::string path) : m_path(std::move(path)) {
        m_fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    }
    ~OutputFile() {
        if (m_fd >= 0)
            ::close(m_fd);
        if (!m_kept)
            ::unlink(m_path.c_str());
    }
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    bool ok() const { return m_fd >= 0; }
    bool write(const std::uint8_t *data, size_t n) {
        while (n > 0) {
            const ssize_t w = ::write(m_fd, data, n);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                return false;
            data += w;
            n -= size_t(w);
            m_written += size_t(w);
        }
        return true;
    }
    bool writeAt(const std::vector<std::uint8_t> &data, off_t offset) {
        return ::pwrite(m_fd, data.data(), data.size(), offset) == ssize_t(data.size());
    }
    // Closes the file; false when the last of its data could not be written.
    bool close() {
        const int rc = ::close(m_fd);
        m_fd = -1;
        return rc == 0;
    }
    void keep() { m_kept = true; }
    size_t written() const { return m_written; }

private:
    std::string m_path;
    int m_fd = -1;
    bool m_kept = false;
    size_t m_written = 0;
};

TagFields fieldsOf(const SourceTags &t) {
    TagFields f;
    f.title = t.title;
    f.artist = t.artist;
    f.album = t.album;
    f.year = t.year;
    f.track = t.track > 0 ? t.track : 0;
    f.comment = t.comment;
    f.composer = t.composer;
    if (!t.genre.empty()) {
        f.genre = genreFromTcon(t.genre);
        if (!f.genre)
            f.genreText = t.genre;
    }
    return f;
}

// The ID3v2.3 tag of the converted file: the cover as an APIC frame and the disc number as TPOS
// (frames the editor does not show, which it keeps), the fields by the tag engine, which writes
// them the way the tag editor does.
std::variant<std::vector<std::uint8_t>, std::string>
tagBytes(const TagFields &fields, const std::string &disc, const std::vector<std::uint8_t> &cover,
         const std::optional<ReplayGainValues> &gain) {
    std::vector<std::uint8_t> base;
    if (!cover.empty() || !disc.empty() || gain) {
        TagLib::ID3v2::Tag tag;
        if (!cover.empty()) {
            auto *apic = new TagLib::ID3v2::AttachedPictureFrame;
            apic->setMimeType("image/jpeg");
            apic->setType(TagLib::ID3v2::AttachedPictureFrame::FrontCover);
            apic->setPicture(TagLib::ByteVector(reinterpret_cast<const char *>(cover.data()),
                                                uint(cover.size())));
            tag.addFrame(apic); // the tag owns it
        }
        if (!disc.empty()) {
            // Digits and '/' only: ISO-8859-1 holds them.
            auto *tpos = new TagLib::ID3v2::TextIdentificationFrame("TPOS", TagLib::String::Latin1);
            tpos->setText(TagLib::String(disc, TagLib::String::Latin1));
            tag.addFrame(tpos);
        }
        if (gain)
            addReplayGainFrames(tag, *gain);
        const TagLib::ByteVector data = tag.render(TagLib::ID3v2::v3);
        base.assign(data.begin(), data.end());
    }
    auto rendered = renderTag(base, fields);
    if (auto *error = std::get_if<TagError>(&rendered))
        return error->message;
    return std::get<std::vector<std::uint8_t>>(std::move(rendered));
}

std::string systemReason() {
    return std::strerror(errno);
}

std::string sizeText(double bytes) {
    char text[48];
    if (bytes < kBytesPerMebibyte)
        std::snprintf(text, sizeof text, "%.0f bytes", bytes);
    else if (bytes < kBytesPerMebibyte * 1024)
        std::snprintf(text, sizeof text, "%.1f MiB", bytes / kBytesPerMebibyte);
    else
        std::snprintf(text, sizeof text, "%.1f GiB", bytes / kBytesPerMebibyte / 1024);
    return text;
}

// The largest the MP3 of `seconds` of audio can be: the bit rate (a VBR stream's highest) over
// the whole length, plus room for the tag (a cover of at most 300 x 300) and the info frame.
double predictedBytes(double seconds, const ConvertSettings &settings) {
    return seconds * settings.bitRateKbps * kBitsPerKilobit / kBitsPerByte +
           double(kPredictionSlackBytes);
}

// The gain the converter applies for `settings`, and the ReplayGain values of the file it
// writes: what is left to -18 LUFS after that gain, so that a player that reads them does not
// apply the gain a second time.
struct AppliedLevel {
    double gainDb = 0;
    std::optional<ReplayGainValues> tags;
};

// The gain `gain` asks for in `mode`, held under the ceiling, and the ReplayGain values of the
// file it makes: what is left to -18 LUFS after that gain, so that a player that reads them does
// not apply the gain a second time. No gain without a measurement.
AppliedLevel appliedLevel(const std::optional<LevelGain> &gain, LevelMode mode) {
    AppliedLevel applied;
    if (!gain || mode == LevelMode::Off)
        return applied;
    applied.gainDb =
        limitedGainDb(gain->wantedDb(mode), gain->limitingPeak(mode), kLevelCeilingDbfs);
    const double scale = std::pow(10.0, applied.gainDb / 20.0);
    ReplayGainValues values{gain->trackGainDb - applied.gainDb, gain->trackPeak * scale, {}, {}};
    if (gain->albumGainDb) {
        values.albumGainDb = *gain->albumGainDb - applied.gainDb;
        values.albumPeak = gain->albumPeak.value_or(gain->trackPeak) * scale;
    }
    applied.tags = values;
    return applied;
}

// The gain of `source` for `settings`: the one given, else the track measured now by a decode
// of its own (why it has none goes to `notes`). The sample peak limits the gain: the true peak
// would hold the encoder's overshoot too, but its 4x oversampling makes the measuring decode cost
// a third of the conversion instead of a tenth.
LevelDecision gainOf(const std::string &source, const ConvertSettings &settings,
                     const std::atomic<bool> *stop, std::vector<std::string> *notes) {
    if (settings.levelGain || settings.level == LevelMode::Off)
        return LevelDecision{settings.levelGain, {}, false, {}};
    const LevelSource one{source, PeakMode::Sample};
    LevelDecision decided = decideLevels({&one, 1}, LevelMode::Track, stop).front();
    if (!decided.gain && !decided.stopped && notes != nullptr)
        notes->push_back(decided.note);
    return decided;
}

// The share of a conversion's progress the measuring decode takes; encoding takes the rest.
constexpr double kMeasureShare = 0.2;
// Frames handed to the encoder at a time from the held samples.
constexpr std::size_t kHeldBlockFrames = 4608;

// Stereo float frames `bytes` hold.
std::size_t heldFrames(std::size_t bytes) {
    return bytes / (2 * sizeof(float));
}

// Whether a track that declares `seconds` (0: not known) at `rate` may be held in `bytes`.
bool fitsHeld(double seconds, int rate, std::size_t bytes) {
    return seconds * rate < double(heldFrames(bytes));
}

struct HeldTrack {
    std::vector<float> left, right;
    std::optional<Loudness> loudness; // nullopt: too short or silent to measure
    bool tooLong = false;             // nothing held: decode it twice
};

// Decodes all of `audio` into `held` while a meter at `rate` reads it.
std::optional<DecodeFailure> holdAndMeasure(AudioSource &audio, int rate, std::size_t maxFrames,
                                            HeldTrack &held, const ConvertProgress &progress,
                                            const std::atomic<bool> *stop) {
    auto created = LoudnessMeter::create(rate, 2, PeakMode::Sample);
    if (auto *error = std::get_if<std::string>(&created))
        return DecodeFailure{"its loudness cannot be measured: " + *error, false};
    LoudnessMeter &meter = *std::get<std::unique_ptr<LoudnessMeter>>(created);
    // The length it declares, and a second more, so that the vectors do not grow twice their size.
    const double declared = audio.declaredSeconds() * rate + rate;
    const std::size_t expected =
        declared > 0 && declared < double(maxFrames) ? std::size_t(declared) : maxFrames;
    held.left.reserve(expected);
    held.right.reserve(expected);
    bool meterFailed = false;
    const auto sink = [&](const float *left, const float *right, int frames) {
        const auto n = std::size_t(frames);
        if (held.left.size() + n > maxFrames) {
            held.tooLong = true;
            return false;
        }
        if (!meter.addStereo(left, right, n)) {
            meterFailed = true;
            return false;
        }
        held.left.insert(held.left.end(), left, left + n);
        held.right.insert(held.right.end(), right, right + n);
        return true;
    };
    const auto measuring = [&](double fraction) {
        if (progress)
            progress(fraction * kMeasureShare);
    };
    if (auto failure = audio.decode(sink, measuring, stop)) {
        if (held.tooLong) {
            held.left = {};
            held.right = {};
            return std::nullopt;
        }
        if (meterFailed)
            return DecodeFailure{"its loudness cannot be measured: out of memory", false};
        return failure;
    }
    held.loudness = meter.result();
    return std::nullopt;
}

// Hands the held samples to `sink` as a decode would.
std::optional<DecodeFailure> encodeHeld(const HeldTrack &held, const AudioSource::Sink &sink,
                                        const ConvertProgress &progress,
                                        const std::atomic<bool> *stop) {
    const std::size_t total = held.left.size();
    for (std::size_t at = 0; at < total; at += kHeldBlockFrames) {
        if (stop != nullptr && stop->load())
            return DecodeFailure{"stopped", true};
        const std::size_t frames = std::min(kHeldBlockFrames, total - at);
        if (!sink(held.left.data() + at, held.right.data() + at, int(frames)))
            return DecodeFailure{"the encoder stopped", false};
        if (progress)
            progress(kMeasureShare + (1 - kMeasureShare) * double(at + frames) / double(total));
    }
    return std::nullopt;
}

// An MP3 the player plays: only its global gains change, into `output`.
std::optional<ConvertFailure>
levelAsItIs(const std::string &source, const SourceStamp &before, const std::string &output,
            const ConvertSettings &settings, const ConvertProgress &progress,
            const std::atomic<bool> *stop, std::vector<std::string> *notes) {
    // Measuring and rewriting take a fraction of a second: the start and the end are all
    // there is to show.
    if (progress)
        progress(0);
    const LevelDecision decided = gainOf(source, settings, stop, notes);
    if (decided.stopped)
        return ConvertFailure{source + ": stopped", true};
    auto made = levelledMp3Copy(source, output, settings.level, decided.gain);
    if (auto *error = std::get_if<std::string>(&made))
        return ConvertFailure{*error, false};
    if (notes != nullptr)
        for (const std::string &note : std::get<LevelledMp3>(made).notes)
            notes->push_back(note);
    const std::optional<SourceStamp> after = readSourceStamp(source);
    if (!after || !(*after == before)) {
        ::unlink(output.c_str());
        return ConvertFailure{source + ": the file changed while it was being levelled; try again",
                              false};
    }
    if (progress)
        progress(1);
    return std::nullopt;
}

} // namespace

std::string ConvertSettings::key() const {
    std::string levelling;
    if (level != LevelMode::Off) {
        levelling = "-level-" + std::string(levelModeName(level));
        if (useStoredGain)
            levelling += "-tags";
        if (levelGain)
            levelling += "-" + levelGain->key();
    }
    if (keepEncoding)
        return "asis" + levelling;
    return std::string(vbr ? "vbr" : "cbr") + std::to_string(bitRateKbps) + "-" +
           std::to_string(sampleRate) + (cover ? "-cover" : "-nocover") + levelling;
}

bool isLayer3BitRate(int kbps) {
    for (const int r : kLayer3Rates)
        if (r == kbps)
            return true;
    return false;
}

std::optional<ConvertFailure> convertFile(const std::string &source, const std::string &output,
                                          const ConvertSettings &settings,
                                          const ConvertProgress &progress,
                                          const std::atomic<bool> *stop,
                                          std::vector<std::string> *notes) {
    const std::optional<SourceStamp> before = readSourceStamp(source);
    if (!before)
        return ConvertFailure{source + ": cannot be read: " + systemReason(), false};
    return convertFile(source, *before, output, settings, progress, stop, notes);
}

std::optional<ConvertFailure>
convertFile(const std::string &source, const SourceStamp &before, const std::string &output,
            const ConvertSettings &settings, const ConvertProgress &progress,
            const std::atomic<bool> *stop, std::vector<std::string> *notes) {
    const auto fail = [&](const std::string &why) {
        return ConvertFailure{source + ": " + why, false};
    };
    if (settings.useStoredGain && settings.level != LevelMode::Off && !settings.levelGain) {
        // Its tags' gain, when they hold one, in place of a measurement.
        std::vector<std::string> warnings;
        ConvertSettings stored = settings;
        stored.useStoredGain = false;
        stored.levelGain = storedLevelGain(source, &warnings);
        if (notes != nullptr)
            notes->insert(notes->end(), warnings.begin(), warnings.end());
        return convertFile(source, before, output, stored, progress, stop, notes);
    }
    if (settings.keepEncoding)
        return levelAsItIs(source, before, output, settings, progress, stop, notes);
    auto opened = AudioSource::open(source, settings.sampleRate);
    if (auto *failure = std::get_if<DecodeFailure>(&opened))
        return fail(failure->reason);
    std::unique_ptr<AudioSource> audioSource =
        std::move(std::get<std::unique_ptr<AudioSource>>(opened));
    AudioSource *audio = audioSource.get();
    // A file larger than the memory's free room is refused by the player after all the work.
    const bool roomLimits = settings.roomBytes < settings.maxOutputBytes;
    const std::uint64_t maxBytes = roomLimits ? settings.roomBytes : settings.maxOutputBytes;
    const double limit = double(maxBytes);
    const std::string limitText = (roomLimits ? "the free room of the memory it goes to ("
                                              : "the largest file the player takes (") +
                                  sizeText(limit) + ")";
    if (const double predicted = predictedBytes(audio->declaredSeconds(), settings);
        !std::isfinite(predicted) || predicted > limit)
        return fail("its MP3 would take up to " + sizeText(predicted) + " for the " +
                    std::to_string(std::llround(audio->declaredSeconds())) +
                    " s it declares, more than " + limitText);
    const auto grewTooLarge = [&] {
        return fail("its MP3 grew past " + limitText +
                    ": the source holds more audio than it declares");
    };

    std::vector<std::uint8_t> cover;
    if (settings.cover && !audio->cover().bytes.empty()) {
        auto made = coverJpeg(audio->cover().bytes, audio->cover().codecId);
        if (auto *jpeg = std::get_if<std::vector<std::uint8_t>>(&made))
            cover = std::move(*jpeg);
        else if (notes != nullptr)
            notes->push_back(source + ": the cover is left out: " + std::get<std::string>(made));
    }
    HeldTrack held;
    bool holding = false;
    std::optional<AppliedLevel> level;
    if (settings.level != LevelMode::Off && !settings.levelGain &&
        fitsHeld(audio->declaredSeconds(), settings.sampleRate, settings.heldTrackBytes)) {
        if (auto failure =
                holdAndMeasure(*audio, settings.sampleRate, heldFrames(settings.heldTrackBytes),
                               held, progress, stop))
            return failure->stopped ? ConvertFailure{source + ": stopped", true}
                                    : fail(failure->reason);
        holding = !held.tooLong;
        if (holding) {
            const LevelDecision decided = trackDecision(source, held.loudness);
            if (!decided.gain && notes != nullptr)
                notes->push_back(decided.note);
            level = appliedLevel(decided.gain, settings.level);
        } else {
            // Too long to hold: measured by a decode of its own, then decoded again.
            auto reopened = AudioSource::open(source, settings.sampleRate);
            if (auto *failure = std::get_if<DecodeFailure>(&reopened))
                return fail(failure->reason);
            audioSource = std::move(std::get<std::unique_ptr<AudioSource>>(reopened));
            audio = audioSource.get();
        }
    }
    if (!level) {
        const LevelDecision decided = gainOf(source, settings, stop, notes);
        if (decided.stopped)
            return ConvertFailure{source + ": stopped", true};
        level = appliedLevel(decided.gain, settings.level);
    }
    const float scale = float(std::pow(10.0, level->gainDb / 20.0));
    std::vector<float> scaled;
    auto tag = tagBytes(fieldsOf(audio->tags()), audio->tags().disc, cover, level->tags);
    if (auto *error = std::get_if<std::string>(&tag))
        return fail("its tags cannot be written: " + *error);
    const auto &tagData = std::get<std::vector<std::uint8_t>>(tag);

    auto made = Mp3Encoder::create(
        EncoderSettings{settings.sampleRate, settings.bitRateKbps, settings.vbr});
    if (auto *error = std::get_if<std::string>(&made))
        return fail(*error);
    Mp3Encoder &encoder = *std::get<std::unique_ptr<Mp3Encoder>>(made);

    OutputFile out(output);
    if (!out.ok())
        return fail("cannot create " + output + ": " + systemReason());
    const auto writeFailed = [&] { return fail("cannot write " + output + ": " + systemReason()); };
    if (!out.write(tagData.data(), tagData.size()))
        return writeFailed();
    const off_t audioStart = off_t(tagData.size());

    std::vector<std::uint8_t> pending;
    pending.reserve(kWriteChunk + 8192);
    bool writeError = false;
    bool encodeError = false;
    bool tooLarge = false;
    const auto sink = [&](const float *left, const float *right, int frames) {
        if (level->gainDb != 0) {
            scaled.resize(2 * std::size_t(frames));
            for (std::size_t i = 0; i < std::size_t(frames); ++i) {
                scaled[i] = left[i] * scale;
                scaled[std::size_t(frames) + i] = right[i] * scale;
            }
            left = scaled.data();
            right = scaled.data() + frames;
        }
        if (!encoder.encode(left, right, frames, pending)) {
            encodeError = true;
            return false;
        }
        // A source may declare a shorter length than it holds (or none at all).
        if (std::uint64_t(out.written()) + pending.size() > maxBytes) {
            tooLarge = true;
            return false;
        }
        if (pending.size() >= kWriteChunk) {
            if (!out.write(pending.data(), pending.size())) {
                writeError = true;
                return false;
            }
            pending.clear();
        }
        return true;
    };
    const auto failed =
        holding ? encodeHeld(held, sink, progress, stop) : audio->decode(sink, progress, stop);
    if (const auto &failure = failed) {
        if (writeError)
            return writeFailed();
        if (encodeError)
            return fail("the MP3 encoder failed");
        if (tooLarge)
            return grewTooLarge();
        if (failure->stopped)
            return ConvertFailure{source + ": stopped", true};
        return fail(failure->reason);
    }
    if (!encoder.finish(pending))
        return fail("the MP3 encoder failed");
    if (std::uint64_t(out.written()) + pending.size() > maxBytes)
        return grewTooLarge();
    if (!out.write(pending.data(), pending.size()))
        return writeFailed();
    const std::vector<std::uint8_t> info = encoder.infoFrame();
    if (!info.empty() && !out.writeAt(info, audioStart))
        return writeFailed();
    if (!out.close())
        return writeFailed();
    const std::optional<SourceStamp> after = readSourceStamp(source);
    if (!after || !(*after == before))
        return fail("the file changed while it was being converted; try again");
    out.keep();
    return std::nullopt;
}

} // namespace tunara::media
