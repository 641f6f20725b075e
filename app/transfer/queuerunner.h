// Moves one queue entry at a time: the library's start call (on the player link) and the
// worker's notifications that follow it (start, progress, done, failed), handed on as signals on
// the window's thread. Progress arrives folded: one signal with the latest count however many
// blocks went meanwhile.
#pragma once

#include <QByteArray>
#include <QObject>

#include <cstdint>
#include <memory>

namespace tunara::device {
class PlayerLink;
}

namespace tunara::transfer {

class NotifyBridge;

class QueueRunner : public QObject {
    Q_OBJECT
public:
    // Bytes between progress notifications asked of the library.
    static constexpr std::uint32_t ProgressStep = 10000;

    explicit QueueRunner(device::PlayerLink &link, QObject *parent = nullptr);
    // A worker that still runs is stopped and given a moment to end, so that it leaves the
    // player alone; a start call still on the link stops its own worker.
    ~QueueRunner() override;
    QueueRunner(const QueueRunner &) = delete;
    QueueRunner &operator=(const QueueRunner &) = delete;

    // Starts a download of `local` into `memory`, or an upload of the player's `remote` there to
    // `local`. Answers with refused() or with the worker's signals.
    void run(unsigned char memory, bool download, const QByteArray &local,
             const QByteArray &remote);
    // Arms the download of `local` into `memory` to begin on the player link the moment the
    // running download has arrived and its memory's table is read, without waiting for the
    // window; it reports through the same signals as one run() started (refused() too), or,
    // when it will not begin though the download before it arrived, with declined().
    // False when it came too late: the running download has arrived and nothing followed it.
    bool armFollowing(unsigned char memory, const QByteArray &local);
    // Whether the download armed began on the link; then, or unless `keepArmed`, it is no
    // longer armed. Once for each armFollowing(), or until it answers true.
    bool takeBackFollowing(bool keepArmed = false);
    // The window has heard that the download before the one armed arrived: once the calls
    // queued before have run, the link waits for the end of the armed one, if it began, to
    // begin the next armed after it.
    void settleFollowing();
    // Runs `done` once the calls queued on the link before have answered, unless `context`
    // went.
    void afterLinkCalls(QObject *context, std::function<void()> done);
    // The start call is on the player link.
    bool calling() const { return m_calling; }
    // The target the library's worker posts to; it lives until the worker's last notification.
    std::weak_ptr<const NotifyBridge> notifyBridge() const { return m_bridge; }

signals:
    // The start call has reached the player link (the calls queued before it have answered).
    void announcing();
    void refused(int code);
    void started(std::intptr_t total);
    void progress(std::intptr_t done);
    void done(std::intptr_t moved);
    void failed(int code);
    void declined();

protected:
    void customEvent(QEvent *event) override;

private:
    device::PlayerLink &m_link;
    // Shared with the running worker, which lets go of it after its last notification.
    std::shared_ptr<NotifyBridge> m_bridge;
    bool m_calling = false;
    quint64 m_download = 0; // the link's number of the download started last
    quint64 m_armed = 0;    // the number the download armed gets if it begins
};

} // namespace tunara::transfer
