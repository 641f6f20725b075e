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
    call(
        context,
        [worker = m_worker, memory, tableOnly] {
            if (tableOnly) {
                if (std::optional<TableReply> ahead = worker->takePrefetched(memory))
                    return std::move(*ahead);
            }
            return readTableNow(memory, tableOnly);
        },
        std::move(done), std::move(started));
}

void PlayerLink::prefetchTableAfter(unsigned char memory, std::function<int()> ended) {
    PlayerLinkWorker *worker = m_worker;
    QMetaObject::invokeMethod(
        worker,
        [worker, memory, ended = std::move(ended)] {
            int outcome = -1;
            while (outcome < 0 && !worker->closing())
                outcome = ended();
            if (outcome != 1 || worker->closing())
                return;
            TableReply r = readTableNow(memory, true);
            if (r.ok)
                worker->keepPrefetched(memory, std::move(r));
        },
        Qt::QueuedConnection);
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
