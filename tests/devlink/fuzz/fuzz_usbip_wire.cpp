// Fuzz target: what a USB/IP server sends the client. The operation header, the device record
// and the URB header decoders, the walk over a configuration descriptor for the player's bulk
// endpoints, and the server and device path texts a user or a listing gives us.
#include "usbip_backend.h"
#include "usbip_wire.h"

#include <cstdlib>
#include <string_view>

using namespace kestousb;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::span<const uint8_t> bytes(data, size);
    if (size >= usbip::kOpHeaderSize)
        (void)usbip::decodeOpHeader(bytes.first<usbip::kOpHeaderSize>());
    if (size >= usbip::kUrbHeaderSize) {
        const usbip::UrbHeader h = usbip::decodeUrb(bytes.first<usbip::kUrbHeaderSize>());
        // Decoding and encoding are each other's inverse.
        const auto again = usbip::encodeUrb(h);
        if (!std::equal(again.begin(), again.end(), data))
            std::abort();
    }
    if (size >= usbip::kDeviceRecordSize) {
        const usbip::DeviceRecord d =
            usbip::decodeDeviceRecord(bytes.first<usbip::kDeviceRecordSize>());
        if (d.path.size() > usbip::kPathSize || d.busId.size() > usbip::kBusIdSize)
            std::abort();
    }

    // A descriptor walk never reports an endpoint of the wrong direction.
    if (const auto endpoints = findPlayerEndpoints(bytes)) {
        if (!(endpoints->bulkIn & 0x80) || (endpoints->bulkOut & 0x80) || !endpoints->bulkOut)
            std::abort();
    }

    const std::string_view text(reinterpret_cast<const char *>(data), size);
    (void)parseUsbipServers(text);
    if (const auto path = parseUsbipPath(text)) {
        // A path we accept formats back to one that names the same device.
        const auto again = parseUsbipPath(formatUsbipPath(*path));
        if (!again || !(again->server == path->server) || again->busId != path->busId)
            std::abort();
    }
    return 0;
}
