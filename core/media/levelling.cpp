#include "levelling.h"

#include "gaintags.h"
#include "loudnesscache.h"
#include "mp3level.h"

#include <chrono>
#include <cstdio>

namespace tunara::media {

double LevelGain::wantedDb(LevelMode mode) const {
    switch (mode) {
    case LevelMode::Off:
        return 0;
    case LevelMode::Track:
        return trackGainDb;
    case LevelMode::Album:
        return albumGainDb.value_or(trackGainDb);
    }
    return 0;
}

double LevelGain::limitingPeak(LevelMode mode) const {
    return mode == LevelMode::Album && albumGainDb ? albumPeak.value_or(trackPeak) : trackPeak;
}

std::string LevelGain::key() const {
    // Hundredths of a dB and six digits of a peak: what the tags carry, and finer than any
    // difference that could be heard.
    char text[96];
    std::snprintf(text, sizeof text, "t%+.2f/%.6f", trackGainDb, trackPeak);
    std::string k = text;
    if (albumGainDb) {
        std::snprintf(text, sizeof text, "-a%+.2f/%.6f", *albumGainDb, albumPeak.value_or(0.0));
        k += text;
    }
    return k;
}

LevelDecision trackDecision(const std::string &path, const std::optional<Loudness> &loudness) {
    LevelDecision d;
    if (loudness)
        d.gain = LevelGain{loudness->gainDb(), loudness->peak, {}, {}};
    else
        d.note = path + ": too short or silent to measure: no gain";
    return d;
}

std::optional<LevelGain> storedLevelGain(const std::string &path,
                                         std::vector<std::string> *warnings) {
    const StoredGain stored = readStoredGain(path);
    if (warnings != nullptr)
        for (const std::string &w : stored.warnings)
            warnings->push_back(path + ": " + w);
    if (!stored.trackGainDb || !stored.trackPeak)
        return std::nullopt;
    LevelGain gain{*stored.trackGainDb, *stored.trackPeak, {}, {}};
    if (stored.albumGainDb && stored.albumPeak) {
        gain.albumGainDb = stored.albumGainDb;
        gain.albumPeak = stored.albumPeak;
    }
    return gain;
}

namespace {

// The stored gains of `files` for `mode`, when every file that asks for them holds what the
// mode needs (for an album every file asks and holds its album's gain); else nothing is taken
// and the files are measured. The warnings go to the decisions either way.
bool takeStoredGains(std::span<const LevelSource> files, LevelMode mode,
                     std::vector<LevelDecision> &decisions) {
    std::vector<std::optional<LevelGain>> stored(files.size());
    bool whole = true;
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (!files[i].useStoredGain) {
            whole = whole && mode != LevelMode::Album;
            continue;
        }
        stored[i] = storedLevelGain(files[i].path, &decisions[i].warnings);
        if (!stored[i] || (mode == LevelMode::Album && !stored[i]->albumGainDb))
            whole = false;
    }
    bool any = false;
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (mode == LevelMode::Album ? whole : stored[i].has_value()) {
            decisions[i].gain = stored[i];
            any = true;
        }
    }
    return any;
}

} // namespace

std::vector<LevelDecision> decideLevels(std::span<const LevelSource> files, LevelMode mode,
                                        const std::atomic<bool> *stop, const LoudnessCache *cache) {
    std::vector<LevelDecision> decisions(files.size());
    if (mode == LevelMode::Off)
        return decisions;
    // An album whose tags hold its gain is not measured; a track that holds its own is not.
    if (takeStoredGains(files, mode, decisions) && mode == LevelMode::Album)
        return decisions;
    // Measured before, in the state the files are in now: taken as kept (the tags' warnings
    // are said again).
    const std::optional<std::string> key =
        cache != nullptr ? cache->keyOf(files, mode) : std::nullopt;
    if (key) {
        if (auto kept = cache->find(*key, files.size())) {
            for (std::size_t i = 0; i < files.size(); ++i)
                (*kept)[i].warnings = std::move(decisions[i].warnings);
            return std::move(*kept);
        }
    }
    const auto keepMeasured = [&] {
        // Kept only when no file changed while it was measured.
        if (key && cache->keyOf(files, mode) == key)
            cache->keep(*key, decisions);
    };
    std::vector<MeasuredFile> measured(files.size());
    std::vector<const LoudnessMeter *> meters;
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (decisions[i].gain)
            continue; // its tags held it
        auto result = measureFile(files[i].path, files[i].peak, stop);
        if (auto *failure = std::get_if<DecodeFailure>(&result)) {
            decisions[i].stopped = failure->stopped || (stop != nullptr && stop->load());
            decisions[i].note =
                files[i].path + ": cannot be measured, so it is not levelled: " + failure->reason;
            if (decisions[i].stopped)
                return decisions;
            continue;
        }
        measured[i] = std::move(std::get<MeasuredFile>(result));
        LevelDecision measuredNow = trackDecision(files[i].path, measured[i].loudness);
        decisions[i].gain = measuredNow.gain;
        decisions[i].note = std::move(measuredNow.note);
        if (decisions[i].gain)
            meters.push_back(measured[i].meter.get());
    }
    if (mode == LevelMode::Album) {
        const std::optional<Loudness> album = albumLoudness(meters);
        for (LevelDecision &d : decisions) {
            if (!d.gain || !album)
                continue;
            d.gain->albumGainDb = album->gainDb();
            d.gain->albumPeak = album->peak;
        }
    }
    keepMeasured();
    return decisions;
}

AlbumLevels::AlbumLevels(std::vector<LevelSource> files, std::shared_ptr<const LoudnessCache> cache)
    : m_sealed(true), m_files(std::move(files)), m_cache(std::move(cache)) {}

AlbumLevels::AlbumLevels(std::shared_ptr<const LoudnessCache> cache) : m_cache(std::move(cache)) {}

std::size_t AlbumLevels::add(LevelSource file) {
    std::lock_guard lock(m_mutex);
    m_files.push_back(std::move(file));
    return m_files.size() - 1;
}

void AlbumLevels::seal() {
    {
        std::lock_guard lock(m_mutex);
        m_sealed = true;
    }
    m_sealedChanged.notify_all();
}

LevelDecision AlbumLevels::decision(std::size_t index, const std::atomic<bool> *stop) {
    std::unique_lock lock(m_mutex);
    // The stop flag is a plain atomic: it is looked at now and then.
    constexpr auto kStopPoll = std::chrono::milliseconds(50);
    while (!m_sealed) {
        if (stop != nullptr && stop->load())
            return LevelDecision{std::nullopt, "stopped", true, {}};
        m_sealedChanged.wait_for(lock, kStopPoll);
    }
    if (index >= m_files.size())
        return LevelDecision{std::nullopt, "no such file of the album", false, {}};
    if (m_decisions.empty()) {
        std::vector<LevelDecision> made =
            decideLevels(m_files, LevelMode::Album, stop, m_cache.get());
        for (const LevelDecision &d : made)
            if (d.stopped)
                return LevelDecision{std::nullopt, m_files[index].path + ": stopped", true, {}};
        m_decisions = std::move(made);
    }
    return m_decisions[index];
}

std::variant<LevelledMp3, std::string> levelledMp3Copy(const std::string &source,
                                                       const std::string &output, LevelMode mode,
                                                       const std::optional<LevelGain> &gain) {
    LevelledMp3 made;
    if (gain && mode != LevelMode::Off)
        made.steps = mp3GainSteps(gain->wantedDb(mode), gain->limitingPeak(mode));
    Mp3LevelReport report;
    if (auto failure = levelMp3File(source, output, made.steps, &report))
        return source + ": " + *failure;
    for (const std::string &note : report.notes)
        made.notes.push_back(source + ": " + note);
    return made;
}

} // namespace tunara::media
