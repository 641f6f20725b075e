#include "queueconversions.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <variant>

#include <unistd.h>

namespace tunara::transfer {

namespace {
constexpr double FullPercent = 100.0;
} // namespace

QueueConversions::QueueConversions(QObject *parent) : QObject(parent), m_links("tunara-send") {}

QueueConversions::~QueueConversions() {
    // The workers post to this object: they end before it does.
    m_queue.reset();
}

std::size_t QueueConversions::add(const QString &source, const media::ConvertSettings &settings) {
    return add(source, settings, nullptr, 0);
}

std::size_t QueueConversions::add(const QString &source, const media::ConvertSettings &settings,
                                  std::shared_ptr<media::AlbumLevels> album,
                                  std::size_t albumIndex) {
    if (!m_queue) {
        m_cache = std::make_unique<media::ConversionCache>(media::ConversionCache::defaultDir());
        m_queue = std::make_unique<media::ConversionQueue>(
            *m_cache, settings, 0, 0,
            [this](std::size_t job, double fraction) { onProgress(job, fraction); },
            [this](std::size_t job) {
                QMetaObject::invokeMethod(
                    this, [this, job] { emit finished(job); }, Qt::QueuedConnection);
            });
    }
    return m_queue->add(QFile::encodeName(source).toStdString(), settings, std::move(album),
                        albumIndex);
}

void QueueConversions::onProgress(std::size_t job, double fraction) {
    const int pct = std::clamp(int(fraction * FullPercent), 0, int(FullPercent));
    {
        std::lock_guard lock(m_percentMutex);
        int &shown = m_percent[job];
        if (shown == pct)
            return;
        shown = pct;
    }
    QMetaObject::invokeMethod(
        this, [this, job, pct] { emit progressed(job, pct); }, Qt::QueuedConnection);
}

int QueueConversions::percent(std::size_t job) const {
    std::lock_guard lock(m_percentMutex);
    const auto it = m_percent.find(job);
    return it == m_percent.end() ? 0 : it->second;
}

QueueConversions::Outcome QueueConversions::take(std::size_t job, const QString &playerName) {
    Outcome out;
    if (!m_queue) {
        out.state = Outcome::State::Failed;
        out.message = QStringLiteral("%1: no conversion was started").arg(playerName);
        return out;
    }
    std::optional<media::ConversionResult> result = m_queue->poll(job);
    if (!result)
        return out;
    {
        std::lock_guard lock(m_percentMutex);
        m_percent.erase(job);
    }
    if (const auto *failure = std::get_if<media::ConvertFailure>(&*result)) {
        out.state = Outcome::State::Failed;
        out.message = QString::fromStdString(failure->message);
        return out;
    }
    const auto &file = std::get<media::CachedFile>(*result);
    const std::string link = m_links.link(file.path, QFile::encodeName(playerName).toStdString());
    if (link.empty()) {
        const QString why = QString::fromLocal8Bit(std::strerror(errno));
        m_queue->release(*result);
        out.state = Outcome::State::Failed;
        out.message = QStringLiteral("%1: %2").arg(playerName, why);
        return out;
    }
    out.state = Outcome::State::Ready;
    out.sendPath = QFile::decodeName(QByteArray::fromStdString(link));
    out.cachedPath = QFile::decodeName(QByteArray::fromStdString(file.path));
    return out;
}

QueueConversions::Outcome QueueConversions::linkAs(const QString &source,
                                                   const QString &playerName) {
    Outcome out;
    std::error_code ec;
    const std::filesystem::path target =
        std::filesystem::absolute(QFile::encodeName(source).toStdString(), ec);
    const std::string link =
        ec ? std::string() : m_links.link(target, QFile::encodeName(playerName).toStdString());
    if (link.empty()) {
        out.state = Outcome::State::Failed;
        out.message = QStringLiteral("%1: %2").arg(
            playerName, ec ? QString::fromStdString(ec.message())
                           : QString::fromLocal8Bit(std::strerror(errno)));
        return out;
    }
    out.state = Outcome::State::Ready;
    out.sendPath = QFile::decodeName(QByteArray::fromStdString(link));
    return out;
}

void QueueConversions::sendEnded(const Outcome &ready) {
    if (ready.state != Outcome::State::Ready)
        return;
    ::unlink(QFile::encodeName(ready.sendPath).constData());
    // A file linked as it is was never in the cache.
    if (m_cache && !ready.cachedPath.isEmpty())
        m_cache->release(QFile::encodeName(ready.cachedPath).toStdString());
}

void QueueConversions::drop(std::size_t job) {
    if (m_queue)
        m_queue->cancel(job);
    std::lock_guard lock(m_percentMutex);
    m_percent.erase(job);
}

} // namespace tunara::transfer
