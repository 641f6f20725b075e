// Conversions run ahead of the transfer: one worker per core takes the files in the order they
// will be sent, at most a few files ahead of the one being sent, so that the link never waits for
// a conversion that could have started earlier and memory and cache use stay bounded. Results
// come back in order. Plain C++: the window and kesto both drive it; `wait` blocks (kesto), `poll`
// and the `Finished` callback let a caller that must not block (the window) go on meanwhile.
#pragma once

#include "conversioncache.h"
#include "levelling.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

namespace tunara::media {

using ConversionResult = std::variant<CachedFile, ConvertFailure>;

class ConversionQueue {
public:
    // Called on a worker thread with the job's index and its fraction done; must not block.
    using Progress = std::function<void(std::size_t index, double fraction)>;
    // Called on a worker thread once job `index` has its result; must not block.
    using Finished = std::function<void(std::size_t index)>;

    // `workers` 0 means one per core; `ahead` 0 means three per worker.
    ConversionQueue(ConversionCache &cache, ConvertSettings settings, unsigned workers = 0,
                    std::size_t ahead = 0, Progress progress = {}, Finished finished = {});
    ~ConversionQueue(); // stops what runs and waits for the workers
    ConversionQueue(const ConversionQueue &) = delete;
    ConversionQueue &operator=(const ConversionQueue &) = delete;

    // Adds a source file, converted with the queue's settings or with `settings`; its index
    // (0, 1, ...) in the order of adding. Any thread.
    std::size_t add(std::string source);
    std::size_t add(std::string source, const ConvertSettings &settings);
    // The same for file `albumIndex` of `album` (settings.level Album): the job takes its gain
    // from the album, measured by the first of its jobs that runs, before it converts.
    std::size_t add(std::string source, const ConvertSettings &settings,
                    std::shared_ptr<AlbumLevels> album, std::size_t albumIndex);
    // Waits for job `index` and returns its result; jobs after it may then start. The result's
    // file stays in the cache until release(). Call in increasing index order, one thread.
    ConversionResult wait(std::size_t index);
    // Job `index` is the next one wanted (jobs after it may start), as in wait(); its result
    // when it has one, else nothing. Does not block.
    std::optional<ConversionResult> poll(std::size_t index);
    // Job `index` is not wanted any more: it does not start, or stops where it runs; a result
    // not yet taken is let go. Any thread.
    void cancel(std::size_t index);
    // Lets the cache evict the file of a result again.
    void release(const ConversionResult &result);
    // Stops the conversions: running ones end with a "stopped" failure, waiting ones too.
    void stop();
    bool stopped() const { return m_stop.load(); }

    unsigned workers() const { return unsigned(m_threads.size()); }

private:
    struct Job {
        Job(std::string s, const ConvertSettings &c) : source(std::move(s)), settings(c) {}
        std::string source;
        ConvertSettings settings;
        std::shared_ptr<AlbumLevels> album; // null: the settings carry the gain, if any
        std::size_t albumIndex = 0;
        std::atomic<bool> cancelled{false}; // by cancel() or stop(); the converter watches it
        std::optional<ConversionResult> result;
    };

    void work();
    // Moves the caller's position to `index`, past jobs nobody wants. m_mutex held.
    void reach(std::size_t index);
    ConversionResult takeResult(Job &job);

    ConversionCache &m_cache;
    const ConvertSettings m_settings;
    const std::size_t m_ahead;
    Progress m_progress;
    Finished m_finished;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Job> m_jobs;     // a deque: a worker's reference to its job survives add()
    std::size_t m_next = 0;     // the next job a worker takes
    std::size_t m_consumer = 0; // the job the caller waits for or sends
    bool m_closing = false;
    std::vector<std::thread> m_threads;
};

} // namespace tunara::media
