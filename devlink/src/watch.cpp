// Notice of players coming and going on the local bus, for a device watch on its own thread.
#include "KestoUSB.h"
#include "backend.h"
#include "libusb_backend.h"

#include <algorithm>
#include <chrono>

using namespace kestousb;

extern "C" int KSUSB_WaitDeviceChange(int timeoutMs) {
    const std::chrono::milliseconds limit(std::max(timeoutMs, 0));
    for (Backend *backend : defaultBackends())
        if (auto *local = dynamic_cast<LibusbBackend *>(backend))
            return local->waitForChange(limit);
    return -1;
}
