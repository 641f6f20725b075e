// The library worker's notices (progress, done, failed), taken in order on the test's thread.
#pragma once

#include "KestoUSB.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>

namespace kestousb::test {

class Notices : public KSNotifyTarget {
public:
    using Notice = std::pair<uintptr_t, intptr_t>; // what, value

    Notices() { post = thunk; }
    // The next notice; nullopt when none came within `limit`.
    std::optional<Notice> next(std::chrono::seconds limit) {
        std::unique_lock lock(m_mutex);
        if (!m_ready.wait_for(lock, limit, [this] { return !m_queue.empty(); }))
            return std::nullopt;
        const Notice n = m_queue.front();
        m_queue.pop_front();
        return n;
    }
    // The transfer's last notice (3 done, 4 failed) and its value; nullopt when the worker
    // went silent for `limit`.
    std::optional<Notice> end(std::chrono::seconds limit = std::chrono::seconds(60)) {
        for (;;) {
            const auto n = next(limit);
            if (!n || n->first == KSUSB_XFER_DONE || n->first == KSUSB_XFER_FAILED)
                return n;
        }
    }

private:
    static void thunk(KSNotifyTarget *self, unsigned int, uintptr_t what, intptr_t value) {
        auto *n = static_cast<Notices *>(self);
        std::lock_guard lock(n->m_mutex);
        n->m_queue.emplace_back(what, value);
        n->m_ready.notify_all();
    }
    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<Notice> m_queue;
};

} // namespace kestousb::test
