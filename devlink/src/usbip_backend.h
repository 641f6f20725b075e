// The USB/IP back end: finds players on the servers named by KESTOUSB_USBIP and talks to one
// over the same TCP connection that imported it.
#pragma once

#include "backend.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kestousb {

struct UsbipServer {
    std::string host;
    uint16_t port;
    bool operator==(const UsbipServer &) const = default;
};
constexpr uint16_t kUsbipDefaultPort = 3240;

// "host[:port][,host[:port]...]"; "[v6addr]:port" for IPv6. Malformed entries are skipped.
std::vector<UsbipServer> parseUsbipServers(std::string_view text);

// "usbip://host:port/BUSID" <-> its parts.
struct UsbipPath {
    UsbipServer server;
    std::string busId;
};
std::string formatUsbipPath(const UsbipPath &path);
std::optional<UsbipPath> parseUsbipPath(std::string_view text);

// The bulk endpoints of the first vendor-specific interface of a configuration descriptor.
struct PlayerEndpoints {
    uint8_t interfaceNumber;
    uint8_t bulkOut; // endpoint address, 0x01..0x0F
    uint8_t bulkIn;  // endpoint address, 0x81..0x8F
};
std::optional<PlayerEndpoints> findPlayerEndpoints(std::span<const uint8_t> configuration);

// How long the client waits for the server. Tests shorten them (library_state.h).
struct UsbipLimits {
    std::chrono::milliseconds connect{1000};
    std::chrono::milliseconds control{1000}; // vendor requests and the probe
    std::chrono::milliseconds pipe{30000};   // bulk transfers
};
UsbipLimits usbipLimits();

class UsbipBackend : public Backend {
public:
    // With no argument the servers come from KESTOUSB_USBIP, read at every enumeration; unset
    // means no server is searched.
    UsbipBackend() = default;
    explicit UsbipBackend(std::vector<UsbipServer> servers) : m_fixed(std::move(servers)) {}

    std::vector<std::string> enumerate() override;
    using Backend::open;
    std::unique_ptr<DeviceConnection> open(const std::string &path, bool &inUse) override;

private:
    std::vector<UsbipServer> servers() const;
    // One import attempt; `reachable` tells whether the server answered the connection,
    // `refused` whether it answered the import with a refusal.
    std::unique_ptr<DeviceConnection> importDevice(const UsbipPath &where, const std::string &path,
                                                   bool &reachable, bool &refused);
    std::optional<std::vector<UsbipServer>> m_fixed;
};

} // namespace kestousb
