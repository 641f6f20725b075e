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
#include <mutex>
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

// A download the link starts on its own the moment the one before it has arrived, so that a
// file's end and the next file's start do not wait for the window. The window arms it and takes
// it back; the link begins it only while it is armed. Any thread.
class FollowUp {
public:
    // Starts the download on the link thread: the wait for its end (as prefetchTableAfter's
    // `ended`), or nothing when it did not start.
    using Start = std::function<std::function<int()>()>;
    // Told, on any thread, that what was armed under the number given will not begin though
    // the download before it arrived (its table could not be read, or another call goes to
    // the player first).
    using Declined = std::function<void(quint64 armed)>;

    // A number for a download started otherwise (prefetchTableAfter's `download`).
    quint64 newId();
    // Armed to follow the download numbered `after` into `memory`; replaces what was armed.
    // The number the download gets if it begins; 0, and nothing armed, when the link has gone
    // past the moment it would have begun it.
    quint64 arm(unsigned char memory, quint64 after, Start start, Declined declined);
    // Whether the link has begun what was armed since it was armed; then, or unless
    // `keepArmed`, nothing stays armed. The window calls it until it has answered true or
    // emptied the slot, once for each arm().
    bool takeBack(bool keepArmed = false);
    // What is armed and not begun goes, declined (another call goes to the player first).
    void drop();
    // Link thread: what is armed to follow the download `after` goes, declined.
    void decline(quint64 after);
    // Link thread: begins what is armed to follow the download `after` into `memory`, if
    // anything; its wait, as Start's, and its number.
    std::pair<std::function<int()>, quint64> begin(unsigned char memory, quint64 after);

private:
    enum class State { Empty, Armed, Begun };
    std::mutex m_mutex;
    State m_state = State::Empty; // guarded by m_mutex
    unsigned char m_memory = 0;   // guarded by m_mutex
    quint64 m_after = 0;          // guarded by m_mutex
    quint64 m_lastId = 0;         // guarded by m_mutex
    quint64 m_armedId = 0;        // guarded by m_mutex
    quint64 m_passed = 0;         // guarded by m_mutex: the last download whose follower was due
    Start m_start;                // guarded by m_mutex
    Declined m_declined;          // guarded by m_mutex
    // What the slot held, let go of outside the lock.
    struct Held {
        Start start;
        Declined declined;
        quint64 id = 0;
    };
    // Empties the slot (under m_mutex).
    Held empty();
};

// The link thread's side: runs the jobs it is handed and reports each result.
class PlayerLinkWorker : public QObject {
    Q_OBJECT
public:
    explicit PlayerLinkWorker(std::shared_ptr<FollowUp> followUp)
        : m_followUp(std::move(followUp)) {}
    // `besideTransfer`: the job may run while a download the link began on its own moves (it
    // waits for the download's end itself when it needs the player).
    void run(quint64 ticket, const std::function<QVariant()> &job, bool besideTransfer) {
        // The link is going: what was queued for the window is dropped.
        if (m_closing)
            return;
        if (!besideTransfer)
            settle(false);
        emit started(ticket);
        emit finished(ticket, job());
        // A table read ahead is good until a call that may change the player's files.
        if (!besideTransfer)
            m_prefetched.reset();
    }
    void close() { m_closing = true; }
    bool closing() const { return m_closing; }
    // The download `id` into `memory` runs: `ended` waits a while for its end (as
    // prefetchTableAfter's).
    void expectEnd(unsigned char memory, quint64 id, std::function<int()> ended) {
        m_transfer.emplace(Expected{memory, id, std::move(ended)});
    }
    // Waits for the end of the download expected, if any; once it has arrived reads its
    // memory's table ahead and, when `mayFollow`, begins the download armed to follow it.
    void settle(bool mayFollow);
    // The table read ahead after a download (link thread only): it answers the table-only
    // reads of the same memory (each pane that shows it) until another call runs.
    void keepPrefetched(unsigned char memory, TableReply reply) {
        m_prefetched.emplace(memory, std::move(reply));
    }
    std::optional<TableReply> prefetched(unsigned char memory) const {
        if (m_prefetched && m_prefetched->first == memory)
            return m_prefetched->second;
        return std::nullopt;
    }

signals:
    void started(quint64 ticket);
    void finished(quint64 ticket, const QVariant &result);

private:
    std::atomic<bool> m_closing{false};
    std::optional<std::pair<unsigned char, TableReply>> m_prefetched;
    struct Expected {
        unsigned char memory = 0;
        quint64 id = 0;
        std::function<int()> ended;
    };
    std::optional<Expected> m_transfer;
    std::shared_ptr<FollowUp> m_followUp;
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
    // Once the table is read, the download armed to follow (followUp()) begins there too; any
    // other call waits for that download's end, but a table-only readTable() that the table read
    // ahead answers.
    // `download`: its number (followUp().newId()).
    void prefetchTableAfter(unsigned char memory, quint64 download, std::function<int()> ended);
    // The download armed to follow the running one. Every call queued but a table-only
    // readTable() and afterQueued() drops what is armed and not begun.
    FollowUp &followUp() { return *m_followUp; }
    // Once the calls queued before have run, waits on the link for the end of the download
    // that followed another there, if one did, and goes on as prefetchTableAfter() does.
    void settleFollowUp();
    // Runs `done` on the owner thread once the calls queued before have answered (a pane's
    // read of the table), unless `context` went; it neither calls the player nor waits for a
    // download to end.
    void afterQueued(QObject *context, std::function<void()> done);

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
                 std::function<void(const QVariant &)> done, std::function<void()> started,
                 bool besideTransfer = false);
    void onStarted(quint64 ticket);
    void onFinished(quint64 ticket, const QVariant &result);
    void setBusy(bool busy);

    QThread m_thread;
    std::shared_ptr<FollowUp> m_followUp = std::make_shared<FollowUp>();
    PlayerLinkWorker *m_worker = nullptr; // lives on m_thread; deleted after it ends
    std::map<quint64, Pending> m_waiting;
    quint64 m_nextTicket = 1;
    bool m_busyShown = false;
    static int s_busyLinks;
    static quint64 s_callsQueued;
};

} // namespace tunara::device
