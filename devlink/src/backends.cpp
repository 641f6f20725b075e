// The back ends searched for a player, in order.
#include "backend.h"

#include "libusb_backend.h"
#include "transport.h"
#include "usbip_backend.h"

#include <mutex>

namespace kestousb {

namespace {
std::mutex g_mutex;
std::vector<Backend *> g_testBackends;
} // namespace

std::vector<Backend *> defaultBackends() {
    {
        std::lock_guard lock(g_mutex);
        if (!g_testBackends.empty())
            return g_testBackends;
    }
    // Created on first use and kept for the life of the process, like the connection.
    static UsbipBackend usbip;
    static LibusbBackend libusb;
    return {&usbip, &libusb};
}

void setBackendsForTesting(std::vector<Backend *> backends) {
    // The open connection may belong to a back end that is about to go away.
    dropConnectionForTesting();
    std::lock_guard lock(g_mutex);
    std::erase(backends, nullptr);
    g_testBackends = std::move(backends);
}

} // namespace kestousb
