// Volume levelling on the way to the player: the gain each file gets, decided before it is
// sent (an album's tracks measured together, before the first of them is encoded), applied in
// the converter's float path to a file that is converted and as a lossless rewrite of the
// global gains to an MP3 the player plays as it is. The user's files are only read.
#pragma once

#include "levelmode.h"
#include "loudness.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace tunara::media {

// What was measured of one file, to -18 LUFS.
struct LevelGain {
    double trackGainDb = 0;
    double trackPeak = 0; // linear, 1.0 = full scale; 0 when not known
    std::optional<double> albumGainDb;
    std::optional<double> albumPeak;

    // The gain `mode` asks for: the album's in album mode (the track's when the album has none),
    // else the track's; 0 when off.
    double wantedDb(LevelMode mode) const;
    // The peak that limits it: the album's in album mode, so that the tracks keep their
    // differences, else the track's.
    double limitingPeak(LevelMode mode) const;
    // The values as text for a cache key: every value that changes a byte of the file made.
    std::string key() const;
};

// One file to level and the peak that counts for it: the sample peak is what a decoder meets
// (as mp3GainSteps() expects) and costs a fraction of the true peak's 4x oversampling.
struct LevelSource {
    std::string path;
    PeakMode peak = PeakMode::Sample;
    // The gains its tags hold (ReplayGain, R128) are taken instead of a measurement, when they
    // are whole: a gain with its peak, for an album every file's album gain and peak.
    bool useStoredGain = false;
};

struct LevelDecision {
    std::optional<LevelGain> gain; // nullopt: the file gets no gain, `note` says why
    std::string note;              // names the file
    bool stopped = false;
    std::vector<std::string> warnings; // stored gains that could not be read, naming the file
};

// The decision for the track at `path` measured as `loudness`: its gain, or, when it was too
// short or silent to measure (nullopt), none and a note that says so.
LevelDecision trackDecision(const std::string &path, const std::optional<Loudness> &loudness);

// The gain the tags of `path` hold, when they hold a track gain and its peak (and the album's,
// when they hold both of those too); `warnings` gets a line naming the file for each value that
// is there but cannot be read. Blocks; any thread.
std::optional<LevelGain> storedLevelGain(const std::string &path,
                                         std::vector<std::string> *warnings);

class LoudnessCache;

// The gains of the files of one album (or of one file): each measured by a decode of its own;
// with `mode` Album the album's loudness too, pooled over the files that could be measured.
// With `mode` Off nothing is read and no file gets a gain. With a `cache`, what it kept for the
// files in their present state is taken, and what is measured is kept. Blocks; any thread.
std::vector<LevelDecision> decideLevels(std::span<const LevelSource> files, LevelMode mode,
                                        const std::atomic<bool> *stop = nullptr,
                                        const LoudnessCache *cache = nullptr);

// The gains of one album's files, measured once by whichever conversion needs one first; the
// others wait for it, so no track is encoded before the album is measured. Thread-safe.
class AlbumLevels {
public:
    // An album of `files`, complete; measured with `cache` (none: measured every time).
    explicit AlbumLevels(std::vector<LevelSource> files,
                         std::shared_ptr<const LoudnessCache> cache = nullptr);
    // An album whose files are added one by one (as a queue is filled) until seal().
    explicit AlbumLevels(std::shared_ptr<const LoudnessCache> cache = nullptr);
    // Adds a file; its index in the album. Nothing after seal().
    std::size_t add(LevelSource file);
    // The album is complete: decisions may be made.
    void seal();
    // The decision for file `index`, once the album is sealed (it waits until then, or until
    // `stop`). A measurement `stop` ends is not kept: the next call measures again. Blocks.
    LevelDecision decision(std::size_t index, const std::atomic<bool> *stop);

private:
    std::mutex m_mutex;
    std::condition_variable m_sealedChanged;
    bool m_sealed = false;
    std::vector<LevelSource> m_files;
    std::vector<LevelDecision> m_decisions; // empty until measured
    std::shared_ptr<const LoudnessCache> m_cache;
};

struct LevelledMp3 {
    int steps = 0; // global-gain steps of 1.5 dB applied (negative: quieter)
    std::vector<std::string> notes;
};

// Writes at `output` (a new file) the MP3 `source` levelled for `mode` by `gain` without
// re-encoding it: every granule's global gain moved by mp3GainSteps() of the wanted gain,
// rounded toward the quieter side where the peak would pass -1 dBFS. With no gain (nullopt:
// the file could not be measured) the copy is the source byte for byte. The frames keep their
// count and the file its length. Never writes the source. On failure nothing is left at
// `output` and the reason, naming the file, is returned. Blocks; any thread.
std::variant<LevelledMp3, std::string> levelledMp3Copy(const std::string &source,
                                                       const std::string &output, LevelMode mode,
                                                       const std::optional<LevelGain> &gain);

} // namespace tunara::media
