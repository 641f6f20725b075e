// The one player connection: finding and opening the player, closing, probing and the two bulk
// pipes. The three logical handles (control, write, read) live in one DeviceConnection, so they
// are always opened and closed together.
#include "KestoUSB.h"
#include "backend.h"
#include "library_state.h"
#include "transport.h"

#include <mutex>
#include <string>

namespace kestousb {

namespace {

// Opening and closing are serialised under the link mutex: KSUSB_Stop reconnects on the caller's
// thread while the worker's failed transfer may want to reconnect too, and two opens at once
// would each claim the player and one connection would silently replace the other. The
// connection is swapped atomically: a worker that has not yet left its loop may still hold the
// old one while another thread reconnects; the old one lives until it lets go.
LibraryState::Link &link() {
    return library().link;
}

bool closeLocked() {
    std::shared_ptr<DeviceConnection> conn = link().connection.exchange(nullptr);
    if (!conn)
        return true; // nothing open: nothing can fail to close
    conn->release();
    // Interrupts transfers still running on it and returns once none uses it.
    if (!conn->close()) {
        setLastErrorCode(KSUSB_ERR_CLOSE);
        return false;
    }
    return true;
}

bool openLocked() {
    // An open connection would be lost without its release and close.
    closeLocked();
    link().path.clear();
    bool inUse = false;
    for (Backend *backend : defaultBackends()) {
        for (const std::string &path : backend->enumerate()) {
            // A player that does not open is skipped; the next one may.
            std::unique_ptr<DeviceConnection> conn = backend->open(path, inUse);
            if (!conn)
                continue;
            link().path = conn->path();
            link().connection.store(std::shared_ptr<DeviceConnection>(std::move(conn)));
            link().inUse = false;
            return true;
        }
    }
    link().inUse = inUse;
    setLastErrorCode(KSUSB_ERR_NOT_CONNECTED);
    return false;
}

} // namespace

std::shared_ptr<DeviceConnection> currentConnection() {
    return link().connection.load();
}

bool pipesOpen() {
    return currentConnection() != nullptr;
}

std::string devicePath() {
    std::lock_guard lock(link().mutex);
    return link().path;
}

bool playerInUse() {
    std::lock_guard lock(link().mutex);
    return link().inUse;
}

bool openPipes() {
    std::lock_guard lock(link().mutex);
    return openLocked();
}

bool closePipes() {
    std::lock_guard lock(link().mutex);
    return closeLocked();
}

bool reconnect() {
    std::lock_guard lock(link().mutex);
    closeLocked();
    return openLocked();
}

bool reconnectAfterFailure(const std::shared_ptr<DeviceConnection> &failed) {
    std::lock_guard lock(link().mutex);
    // Another thread has already replaced the connection that failed (KSUSB_Stop's reconnect
    // interrupts the worker's transfer): its new connection stays.
    std::shared_ptr<DeviceConnection> current = link().connection.load();
    if (current != failed)
        return current != nullptr;
    closeLocked();
    return openLocked();
}

bool probeLink() {
    std::shared_ptr<DeviceConnection> conn = currentConnection();
    if (!conn || !conn->probe()) {
        setLastErrorCode(KSUSB_ERR_PROBE);
        return false;
    }
    return true;
}

namespace {

// One bulk transfer; a failure (or a short transfer where the whole was required) reconnects.
template <typename Move>
bool pipeTransfer(Move move, size_t count, size_t *transferred, Transfer need) {
    size_t moved = 0;
    std::shared_ptr<DeviceConnection> conn = currentConnection();
    const bool ok = conn && move(*conn, moved);
    moved = moved > count ? count : moved;
    if (transferred)
        *transferred = moved;
    if (!ok || (need == Transfer::Whole && moved != count)) {
        reconnectAfterFailure(conn);
        return false;
    }
    return true;
}

} // namespace

bool pipeWrite(const uint8_t *data, size_t count, size_t *transferred, Transfer need) {
    return pipeTransfer(
        [&](DeviceConnection &conn, size_t &moved) { return conn.bulkWrite(data, count, moved); },
        count, transferred, need);
}

bool pipeRead(uint8_t *data, size_t count, size_t *transferred, Transfer need) {
    return pipeTransfer(
        [&](DeviceConnection &conn, size_t &moved) { return conn.bulkRead(data, count, moved); },
        count, transferred, need);
}

ReadAhead::ReadAhead(size_t count, size_t reads) : m_conn(currentConnection()) {
    if (m_conn)
        m_conn->readAhead(count, reads);
}

ReadAhead::~ReadAhead() {
    if (m_conn)
        m_conn->readAhead(0, 0);
}

bool ReadAhead::read(uint8_t *data, size_t count, size_t &transferred) {
    size_t moved = 0;
    const bool ok = m_conn && m_conn->bulkRead(data, count, moved);
    transferred = moved > count ? count : moved;
    if (!ok)
        reconnectAfterFailure(m_conn);
    return ok;
}

WriteAhead::WriteAhead() : m_conn(currentConnection()) {}

WriteAhead::~WriteAhead() {
    if (m_conn && m_queued > 0)
        m_conn->dropWrites();
}

bool WriteAhead::queue(const uint8_t *data, size_t count) {
    if (!m_conn || !m_conn->queueWrite(data, count)) {
        fail();
        return false;
    }
    ++m_queued;
    return true;
}

bool WriteAhead::finish(size_t &transferred) {
    transferred = 0;
    if (!m_conn || m_queued == 0)
        return false;
    --m_queued;
    if (!m_conn->finishWrite(transferred)) {
        fail();
        return false;
    }
    return true;
}

void WriteAhead::fail() {
    if (m_conn && m_queued > 0)
        m_conn->dropWrites();
    m_queued = 0;
    reconnectAfterFailure(m_conn);
    m_conn = nullptr;
}

} // namespace kestousb
