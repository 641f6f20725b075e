#include "libusb_backend.h"

#include "device_ids.h"
#include "libusb_connection.h"

#include <libusb.h>

#include <chrono>
#include <optional>

namespace kestousb {

namespace {

constexpr int kMaxPortDepth = 7;

// The first interface of class 0xFF with one bulk OUT and one bulk IN endpoint.
std::optional<LibusbInterface> playerInterface(libusb_device *dev) {
    libusb_config_descriptor *config = nullptr;
    if (libusb_get_active_config_descriptor(dev, &config) != LIBUSB_SUCCESS &&
        libusb_get_config_descriptor(dev, 0, &config) != LIBUSB_SUCCESS)
        return std::nullopt;
    std::optional<LibusbInterface> found;
    for (uint8_t i = 0; i < config->bNumInterfaces && !found; ++i) {
        const libusb_interface &iface = config->interface[i];
        for (int a = 0; a < iface.num_altsetting && !found; ++a) {
            const libusb_interface_descriptor &alt = iface.altsetting[a];
            if (alt.bInterfaceClass != kVendorSpecificClass)
                continue;
            LibusbInterface candidate{alt.bInterfaceNumber, 0, 0};
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
