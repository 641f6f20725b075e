#include "conversionqueue.h"

#include <algorithm>

namespace tunara::media {

namespace {
constexpr std::size_t kAheadPerWorker = 3;
}

ConversionQueue::ConversionQueue(ConversionCache &cache, ConvertSettings settings, unsigned workers,
                                 std::size_t ahead, Progress progress)
    : m_cache(cache), m_settings(settings),
      m_ahead(ahead != 0
                  ? ahead
                  : kAheadPerWorker *
                        std::max(1u, workers != 0 ? workers : std::thread::hardware_concurrency())),
      m_progress(std::move(progress)) {
    const unsigned n = workers != 0 ? workers : std::max(1u, std::thread::hardware_concurrency());
    for (unsigned i = 0; i < n; ++i)
        m_threads.emplace_back([this] { work(); });
}

ConversionQueue::~ConversionQueue() {
    {
        std::lock_guard lock(m_mutex);
        m_closing = true;
    }
    m_stop = true;
    m_changed.notify_all();
    for (std::thread &t : m_threads)
        t.join();
    for (const auto &r : m_results)
        if (r)
            release(*r);
}

std::size_t ConversionQueue::add(std::string source) {
    std::lock_guard lock(m_mutex);
    m_sources.push_back(std::move(source));
    m_results.emplace_back();
    m_changed.notify_all();
    return m_sources.size() - 1;
}

void ConversionQueue::work() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [&] {
            return m_closing || (m_next < m_sources.size() && m_next < m_consumer + m_ahead);
        });
        if (m_closing)
            return;
        const std::size_t index = m_next++;
        const std::string source = m_sources[index];
        lock.unlock();
        ConversionResult result;
        if (m_stop.load()) {
            result = ConvertFailure{source + ": stopped", true};
        } else {
            const ConvertProgress progress = [&](double f) {
                if (m_progress)
                    m_progress(index, f);
            };
            result = m_cache.get(source, m_settings, progress, &m_stop);
        }
        lock.lock();
        m_results[index] = std::move(result);
        m_changed.notify_all();
    }
}

ConversionResult ConversionQueue::wait(std::size_t index) {
    std::unique_lock lock(m_mutex);
    if (index >= m_results.size())
        return ConvertFailure{"no such conversion", false};
    m_consumer = std::max(m_consumer, index);
    m_changed.notify_all();
    m_changed.wait(lock, [&] { return m_results[index].has_value(); });
    // The file is the caller's now: the destructor must not release it a second time.
    ConversionResult result = std::move(*m_results[index]);
    m_results[index].reset();
    return result;
}

void ConversionQueue::release(const ConversionResult &result) {
    if (const auto *file = std::get_if<CachedFile>(&result))
        m_cache.release(file->path);
}

void ConversionQueue::stop() {
    m_stop = true;
    m_changed.notify_all();
}

} // namespace tunara::media
