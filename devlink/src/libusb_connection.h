// One claimed player on the local bus, reached through libusb: its bulk pipes, with blocks of a
// stream kept in flight ahead of the caller, and its control requests.
#pragma once

#include "backend.h"
#include "libusb_backend.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>

struct libusb_device_handle;
struct libusb_transfer;

namespace kestousb {

// The player's interface: its number and its bulk endpoint addresses.
struct LibusbInterface {
    uint8_t number;
    uint8_t bulkOut;
    uint8_t bulkIn;
};

// Its handle is used by the caller's thread and a transfer worker at once, and libusb must not
// close a handle while a transfer on it is in flight. So every operation counts itself as a
// user of the handle, bulk transfers are submitted asynchronously (so that they can be
// cancelled, and so that the next blocks of a stream are on the bus while the caller handles
// one), and close() cancels what is in flight, waits until the last user has let go, collects
// the transfers still queued, and only then releases the interface and closes the handle.
// Transfers complete on the thread that waits for them (libusb's event handling runs there).
class LibusbConnection : public DeviceConnection {
public:
    LibusbConnection(std::shared_ptr<LibusbContext> ctx, libusb_device_handle *handle,
                     LibusbInterface iface, std::string path);
    ~LibusbConnection() override;

    bool probe() override;
    bool bulkWrite(const uint8_t *data, size_t count, size_t &transferred) override;
    bool bulkRead(uint8_t *data, size_t count, size_t &transferred) override;
    void readAhead(size_t count, size_t reads) override;
    bool queueWrite(const uint8_t *data, size_t count) override;
    bool finishWrite(size_t &transferred) override;
    void dropWrites() override;
    bool vendorRequest(uint8_t request, uint16_t value, uint16_t index, uint8_t &answer) override;
    // The interface is released by close(), once no transfer uses it any more.
    void release() override {}
    bool close() override;
    std::string path() const override { return m_path; }

    bool claim();
    // The claim failed because another program holds the interface.
    bool claimRefused() const { return m_claimRefused; }

private:
    class Use;
    struct Pending;
    using Queue = std::deque<std::unique_ptr<Pending>>;

    // One bulk transfer of `count` bytes at `data` (a read asked for ahead: into its own
    // buffer when `data` is null), submitted; nullptr when it could not be.
    std::unique_ptr<Pending> submit(uint8_t endpoint, uint8_t *data, size_t count);
    // Waits until `p` completes; `transferred` receives what moved. True when it completed.
    bool await(Pending &p, size_t &transferred);
    // Cancels every transfer of `queue` and waits for each to come back.
    void cancelAll(Queue &queue);
    // Asks for reads ahead until the depth is reached or the allowed reads are used up.
    bool topUpReads();
    void endReadAhead();
    void endWrites();
    bool direct(uint8_t endpoint, uint8_t *data, size_t count, size_t &transferred);

    std::shared_ptr<LibusbContext> m_ctx;
    libusb_device_handle *m_handle;
    LibusbInterface m_iface;
    std::string m_path;
    bool m_claimed = false;
    bool m_claimRefused = false;

    std::mutex m_mutex; // guards the members below and the handle's lifetime
    std::condition_variable m_idle;
    int m_users = 0;
    bool m_closing = false;
    std::set<libusb_transfer *> m_inFlight;

    // Held by every bulk operation for its whole run, and by close() once the users are gone:
    // guards the queues of the streams.
    std::mutex m_streamMutex;
    struct ReadAheadState {
        size_t count = 0; // bytes of each read; 0: no read-ahead
        size_t reads = 0; // reads that may still be asked for
        Queue queue;      // asked for, oldest first
    } m_ahead;
    Queue m_writes; // queued blocks, oldest first
};

} // namespace kestousb
