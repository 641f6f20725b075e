// The libusb back end: players on the local USB bus, by id list and vendor-specific interface.
#pragma once

#include "backend.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>

struct libusb_context;

namespace kestousb {

// One libusb context, shared by the back end and every connection it opened, so that the
// context outlives the last device handle however the objects are torn down.
class LibusbContext {
public:
    static std::shared_ptr<LibusbContext> create(); // nullptr when libusb cannot start
    ~LibusbContext();
    LibusbContext(const LibusbContext &) = delete;
    LibusbContext &operator=(const LibusbContext &) = delete;
    libusb_context *get() const { return m_ctx; }

private:
    explicit LibusbContext(libusb_context *ctx) : m_ctx(ctx) {}
    libusb_context *m_ctx;
};

class LibusbBackend : public Backend {
public:
    std::vector<std::string> enumerate() override;
    using Backend::open;
    std::unique_ptr<DeviceConnection> open(const std::string &path, bool &inUse) override;

    // Waits up to `limit` for libusb to report a player attached to or detached from the bus.
    // 1 when one was, 0 when the time passed, -1 at once when this libusb offers no hot-plug
    // notice. Meant for one watcher thread; it handles the context's events while it waits,
    // which libusb allows beside transfers on other threads.
    int waitForChange(std::chrono::milliseconds limit);

private:
    std::shared_ptr<LibusbContext> context();
    std::mutex m_mutex;
    std::shared_ptr<LibusbContext> m_context;
    bool m_tried = false;
    // The hot-plug registration, made by the first wait; `m_changes` counts the notices.
    bool m_hotplugTried = false;
    bool m_hotplug = false;
    std::atomic<unsigned> m_changes{0};
};

} // namespace kestousb
