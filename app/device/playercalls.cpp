// The library calls of the window, each run on the player link's thread.
#include "playerlink.h"

#include <algorithm>
#include <cstring>

namespace tunara::device {

namespace {

// The reply of a call that answered `result` (nonzero: success).
CallReply replyOf(int result) {
    CallReply r;
    r.ok = result != 0;
    if (!r.ok) {
        r.code = KSUSB_GetLastError();
        r.inUse = r.code == KSUSB_ERR_NOT_CONNECTED && KSUSB_PlayerInUse() != 0;
    }
    return r;
}

// The writable name buffer the rename calls receive.
constexpr size_t RenameBufferBytes = 256;

TableReply readTableNow(unsigned char memory, bool tableOnly) {
    TableReply r;
    static_cast<CallReply &>(r) =
        replyOf(tableOnly ? KSUSB_RefreshMemory(memory) : RefreshMemory(memory));
    if (r.ok) {
        auto table = std::make_shared<KSUSB_TOpenTable>();
        std::memset(table.get(), 0, sizeof(KSUSB_TOpenTable));
        GetFileInfo(memory, table.get());
        r.table = std::move(table);
    }
    return r;
}

} // namespace

void PlayerLink::connectPlayer(QObject *context, std::function<void(const ConnectReply &)> done) {
    call(
        context,
        [] {
            ConnectReply r;
            static_cast<CallReply &>(r) =
                replyOf(GetPlayerVersion() != 0 && KSUSB_GetPlayerStatus() != 0 ? 1 : 0);
            if (!r.ok && r.code != KSUSB_ERR_CARD_CHANGED)
                return r;
            r.infoOk = GetPlayerInfo(&r.status) != 0;
            r.flagsAfter = InvokePlayer();
            return r;
        },
        std::move(done));
}

void PlayerLink::checkConnect(QObject *context, std::function<void(bool)> done) {
    call(
        context,
        [] {
            KSUSB_CheckConnect();
            return KSUSB_CheckConnect() != 0;
        },
        std::move(done));
}

void PlayerLink::pollFlags(QObject *context, std::function<void(unsigned)> done) {
    call(
        context, [] { return unsigned(InvokePlayer()); }, std::move(done));
}

void PlayerLink::readTable(QObject *context, unsigned char memory,
                           std::function<void(const TableReply &)> done,
                           std::function<void()> started, bool tableOnly) {
    // The table read ahead after a download answers at once, even while the download that
    // followed it moves; any other read waits for that download's end.
    enqueue(
        context,
        [worker = m_worker, memory, tableOnly] {
            if (tableOnly) {
                if (std::optional<TableReply> ahead = worker->prefetched(memory))
                    return QVariant::fromValue(std::move(*ahead));
                worker->settle(false);
                if (std::optional<TableReply> ahead = worker->prefetched(memory))
                    return QVariant::fromValue(std::move(*ahead));
            }
            return QVariant::fromValue(readTableNow(memory, tableOnly));
        },
        [d = std::move(done)](const QVariant &v) { d(v.value<TableReply>()); }, std::move(started),
        tableOnly);
}

void PlayerLink::prefetchTableAfter(unsigned char memory, quint64 download,
                                    std::function<int()> ended) {
    PlayerLinkWorker *worker = m_worker;
    QMetaObject::invokeMethod(
        worker,
        [worker, memory, download, ended = std::move(ended)]() mutable {
            worker->expectEnd(memory, download, std::move(ended));
            worker->settle(true);
        },
        Qt::QueuedConnection);
}

void PlayerLinkWorker::settle(bool mayFollow) {
    if (!m_transfer)
        return;
    const Expected expected = std::exchange(m_transfer, std::nullopt).value();
    const unsigned char memory = expected.memory;
    int outcome = -1;
    while (outcome < 0 && !closing())
        outcome = expected.ended();
    if (outcome != 1 || closing())
        return;
    TableReply r = readTableNow(memory, true);
    // The library chooses the next file's short name against the table just read: without it
    // nothing follows. Nor does it when a call that is not beside the download waits for it.
    const bool read = r.ok;
    if (read)
        keepPrefetched(memory, std::move(r));
    if (!read || !mayFollow) {
        m_followUp->decline(expected.id);
        return;
    }
    auto [next, id] = m_followUp->begin(memory, expected.id);
    // Nothing armed after it, or its start was refused (the window hears of that). Else its
    // end is waited for by the job the window queues once it has heard of it, after the reads
    // of the table just kept, and by any call that is not beside it.
    if (next)
        expectEnd(memory, id, std::move(next));
}

void PlayerLink::settleFollowUp() {
    PlayerLinkWorker *worker = m_worker;
    QMetaObject::invokeMethod(
        worker, [worker] { worker->settle(true); }, Qt::QueuedConnection);
}

void PlayerLink::afterQueued(QObject *context, std::function<void()> done) {
    enqueue(
        context, [] { return QVariant(); }, [d = std::move(done)](const QVariant &) { d(); }, {},
        true);
}

quint64 FollowUp::newId() {
    std::lock_guard lock(m_mutex);
    return ++m_lastId;
}

FollowUp::Held FollowUp::empty() {
    m_state = State::Empty;
    return {std::exchange(m_start, {}), std::exchange(m_declined, {}), m_armedId};
}

quint64 FollowUp::arm(unsigned char memory, quint64 after, Start start, Declined declined) {
    Held dropped;
    std::lock_guard lock(m_mutex);
    dropped = empty();
    if (after == m_passed)
        return 0;
    m_state = State::Armed;
    m_memory = memory;
    m_after = after;
    m_armedId = ++m_lastId;
    m_start = std::move(start);
    m_declined = std::move(declined);
    return m_armedId;
}

bool FollowUp::takeBack(bool keepArmed) {
    Held dropped;
    std::lock_guard lock(m_mutex);
    const bool begun = m_state == State::Begun;
    if (begun || !keepArmed)
        dropped = empty();
    return begun;
}

void FollowUp::drop() {
    Held dropped;
    {
        std::lock_guard lock(m_mutex);
        if (m_state != State::Armed)
            return;
        dropped = empty();
    }
    dropped.declined(dropped.id);
}

void FollowUp::decline(quint64 after) {
    Held dropped;
    {
        std::lock_guard lock(m_mutex);
        m_passed = after;
        if (m_state != State::Armed || m_after != after)
            return;
        dropped = empty();
    }
    dropped.declined(dropped.id);
}

std::pair<std::function<int()>, quint64> FollowUp::begin(unsigned char memory, quint64 after) {
    Held taken;
    quint64 id = 0;
    {
        std::lock_guard lock(m_mutex);
        // Nothing armed after this download from now on is armed in time.
        m_passed = after;
        // Armed after another download (the window started this one itself meanwhile).
        if (m_state != State::Armed || m_after != after)
            return {};
        taken = empty();
        // Only the memory whose table was just read: the library names the file against it.
        if (m_memory == memory) {
            id = m_armedId;
            m_state = State::Begun;
        }
    }
    if (id == 0) {
        taken.declined(taken.id);
        return {};
    }
    return {taken.start(), id};
}

void PlayerLink::deleteFile(QObject *context, unsigned char memory, const QByteArray &name,
                            std::function<void(const CallReply &)> done) {
    call(
        context,
        [memory, name] { return replyOf(KSUSB_DeleteFileInMemory(memory, name.constData())); },
        std::move(done));
}

void PlayerLink::renameFile(QObject *context, unsigned char memory, const QByteArray &oldName,
                            const QByteArray &newName, bool longNames,
                            std::function<void(const CallReply &)> done) {
    call(
        context,
        [memory, oldName, newName, longNames] {
            char buffer[RenameBufferBytes] = {};
            std::memcpy(buffer, newName.constData(),
                        std::min<size_t>(size_t(newName.size()), sizeof buffer - 1));
            return replyOf(longNames ? KSUSB_RenameInMemory(memory, oldName.constData(), buffer)
                                     : KSUSB_RenameInMemory83(memory, oldName.constData(), buffer));
        },
        std::move(done));
}

void PlayerLink::formatMemory(QObject *context, unsigned char memory,
                              std::function<void(const CallReply &)> done) {
    call(
        context, [memory] { return replyOf(KSUSB_FormatMemory(memory)); }, std::move(done));
}

void PlayerLink::setPosition(QObject *context, unsigned char memory, const QByteArray &name,
                             unsigned char position, std::function<void(const CallReply &)> done) {
    call(
        context,
        [memory, name, position] {
            return replyOf(KSUSB_ReplaceInMemory(memory, name.constData(), position));
        },
        std::move(done));
}

} // namespace tunara::device
