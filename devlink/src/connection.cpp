// The one player connection: finding and opening the player, closing, probing and the two bulk
// pipes. The three logical handles (control, write, read) live in one DeviceConnection, so they
// are always opened and closed together.
#include "KestoUSB.h"
#include "backend.h"
#include "transport.h"

#include <atomic>
#include <cstring>
#include <mutex>

namespace kestousb {

namespace {

constexpr size_t kPathSize = 256;

// Swapped atomically: KSUSB_Stop reconnects on the caller's thread while a worker that has not
// yet left its loop may still hold the old connection; the old one lives until it lets go.
std::atomic<std::shared_ptr<DeviceConnection>> g_connection;

std::mutex g_pathMutex;
char g_path[kPathSize] = {};

void setPath(const std::string &path) {
    std::lock_guard lock(g_pathMutex);
    std::memset(g_path, 0, sizeof g_path);
    std::strncpy(g_path, path.c_str(), kPathSize - 1);
}

} // namespace

std::shared_ptr<DeviceConnection> currentConnection() {
    return g_connection.load();
}

bool pipesOpen() {
    return currentConnection() != nullptr;
}

const char *devicePath() {
    // The buffer is never freed; a caller copies it at once (GetDevicePID).
    return g_path;
}

void dropConnectionForTesting() {
    g_connection.store(nullptr);
    setPath({});
}

bool openPipes() {
    // An open connection would be lost without its release and close.
    if (pipesOpen())
        closePipes();
    setPath({});
    for (Backend *backend : defaultBackends()) {
        for (const std::string &path : backend->enumerate()) {
            // A player that does not open is skipped; the next one may.
            std::unique_ptr<DeviceConnection> conn = backend->open(path);
            if (!conn)
                continue;
            setPath(conn->path());
            g_connection.store(std::shared_ptr<DeviceConnection>(std::move(conn)));
            return true;
        }
    }
    setLastErrorCode(KSUSB_ERR_NOT_CONNECTED);
    return false;
}

bool closePipes() {
    std::shared_ptr<DeviceConnection> conn = g_connection.exchange(nullptr);
    if (!conn)
        return true; // nothing open: nothing can fail to close
    conn->release();
    if (!conn->close()) {
        setLastErrorCode(KSUSB_ERR_CLOSE);
        return false;
    }
    return true;
}

bool probeLink() {
    std::shared_ptr<DeviceConnection> conn = currentConnection();
    if (!conn || !conn->probe()) {
        setLastErrorCode(KSUSB_ERR_PROBE);
        return false;
    }
    return true;
}

bool pipeWrite(const uint8_t *data, size_t count, size_t *transferred) {
    size_t moved = 0;
    std::shared_ptr<DeviceConnection> conn = currentConnection();
    const bool ok = conn && conn->bulkWrite(data, count, moved);
    if (transferred)
        *transferred = moved > count ? count : moved;
    if (!ok) {
        KSUSB_Reconnect();
        return false;
    }
    return true;
}

bool pipeRead(uint8_t *data, size_t count, size_t *transferred) {
    size_t moved = 0;
    std::shared_ptr<DeviceConnection> conn = currentConnection();
    const bool ok = conn && conn->bulkRead(data, count, moved);
    if (transferred)
        *transferred = moved > count ? count : moved;
    if (!ok) {
        KSUSB_Reconnect();
        return false;
    }
    return true;
}

} // namespace kestousb
