#include "libusb_backend.h"

#include "device_ids.h"

#include <libusb.h>

#include <chrono>
#include <condition_variable>
#include <optional>
#include <set>

namespace kestousb {

namespace {

constexpr unsigned kControlTimeoutMs = 1000;
constexpr unsigned kPipeTimeoutMs = 30000;
// Device-to-host, vendor, to the device.
constexpr uint8_t kVendorIn = uint8_t{LIBUSB_ENDPOINT_IN} | uint8_t{LIBUSB_REQUEST_TYPE_VENDOR} |
                              uint8_t{LIBUSB_RECIPIENT_DEVICE};
constexpr uint8_t kStandardIn = LIBUSB_ENDPOINT_IN; // GET_STATUS to the device
constexpr int kMaxPortDepth = 7;
constexpr uint16_t kStatusSize = 2;

struct Interface {
    uint8_t number;
    uint8_t bulkOut;
    uint8_t bulkIn;
};

// The first interface of class 0xFF with one bulk OUT and one bulk IN endpoint.
std::optional<Interface> playerInterface(libusb_device *dev) {
    libusb_config_descriptor *config = nullptr;
    if (libusb_get_active_config_descriptor(dev, &config) != LIBUSB_SUCCESS &&
        libusb_get_config_descriptor(dev, 0, &config) != LIBUSB_SUCCESS)
        return std::nullopt;
    std::optional<Interface> found;
    for (uint8_t i = 0; i < config->bNumInterfaces && !found; ++i) {
        const libusb_interface &iface = config->interface[i];
        for (int a = 0; a < iface.num_altsetting && !found; ++a) {
            const libusb_interface_descriptor &alt = iface.altsetting[a];
            if (alt.bInterfaceClass != kVendorSpecificClass)
                continue;
            Interface candidate{alt.bInterfaceNumber, 0, 0};
            for (uint8_t e = 0; e < alt.bNumEndpoints; ++e) {
                const libusb_endpoint_descriptor &ep = alt.endpoint[e];
                if ((ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK)
                    continue;
                if ((ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) && !candidate.bulkIn)
                    candidate.bulkIn = ep.bEndpointAddress;
                else if (!(ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) && !candidate.bulkOut)
                    candidate.bulkOut = ep.bEndpointAddress;
            }
            if (candidate.bulkIn && candidate.bulkOut)
                found = candidate;
        }
    }
    libusb_free_config_descriptor(config);
    return found;
}

bool isPlayer(libusb_device *dev) {
    libusb_device_descriptor desc{};
    return libusb_get_device_descriptor(dev, &desc) == LIBUSB_SUCCESS &&
           isPlayerId(desc.idVendor, desc.idProduct) && playerInterface(dev).has_value();
}

// "usb:BUS-PORT.PORT...", the place of the device in the bus topology.
std::string devicePathOf(libusb_device *dev) {
    uint8_t ports[kMaxPortDepth] = {};
    const int depth = libusb_get_port_numbers(dev, ports, kMaxPortDepth);
    std::string path = "usb:" + std::to_string(libusb_get_bus_number(dev)) + "-";
    if (depth <= 0)
        return path + "0." + std::to_string(libusb_get_device_address(dev));
    for (int i = 0; i < depth; ++i)
        path += (i ? "." : "") + std::to_string(ports[i]);
    return path;
}

// The device list, freed on every path out.
class DeviceList {
public:
    explicit DeviceList(libusb_context *ctx) {
        const ssize_t n = libusb_get_device_list(ctx, &m_list);
        m_count = n > 0 ? static_cast<size_t>(n) : 0;
    }
    ~DeviceList() {
        if (m_list)
            libusb_free_device_list(m_list, 1);
    }
    DeviceList(const DeviceList &) = delete;
    DeviceList &operator=(const DeviceList &) = delete;
    libusb_device *operator[](size_t i) const { return m_list[i]; }
    size_t size() const { return m_count; }

private:
    libusb_device **m_list = nullptr;
    size_t m_count = 0;
};

// One claimed player. Its handle is used by the caller's thread and a transfer worker at once,
// and libusb must not close a handle while a transfer on it is in flight. So every operation
// counts itself as a user of the handle, bulk transfers are submitted asynchronously (so that
// they can be cancelled), and close() cancels what is in flight, waits until the last user has
// let go, and only then releases the interface and closes the handle.
class LibusbConnection : public DeviceConnection {
public:
    LibusbConnection(std::shared_ptr<LibusbContext> ctx, libusb_device_handle *handle,
                     Interface iface, std::string path)
        : m_ctx(std::move(ctx)), m_handle(handle), m_iface(iface), m_path(std::move(path)) {}
    ~LibusbConnection() override { close(); }

    bool probe() override {
        Use use(*this);
        if (!use)
            return false;
        uint8_t status[kStatusSize] = {};
        const int r = libusb_control_transfer(m_handle, kStandardIn, LIBUSB_REQUEST_GET_STATUS, 0,
                                              0, status, kStatusSize, kControlTimeoutMs);
        return r == kStatusSize;
    }

    bool bulkWrite(const uint8_t *data, size_t count, size_t &transferred) override {
        return bulk(m_iface.bulkOut, const_cast<uint8_t *>(data), count, transferred);
    }

    bool bulkRead(uint8_t *data, size_t count, size_t &transferred) override {
        return bulk(m_iface.bulkIn, data, count, transferred);
    }

    bool vendorRequest(uint8_t request, uint16_t value, uint16_t index, uint8_t &answer) override {
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

    // The interface is released by close(), once no transfer uses it any more.
    void release() override {}

    bool close() override {
        std::unique_lock lock(m_mutex);
        if (!m_handle)
            return true;
        m_closing = true;
        // A cancelled transfer completes on the thread that waits for it, which then lets go.
        for (libusb_transfer *transfer : m_inFlight)
            libusb_cancel_transfer(transfer);
        m_idle.wait(lock, [this] { return m_users == 0; });
        if (m_claimed)
            libusb_release_interface(m_handle, m_iface.number);
        m_claimed = false;
        libusb_close(m_handle);
        m_handle = nullptr;
        return true;
    }

    std::string path() const override { return m_path; }

    bool claim() {
        libusb_set_auto_detach_kernel_driver(m_handle, 1);
        const int r = libusb_claim_interface(m_handle, m_iface.number);
        m_claimed = r == LIBUSB_SUCCESS;
        m_claimRefused = r == LIBUSB_ERROR_BUSY;
        return m_claimed;
    }
    // The claim failed because another program holds the interface.
    bool claimRefused() const { return m_claimRefused; }

private:
    // One operation on the handle; false (and nothing counted) once close() has begun.
    class Use {
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

    static void LIBUSB_CALL onTransferDone(libusb_transfer *transfer) {
        *static_cast<int *>(transfer->user_data) = 1;
    }

    bool bulk(uint8_t endpoint, uint8_t *data, size_t count, size_t &transferred) {
        transferred = 0;
        Use use(*this);
        if (!use || count > static_cast<size_t>(INT32_MAX))
            return false;
        libusb_transfer *transfer = libusb_alloc_transfer(0);
        if (!transfer)
            return false;
        int completed = 0;
        libusb_fill_bulk_transfer(transfer, m_handle, endpoint, data, static_cast<int>(count),
                                  onTransferDone, &completed, kPipeTimeoutMs);
        {
            // Submitted under the lock, so that close() either sees it in flight and cancels it
            // or has already refused this operation.
            std::lock_guard lock(m_mutex);
            if (m_closing || libusb_submit_transfer(transfer) != LIBUSB_SUCCESS) {
                libusb_free_transfer(transfer);
                return false;
            }
            m_inFlight.insert(transfer);
        }
        while (!completed) {
            if (libusb_handle_events_completed(m_ctx->get(), &completed) < 0) {
                // Without event handling the transfer cannot finish: cancel and wait for it.
                libusb_cancel_transfer(transfer);
            }
        }
        {
            std::lock_guard lock(m_mutex);
            m_inFlight.erase(transfer);
        }
        const int moved = transfer->actual_length;
        const bool ok = transfer->status == LIBUSB_TRANSFER_COMPLETED;
        libusb_free_transfer(transfer);
        // libusb reports what moved even on a time-out; never more than was asked.
        transferred = moved > 0 ? std::min(static_cast<size_t>(moved), count) : 0;
        return ok;
    }

    std::shared_ptr<LibusbContext> m_ctx;
    libusb_device_handle *m_handle;
    Interface m_iface;
    std::string m_path;
    bool m_claimed = false;
    bool m_claimRefused = false;

    std::mutex m_mutex; // guards the members below and the handle's lifetime
    std::condition_variable m_idle;
    int m_users = 0;
    bool m_closing = false;
    std::set<libusb_transfer *> m_inFlight;
};

} // namespace

std::shared_ptr<LibusbContext> LibusbContext::create() {
    libusb_context *ctx = nullptr;
    if (libusb_init(&ctx) != LIBUSB_SUCCESS)
        return nullptr;
    return std::shared_ptr<LibusbContext>(new LibusbContext(ctx));
}

LibusbContext::~LibusbContext() {
    libusb_exit(m_ctx);
}

std::shared_ptr<LibusbContext> LibusbBackend::context() {
    std::lock_guard lock(m_mutex);
    if (!m_tried) {
        m_tried = true;
        m_context = LibusbContext::create();
    }
    return m_context;
}

std::vector<std::string> LibusbBackend::enumerate() {
    std::vector<std::string> paths;
    const auto ctx = context();
    if (!ctx)
        return paths;
    DeviceList list(ctx->get());
    for (size_t i = 0; i < list.size(); ++i)
        if (isPlayer(list[i]))
            paths.push_back(devicePathOf(list[i]));
    return paths;
}

std::unique_ptr<DeviceConnection> LibusbBackend::open(const std::string &path, bool &inUse) {
    const auto ctx = context();
    if (!ctx)
        return nullptr;
    DeviceList list(ctx->get());
    for (size_t i = 0; i < list.size(); ++i) {
        libusb_device *dev = list[i];
        if (devicePathOf(dev) != path || !isPlayer(dev))
            continue;
        const auto iface = playerInterface(dev);
        libusb_device_handle *handle = nullptr;
        if (!iface || libusb_open(dev, &handle) != LIBUSB_SUCCESS)
            return nullptr;
        auto conn = std::make_unique<LibusbConnection>(ctx, handle, *iface, path);
        // A device node can outlive the player behind it; only one that answers counts as open.
        if (!conn->claim()) {
            if (conn->claimRefused())
                inUse = true;
            return nullptr;
        }
        if (!conn->probe())
            return nullptr;
        return conn;
    }
    return nullptr;
}

int LibusbBackend::waitForChange(std::chrono::milliseconds limit) {
    const auto ctx = context();
    if (!ctx || !libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG))
        return -1;
    {
        std::lock_guard lock(m_mutex);
        if (!m_hotplugTried) {
            m_hotplugTried = true;
            // Every device: the id is checked in the callback, against the same list as the
            // enumeration. The registration lives as long as the context.
            auto callback = [](libusb_context *, libusb_device *dev, libusb_hotplug_event,
                               void *self) -> int {
                libusb_device_descriptor d{};
                if (libusb_get_device_descriptor(dev, &d) == LIBUSB_SUCCESS &&
                    isPlayerId(d.idVendor, d.idProduct))
                    static_cast<LibusbBackend *>(self)->m_changes.fetch_add(1);
                return 0; // stay registered
            };
            m_hotplug =
                libusb_hotplug_register_callback(
                    ctx->get(),
                    static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                                      LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
                    LIBUSB_HOTPLUG_NO_FLAGS, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
                    LIBUSB_HOTPLUG_MATCH_ANY, callback, this, nullptr) == LIBUSB_SUCCESS;
        }
        if (!m_hotplug)
            return -1;
    }
    const unsigned before = m_changes.load();
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (m_changes.load() == before) {
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero())
            return 0;
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(left).count();
        timeval tv{static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
        if (libusb_handle_events_timeout_completed(ctx->get(), &tv, nullptr) != LIBUSB_SUCCESS)
            return 0;
    }
    return 1;
}

} // namespace kestousb
