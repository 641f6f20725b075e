// The window's one connection to the player: every library call of the window runs here, one at
// a time and in the order asked, on the link's own thread, so that a slow or wedged player never
// holds up the window. A call's result is copied back to the window's thread and handed to the
// continuation given with it; while calls are queued or running the busy pointer shows and
// busy() holds, which the command rules consult.
#pragma once

#include <KestoUSB.h>

#include <QByteArray>
#include <QEventLoop>
#include <QObject>
#include <QPointer>
#include <QThread>
#include <QVariant>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

namespace tunara::device {

// What a call that succeeds or fails answers: the library's error code after a failure, and
// whether a player that was not reached is held by another program.
struct CallReply {
    bool ok = false;
    int code = 0;
    bool inUse = false;
};

// A memory's file table as the player sent it (shared, never changed once read).
struct TableReply : CallReply {
    std::shared_ptr<const KSUSB_TOpenTable> table;
};

// The connection attempt of Refresh (after its first look at the flags): whether the player
// answered the version and status questions (else `code`), its status record, and the flags.
struct ConnectReply : CallReply {
    bool infoOk = false;
    KSPlayerStatus status{};
    unsigned flagsAfter = 0;
};

// The link thread's side: runs the jobs it is handed and reports each result.
class PlayerLinkWorker : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    void run(quint64 ticket, const std::function<QVariant()> &job) {
        // The link is going: what was queued for the window is dropped.
        if (m_closing)
            return;
        emit started(ticket);
        emit finished(ticket, job());
        // A table read ahead is only good for the call right after it.
        m_prefetched.reset();
    }
    void close() { m_closing = true; }
    bool closing() const { return m_closing; }
    // The table read ahead after a download (link thread only): taken once, by a table-only
    // read of the same memory.
    void keepPrefetched(unsigned char memory, TableReply reply) {
        m_prefetched.emplace(memory, std::move(reply));
    }
    std::optional<TableReply> takePrefetched(unsigned char memory) {
        std::optional<TableReply> taken;
        if (m_prefetched && m_prefetched->first == memory)
            taken = std::move(m_prefetched->second);
        m_prefetched.reset();
        return taken;
    }

signals:
    void started(quint64 ticket);
    void finished(quint64 ticket, const QVariant &result);

private:
    std::atomic<bool> m_closing{false};
    std::optional<std::pair<unsigned char, TableReply>> m_prefetched;
};

class PlayerLink : public QObject {
    Q_OBJECT
public:
    explicit PlayerLink(QObject *parent = nullptr);
    // Waits for the call in progress (the library gives up within its own limits) and for the
    // work handed to finally(); calls still queued are dropped.
    ~PlayerLink() override;
    PlayerLink(const PlayerLink &) = delete;
    PlayerLink &operator=(const PlayerLink &) = delete;

    // Queues `work` (run on the link thread; it may call the library and nothing of the window)
    // and, once it returned, runs `done` with a copy of its result on the link's owner thread,
    // unless `context` has gone by then. busy() is already false when `done` runs if nothing
    // else is queued, so that `done` may show a message or queue the next call.
    // `started`, when given, runs on the owner thread once the call begins (its status text).
    template <class Work, class Done>
    void call(QObject *context, Work work, Done done, std::function<void()> started = {}) {
        using Result = std::invoke_result_t<Work &>;
        enqueue(
            context, [w = std::move(work)]() mutable { return QVariant::fromValue(w()); },
            [d = std::move(done)](const QVariant &v) mutable { d(v.value<Result>()); },
            std::move(started));
    }

    // Runs `work` on the link and waits for its result in a local event loop, so that the
    // window goes on painting and taking input (a Stop button) meanwhile. For flows written as
    // one sequence of calls (the service tools).
    template <class Work>
    std::invoke_result_t<Work &> await(Work work) {
        using Result = std::invoke_result_t<Work &>;
        std::optional<Result> result;
        QEventLoop loop;
        call(&loop, std::move(work), [&result, &loop](Result r) {
            result = std::move(r);
            loop.quit();
        });
        if (!result)
            loop.exec();
        return result.value_or(Result{});
    }

    // The window's calls (playercalls.cpp). Each `done` runs on the owner thread, as for call().
    void connectPlayer(QObject *context, std::function<void(const ConnectReply &)> done);
    // Whether the player is connected (asked twice: the first answer may be stale).
    void checkConnect(QObject *context, std::function<void(bool)> done);
    // The player's status flags (0 also when it could not be asked).
    void pollFlags(QObject *context, std::function<void(unsigned)> done);
    // The memory's table, after the player's version and status (RefreshMemory); `tableOnly`:
    // the table alone (KSUSB_RefreshMemory), when nothing but the files can have changed.
    void readTable(QObject *context, unsigned char memory,
                   std::function<void(const TableReply &)> done, std::function<void()> started,
                   bool tableOnly = false);
    void deleteFile(QObject *context, unsigned char memory, const QByteArray &name,
                    std::function<void(const CallReply &)> done);
    // `longNames`: the player takes long names; else the 8.3 call is used.
    void renameFile(QObject *context, unsigned char memory, const QByteArray &oldName,
                    const QByteArray &newName, bool longNames,
                    std::function<void(const CallReply &)> done);
    void formatMemory(QObject *context, unsigned char memory,
                      std::function<void(const CallReply &)> done);
    // A position is one byte on the wire: 256 travels as 0.
    void setPosition(QObject *context, unsigned char memory, const QByteArray &name,
                     unsigned char position, std::function<void(const CallReply &)> done);

    // Once a download started on the link has ended, reads `memory`'s table at once on the
    // link, while the window is still taking the news of the end; the table-only readTable()
    // of that memory that comes next answers with it, unless another call ran in between.
    // `ended` runs on the link and waits a while for the transfer's end: 1 the file arrived,
    // 0 it did not (or nobody waits for it any more), -1 it still runs. Nothing is read after
    // 0, nor when the link goes meanwhile.
    void prefetchTableAfter(unsigned char memory, std::function<int()> ended);

    // Runs `work` on the link thread after the calls queued before it, even when the link goes
    // meanwhile: its destructor waits for it. Nothing is reported back; for leaving the player
    // in order (a transfer stopped) while the window closes.
    void finally(std::function<void()> work);

    // A player call is queued or running.
    bool busy() const { return !m_waiting.empty(); }
    // How many links of the process are busy, and how many calls they have been given (tests
    // wait until no call runs and none starts).
    static int busyLinks() { return s_busyLinks; }
    static quint64 callsQueued() { return s_callsQueued; }

signals:
    void busyChanged(bool busy);

private:
    struct Pending {
        QPointer<QObject> context;
        bool hasContext = false;
        std::function<void(const QVariant &)> done;
        std::function<void()> started;
    };
    void enqueue(QObject *context, std::function<QVariant()> work,
                 std::function<void(const QVariant &)> done, std::function<void()> started);
    void onStarted(quint64 ticket);
    void onFinished(quint64 ticket, const QVariant &result);
    void setBusy(bool busy);

    QThread m_thread;
    PlayerLinkWorker *m_worker = nullptr; // lives on m_thread; deleted after it ends
    std::map<quint64, Pending> m_waiting;
    quint64 m_nextTicket = 1;
    bool m_busyShown = false;
    static int s_busyLinks;
    static quint64 s_callsQueued;
};

} // namespace tunara::device
