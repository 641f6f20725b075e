#include "conversionqueue.h"

#include <algorithm>

namespace tunara::media {

namespace {
constexpr std::size_t kAheadPerWorker = 3;

ConvertFailure stoppedFailure(const std::string &source) {
    return ConvertFailure{source + ": stopped", true};
}
} // namespace

ConversionQueue::ConversionQueue(ConversionCache &cache, ConvertSettings settings, unsigned workers,
                                 std::size_t ahead, Progress progress, Finished finished)
    : m_cache(cache), m_settings(settings),
      m_ahead(ahead != 0
                  ? ahead
                  : kAheadPerWorker *
                        std::max(1u, workers != 0 ? workers : std::thread::hardware_concurrency())),
      m_progress(std::move(progress)), m_finished(std::move(finished)) {
    const unsigned n = workers != 0 ? workers : std::max(1u, std::thread::hardware_concurrency());
    for (unsigned i = 0; i < n; ++i)
        m_threads.emplace_back([this] { work(); });
}

ConversionQueue::~ConversionQueue() {
    stop();
    {
        std::lock_guard lock(m_mutex);
        m_closing = true;
    }
    m_changed.notify_all();
    for (std::thread &t : m_threads)
        t.join();
    for (const Job &job : m_jobs)
        if (job.result)
            release(*job.result);
}

std::size_t ConversionQueue::add(std::string source) {
    return add(std::move(source), m_settings);
}

std::size_t ConversionQueue::add(std::string source, const ConvertSettings &settings) {
    return add(std::move(source), settings, nullptr, 0);
}

std::size_t ConversionQueue::add(std::string source, const ConvertSettings &settings,
                                 std::shared_ptr<AlbumLevels> album, std::size_t albumIndex) {
    std::lock_guard lock(m_mutex);
    Job &job = m_jobs.emplace_back(std::move(source), settings);
    job.album = std::move(album);
    job.albumIndex = albumIndex;
    if (m_stop.load())
        job.cancelled = true;
    m_changed.notify_all();
    return m_jobs.size() - 1;
}

void ConversionQueue::work() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [&] {
            return m_closing || (m_next < m_jobs.size() && m_next < m_consumer + m_ahead);
        });
        if (m_closing)
            return;
        const std::size_t index = m_next++;
        Job &job = m_jobs[index];
        const std::string source = job.source;
        ConvertSettings settings = job.settings;
        const std::shared_ptr<AlbumLevels> album = job.album;
        lock.unlock();
        ConversionResult result;
        std::vector<std::string> levelNotes;
        if (album && !job.cancelled.load()) {
            LevelDecision decided = album->decision(job.albumIndex, &job.cancelled);
            settings.levelGain = decided.gain;
            // A file the album's measurement could not take goes unlevelled (as it was).
            if (!decided.gain)
                settings.level = LevelMode::Off;
            levelNotes = std::move(decided.warnings);
            if (!decided.note.empty())
                levelNotes.insert(levelNotes.begin(), std::move(decided.note));
        }
        if (job.cancelled.load()) {
            result = stoppedFailure(source);
        } else {
            const ConvertProgress progress = [&](double f) {
                if (m_progress)
                    m_progress(index, f);
            };
            result = m_cache.get(source, settings, progress, &job.cancelled);
            if (auto *file = std::get_if<CachedFile>(&result))
                file->notes.insert(file->notes.begin(), levelNotes.begin(), levelNotes.end());
        }
        lock.lock();
        // Cancelled while it was converted: nobody takes the file, the cache may evict it.
        if (job.cancelled.load() && std::holds_alternative<CachedFile>(result)) {
            release(result);
            result = stoppedFailure(source);
        }
        job.result = std::move(result);
        m_changed.notify_all();
        if (m_finished) {
            lock.unlock();
            m_finished(index);
            lock.lock();
        }
    }
}

void ConversionQueue::reach(std::size_t index) {
    m_consumer = std::max(m_consumer, index);
    // A job nobody wants holds no place in the look-ahead.
    while (m_consumer + 1 < m_jobs.size() && m_jobs[m_consumer].cancelled.load())
        ++m_consumer;
    m_changed.notify_all();
}

ConversionResult ConversionQueue::takeResult(Job &job) {
    // The file is the caller's now: the destructor must not release it a second time.
    ConversionResult result = std::move(*job.result);
    job.result.reset();
    return result;
}

ConversionResult ConversionQueue::wait(std::size_t index) {
    std::unique_lock lock(m_mutex);
    if (index >= m_jobs.size())
        return ConvertFailure{"no such conversion", false};
    reach(index);
    Job &job = m_jobs[index];
    m_changed.wait(lock, [&] { return job.result.has_value(); });
    return takeResult(job);
}

std::optional<ConversionResult> ConversionQueue::poll(std::size_t index) {
    std::lock_guard lock(m_mutex);
    if (index >= m_jobs.size())
        return ConvertFailure{"no such conversion", false};
    reach(index);
    Job &job = m_jobs[index];
    if (!job.result)
        return std::nullopt;
    return takeResult(job);
}

void ConversionQueue::cancel(std::size_t index) {
    std::lock_guard lock(m_mutex);
    if (index >= m_jobs.size())
        return;
    Job &job = m_jobs[index];
    job.cancelled = true;
    if (job.result && std::holds_alternative<CachedFile>(*job.result)) {
        release(*job.result);
        job.result = stoppedFailure(job.source);
    }
    reach(m_consumer);
}

void ConversionQueue::release(const ConversionResult &result) {
    if (const auto *file = std::get_if<CachedFile>(&result))
        m_cache.release(file->path);
}

void ConversionQueue::stop() {
    std::lock_guard lock(m_mutex);
    m_stop = true;
    for (Job &job : m_jobs)
        job.cancelled = true;
    m_changed.notify_all();
}

} // namespace tunara::media
