#include "libusb_connection.h"

#include "library_state.h"

#include <libusb.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <sys/time.h>
#include <vector>

namespace kestousb {

namespace {

constexpr unsigned kControlTimeoutMs = 1000;
// Device-to-host, vendor, to the device.
constexpr uint8_t kVendorIn = uint8_t{LIBUSB_ENDPOINT_IN} | uint8_t{LIBUSB_REQUEST_TYPE_VENDOR} |
                              uint8_t{LIBUSB_RECIPIENT_DEVICE};
constexpr uint8_t kStandardIn = LIBUSB_ENDPOINT_IN; // GET_STATUS to the device
constexpr uint16_t kStatusSize = 2;
// How long one round of event handling waits before the completion is looked at again; the
// transfer's own time-out ends a transfer the device never answers.
constexpr timeval kEventRound{1, 0};

} // namespace

// One operation on the handle; false (and nothing counted) once close() has begun.
class LibusbConnection::Use {
public:
    explicit Use(LibusbConnection &conn) : m_conn(conn) {
        std::lock_guard lock(conn.m_mutex);
        m_ok = conn.m_handle && !conn.m_closing;
        if (m_ok)
            ++conn.m_users;
    }
    ~Use() {
        if (!m_ok)
            return;
        std::lock_guard lock(m_conn.m_mutex);
        if (--m_conn.m_users == 0)
            m_conn.m_idle.notify_all();
    }
    Use(const Use &) = delete;
    Use &operator=(const Use &) = delete;
    explicit operator bool() const { return m_ok; }

private:
    LibusbConnection &m_conn;
    bool m_ok = false;
};

// One submitted bulk transfer. Freed only once it has come back.
struct LibusbConnection::Pending {
    libusb_transfer *transfer = nullptr;
    int completed = 0;           // set by libusb's callback on the thread handling events
    size_t count = 0;            // bytes asked for
    std::vector<uint8_t> buffer; // where a read asked for ahead receives its block

    ~Pending() {
        if (transfer)
            libusb_free_transfer(transfer);
    }
    static void LIBUSB_CALL done(libusb_transfer *transfer) {
        static_cast<Pending *>(transfer->user_data)->completed = 1;
    }
};

LibusbConnection::LibusbConnection(std::shared_ptr<LibusbContext> ctx, libusb_device_handle *handle,
                                   LibusbInterface iface, std::string path)
    : m_ctx(std::move(ctx)), m_handle(handle), m_iface(iface), m_path(std::move(path)) {}

LibusbConnection::~LibusbConnection() {
    close();
}

bool LibusbConnection::probe() {
    Use use(*this);
    if (!use)
        return false;
    uint8_t status[kStatusSize] = {};
    const int r = libusb_control_transfer(m_handle, kStandardIn, LIBUSB_REQUEST_GET_STATUS, 0, 0,
                                          status, kStatusSize, kControlTimeoutMs);
    return r == kStatusSize;
}

bool LibusbConnection::vendorRequest(uint8_t request, uint16_t value, uint16_t index,
                                     uint8_t &answer) {
    Use use(*this);
    if (!use)
        return false;
    uint8_t byte = 0;
    const int r = libusb_control_transfer(m_handle, kVendorIn, request, value, index, &byte, 1,
                                          kControlTimeoutMs);
    if (r != 1)
        return false;
    answer = byte;
    return true;
}

bool LibusbConnection::bulkWrite(const uint8_t *data, size_t count, size_t &transferred) {
    transferred = 0;
    Use use(*this);
    if (!use)
        return false;
    std::lock_guard stream(m_streamMutex);
    endReadAhead();
    endWrites();
    return direct(m_iface.bulkOut, const_cast<uint8_t *>(data), count, transferred);
}

bool LibusbConnection::bulkRead(uint8_t *data, size_t count, size_t &transferred) {
    transferred = 0;
    Use use(*this);
    if (!use)
        return false;
    std::lock_guard stream(m_streamMutex);
    endWrites();
    if (m_ahead.count != count)
        endReadAhead();
    if (m_ahead.count == 0 || (m_ahead.queue.empty() && m_ahead.reads == 0))
        return direct(m_iface.bulkIn, data, count, transferred);
    if (!topUpReads()) {
        endReadAhead();
        return false;
    }
    const std::unique_ptr<Pending> oldest = std::move(m_ahead.queue.front());
    m_ahead.queue.pop_front();
    size_t got = 0;
    const bool ok = await(*oldest, got);
    std::memcpy(data, oldest->buffer.data(), got);
    transferred = got;
    if (!ok) {
        endReadAhead();
        return false;
    }
    // The next blocks are asked for before the caller handles this one. A read that cannot be
    // asked for now is asked for again by the next call, which then fails.
    topUpReads();
    return true;
}

void LibusbConnection::readAhead(size_t count, size_t reads) {
    Use use(*this);
    if (!use)
        return; // close() collects what is still in flight
    std::lock_guard stream(m_streamMutex);
    endReadAhead();
    if (count > 0 && reads > 0 && count <= size_t(INT_MAX)) {
        m_ahead.count = count;
        m_ahead.reads = reads;
    }
}

bool LibusbConnection::queueWrite(const uint8_t *data, size_t count) {
    Use use(*this);
    if (!use)
        return false;
    std::lock_guard stream(m_streamMutex);
    endReadAhead();
    std::unique_ptr<Pending> p = submit(m_iface.bulkOut, const_cast<uint8_t *>(data), count);
    if (!p)
        return false;
    m_writes.push_back(std::move(p));
    return true;
}

bool LibusbConnection::finishWrite(size_t &transferred) {
    transferred = 0;
    Use use(*this);
    if (!use)
        return false;
    std::lock_guard stream(m_streamMutex);
    if (m_writes.empty())
        return false;
    const std::unique_ptr<Pending> oldest = std::move(m_writes.front());
    m_writes.pop_front();
    return await(*oldest, transferred);
}

void LibusbConnection::dropWrites() {
    Use use(*this);
    if (!use)
        return;
    std::lock_guard stream(m_streamMutex);
    endWrites();
}

bool LibusbConnection::direct(uint8_t endpoint, uint8_t *data, size_t count, size_t &transferred) {
    std::unique_ptr<Pending> p = submit(endpoint, data, count);
    return p && await(*p, transferred);
}

std::unique_ptr<LibusbConnection::Pending> LibusbConnection::submit(uint8_t endpoint, uint8_t *data,
                                                                    size_t count) {
    if (count > size_t(INT_MAX))
        return nullptr;
    auto p = std::make_unique<Pending>();
    p->count = count;
    if (data == nullptr) {
        p->buffer.resize(count);
        data = p->buffer.data();
    }
    p->transfer = libusb_alloc_transfer(0);
    if (!p->transfer)
        return nullptr;
    libusb_fill_bulk_transfer(p->transfer, m_handle, endpoint, data, int(count), Pending::done,
                              p.get(), unsigned(usbPipeLimit().count()));
    // Submitted under the lock, so that close() either sees it in flight and cancels it or has
    // already refused this operation.
    std::lock_guard lock(m_mutex);
    if (m_closing || libusb_submit_transfer(p->transfer) != LIBUSB_SUCCESS)
        return nullptr;
    m_inFlight.insert(p->transfer);
    return p;
}

bool LibusbConnection::await(Pending &p, size_t &transferred) {
    while (!p.completed) {
        timeval round = kEventRound;
        const int r = libusb_handle_events_timeout_completed(m_ctx->get(), &round, &p.completed);
        if (r < 0 && r != LIBUSB_ERROR_INTERRUPTED)
            libusb_cancel_transfer(p.transfer); // without events it cannot finish: cancel it
    }
    {
        std::lock_guard lock(m_mutex);
        m_inFlight.erase(p.transfer);
    }
    // libusb reports what moved even on a time-out; never more than was asked.
    const int moved = p.transfer->actual_length;
    transferred = moved > 0 ? std::min(size_t(moved), p.count) : 0;
    return p.transfer->status == LIBUSB_TRANSFER_COMPLETED;
}

void LibusbConnection::cancelAll(Queue &queue) {
    for (const std::unique_ptr<Pending> &p : queue)
        if (!p->completed)
            libusb_cancel_transfer(p->transfer);
    for (const std::unique_ptr<Pending> &p : queue) {
        size_t ignored = 0;
        await(*p, ignored);
    }
    queue.clear();
}

void LibusbConnection::endReadAhead() {
    cancelAll(m_ahead.queue);
    m_ahead.count = 0;
    m_ahead.reads = 0;
}

void LibusbConnection::endWrites() {
    cancelAll(m_writes);
}

bool LibusbConnection::topUpReads() {
    while (m_ahead.queue.size() < transferDepth() && m_ahead.reads > 0) {
        std::unique_ptr<Pending> p = submit(m_iface.bulkIn, nullptr, m_ahead.count);
        if (!p)
            return false;
        --m_ahead.reads;
        m_ahead.queue.push_back(std::move(p));
    }
    return true;
}

bool LibusbConnection::close() {
    {
        std::unique_lock lock(m_mutex);
        if (!m_handle || m_closing)
            return true;
        m_closing = true;
        // A cancelled transfer completes on the thread that waits for it, which then lets go.
        for (libusb_transfer *transfer : m_inFlight)
            libusb_cancel_transfer(transfer);
        m_idle.wait(lock, [this] { return m_users == 0; });
    }
    {
        // Blocks asked for or sent ahead that no caller waits for any more.
        std::lock_guard stream(m_streamMutex);
        endReadAhead();
        endWrites();
    }
    std::lock_guard lock(m_mutex);
    if (m_claimed)
        libusb_release_interface(m_handle, m_iface.number);
    m_claimed = false;
    libusb_close(m_handle);
    m_handle = nullptr;
    return true;
}

bool LibusbConnection::claim() {
    libusb_set_auto_detach_kernel_driver(m_handle, 1);
    const int r = libusb_claim_interface(m_handle, m_iface.number);
    m_claimed = r == LIBUSB_SUCCESS;
    m_claimRefused = r == LIBUSB_ERROR_BUSY;
    return m_claimed;
}

} // namespace kestousb
