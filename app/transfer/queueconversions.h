// The conversions of the queue's downloads that the player cannot play: they run ahead of the
// transfer on the conversion queue's workers (one per core, started with the first such row)
// in queue order, into the conversion cache; the window's thread only hears of their progress
// and ends and takes finished files, it never waits for one. A converted file is sent through
// a link named as the player's name for it.
#pragma once

#include "media/conversionqueue.h"
#include "media/linkfolder.h"

#include <QObject>
#include <QString>

#include <cstddef>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace tunara::transfer {

class QueueConversions : public QObject {
    Q_OBJECT
public:
    // What take() found.
    struct Outcome {
        enum class State { Converting, Ready, Failed } state = State::Converting;
        QString sendPath;   // Ready: the path the library is given (its name is the player's)
        QString cachedPath; // Ready: the converted file, kept in the cache until sendEnded()
        QString message;    // Failed: the converter's message, naming the file
    };

    explicit QueueConversions(QObject *parent = nullptr);
    // Stops what converts and waits for the workers (the converter looks at its stop flag
    // often, so this is short).
    ~QueueConversions() override;
    QueueConversions(const QueueConversions &) = delete;
    QueueConversions &operator=(const QueueConversions &) = delete;

    // Starts converting `source` with `settings`, after the conversions added before it. The
    // job's number, rising with every call. UI thread.
    std::size_t add(const QString &source, const media::ConvertSettings &settings);
    // The same for file `albumIndex` of `album`, whose gain the job takes from the album.
    std::size_t add(const QString &source, const media::ConvertSettings &settings,
                    std::shared_ptr<media::AlbumLevels> album, std::size_t albumIndex);
    // The run has reached `job`: its file ready to send under `playerName`, its failure, or
    // still converting (progressed() and finished() follow). Ready and Failed are told once.
    Outcome take(std::size_t job, const QString &playerName);
    // A file sent as it is under `playerName`, another name than its own: Ready with a link of
    // that name to `source`, or Failed (the reason, naming the file). sendEnded() removes it.
    Outcome linkAs(const QString &source, const QString &playerName);
    // The library is done with a file take() or linkAs() made ready: its link goes, the cache may
    // evict it.
    void sendEnded(const Outcome &ready);
    // The job is not wanted any more (its row went): it stops or never starts.
    void drop(std::size_t job);
    // The last whole percent reported for `job`.
    int percent(std::size_t job) const;

signals:
    // On the UI thread, once per whole percent and once at the end.
    void progressed(std::size_t job, int percent);
    void finished(std::size_t job);

private:
    void onProgress(std::size_t job, double fraction); // a worker thread

    std::unique_ptr<media::ConversionCache> m_cache;
    std::unique_ptr<media::ConversionQueue> m_queue; // made with the first job
    media::LinkFolder m_links;
    mutable std::mutex m_percentMutex;
    std::unordered_map<std::size_t, int> m_percent; // guarded by m_percentMutex
};

} // namespace tunara::transfer
