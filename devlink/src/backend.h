// The two ways of reaching the player (libusb and USB/IP), and test fakes, sit behind this table
// of operations. The transport (transport.cpp) owns the one open connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace kestousb {

// One open connection to a player: the three logical handles of the driver (control, write,
// read) are opened and closed together, so one object stands for all three.
class DeviceConnection {
public:
    virtual ~DeviceConnection() = default;

    // Standard GET_STATUS on endpoint 0 (libusb) or its USB/IP equivalent; true while the player
    // is attached and answers.
    virtual bool probe() = 0;

    // One bulk OUT transfer of exactly `count` bytes. `transferred` receives what the device
    // took, also on failure. Gives up after the pipe time-out (30 s).
    virtual bool bulkWrite(const uint8_t *data, size_t count, size_t &transferred) = 0;

    // One bulk IN transfer of up to `count` bytes; `transferred` receives what arrived.
    virtual bool bulkRead(uint8_t *data, size_t count, size_t &transferred) = 0;

    // Lets the next `reads` bulk IN transfers of `count` bytes each be requested ahead: while
    // the caller handles one block the back end already asks for the next ones (up to
    // transferDepth() in flight), so that the device never waits for the host between blocks.
    // No more than `reads` are ever requested, so a stream read to its announced end leaves
    // nothing in flight. Any other transfer, a read of another size, or readAhead(0, 0) ends
    // it; a request still in flight is then cancelled.
    // Back ends without it read one block at a time.
    virtual void readAhead(size_t count, size_t reads) {
        (void)count;
        (void)reads;
    }

    // Writes sent ahead: the stream of blocks a download sends after the one handshake that
    // opens it. queueWrite hands one bulk OUT block of `count` bytes to the device and returns
    // without waiting for its answer; `data` must stay as it is until finishWrite() has
    // returned for that block. False when it could not be handed over (nothing is queued
    // then). finishWrite waits for the answer to the oldest queued block: `transferred`
    // receives what the device took; false when it failed or none is queued. dropWrites
    // cancels every block not yet finished (each may or may not have reached the device).
    // In a back end that sends ahead, any other transfer ends the queue as dropWrites does.
    // The caller decides how many it queues (transferDepth()). Back ends without it (these
    // defaults) send each block when finishWrite asks for its answer, one at a time.
    virtual bool queueWrite(const uint8_t *data, size_t count) {
        m_queuedWrites.push_back({data, count});
        return true;
    }
    virtual bool finishWrite(size_t &transferred) {
        transferred = 0;
        if (m_queuedWrites.empty())
            return false;
        const QueuedWrite next = m_queuedWrites.front();
        m_queuedWrites.pop_front();
        return bulkWrite(next.data, next.count, transferred);
    }
    virtual void dropWrites() { m_queuedWrites.clear(); }

    // Vendor control-in request (bmRequestType 0xC0) with wLength 1; `answer` receives the byte.
    // Gives up after 1 s.
    virtual bool vendorRequest(uint8_t request, uint16_t value, uint16_t index,
                               uint8_t &answer) = 0;

    // Issued once before the connection is closed (releases the interface). Result ignored.
    virtual void release() = 0;

    // Closes the connection; false when the close itself failed.
    virtual bool close() = 0;

    // "usb:BUS-PORT.PORT" or "usbip://host:port/BUSID".
    virtual std::string path() const = 0;

private:
    // The blocks of the one-at-a-time queue above.
    struct QueuedWrite {
        const uint8_t *data;
        size_t count;
    };
    std::deque<QueuedWrite> m_queuedWrites;
};

// A way to find players.
class Backend {
public:
    virtual ~Backend() = default;
    // Device paths of the players this back end sees now, in search order.
    virtual std::vector<std::string> enumerate() = 0;
    // Opens the player at `path` (one of enumerate()'s); nullptr when it does not open. `inUse`
    // is set when the player is there but another program holds it (a USB/IP import refused as
    // busy, a claim of the interface refused), and left alone otherwise.
    virtual std::unique_ptr<DeviceConnection> open(const std::string &path, bool &inUse) = 0;
    std::unique_ptr<DeviceConnection> open(const std::string &path) {
        bool inUse = false;
        return open(path, inUse);
    }
};

// The back ends searched in order: USB/IP servers from KESTOUSB_USBIP first, then libusb.
std::vector<Backend *> defaultBackends();
// (Tests replace the list through the library's injection, library_state.h.)

} // namespace kestousb
