#include "usbip_backend.h"

#include "byteorder.h"
#include "device_ids.h"
#include "usbip_connection.h"
#include "usbip_socket.h"
#include "usbip_wire.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

namespace kestousb {

namespace {

using usbip::Clock;
using usbip::Socket;

// Standard requests and descriptor facts the client relies on.
constexpr uint8_t kDescInterface = 0x04;
constexpr uint8_t kDescEndpoint = 0x05;
constexpr uint8_t kEndpointDirIn = 0x80;
constexpr uint8_t kTransferTypeMask = 0x03;
constexpr uint8_t kTransferBulk = 0x02;
constexpr std::chrono::milliseconds kImportRetryPause{20};

std::optional<uint16_t> parsePort(std::string_view text) {
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || end != text.data() + text.size() || value == 0 || value > 65535)
        return std::nullopt;
    return static_cast<uint16_t>(value);
}

// "host", "host:port", "[v6]", "[v6]:port".
std::optional<UsbipServer> parseServer(std::string_view item) {
    std::string_view host = item;
    std::string_view port;
    if (!item.empty() && item.front() == '[') {
        const size_t close = item.find(']');
        if (close == std::string_view::npos)
            return std::nullopt;
        host = item.substr(1, close - 1);
        const std::string_view rest = item.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':')
                return std::nullopt;
            port = rest.substr(1);
        }
    } else if (const size_t colon = item.rfind(':'); colon != std::string_view::npos) {
        host = item.substr(0, colon);
        port = item.substr(colon + 1);
    }
    // A host name or address, nothing else: an IPv6 address (it has ':') always and only in
    // brackets, so that "::1" is not taken for host ":" on port 1 and every accepted server
    // formats back to the same text.
    const bool bracketed = host.data() != item.data();
    const bool hostChars = std::all_of(host.begin(), host.end(), [&](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_' ||
               (bracketed && (c == ':' || c == '%'));
    });
    const bool ipv6 = host.find(':') != std::string_view::npos;
    if (host.empty() || !hostChars || bracketed != ipv6)
        return std::nullopt;
    UsbipServer server{std::string(host), kUsbipDefaultPort};
    if (!port.empty()) {
        const auto p = parsePort(port);
        if (!p)
            return std::nullopt;
        server.port = *p;
    }
    return server;
}

std::string trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return std::string(s);
}

// A bus id goes back to the server in a 32-byte field and into our path: printable, no '/'.
bool plausibleBusId(const std::string &busId) {
    return !busId.empty() && busId.size() < usbip::kBusIdSize &&
           std::all_of(busId.begin(), busId.end(),
                       [](char c) { return c > ' ' && c < 0x7F && c != '/'; });
}

bool connectTo(Socket &socket, const UsbipServer &server) {
    return socket.connect(server.host, server.port, usbipLimits().connect);
}

// Sends an operation request and reads the reply's header; true when the server answered the
// expected code with status 0. `refused` is set when it answered that code with another status.
bool operation(Socket &socket, const std::vector<uint8_t> &request, uint16_t replyCode,
               Clock::time_point deadline, bool *refused = nullptr) {
    if (!socket.sendAll(request.data(), request.size(), deadline))
        return false;
    std::array<uint8_t, usbip::kOpHeaderSize> header{};
    if (!socket.recvAll(header.data(), header.size(), deadline))
        return false;
    const usbip::OpHeader h = usbip::decodeOpHeader(header);
    const bool answered = h.version == usbip::kVersion && h.code == replyCode;
    if (refused)
        *refused = answered && h.status != 0;
    return answered && h.status == 0;
}

} // namespace

std::vector<UsbipServer> parseUsbipServers(std::string_view text) {
    std::vector<UsbipServer> servers;
    while (!text.empty()) {
        const size_t comma = text.find(',');
        const std::string item = trim(text.substr(0, comma));
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
        if (auto server = parseServer(item))
            servers.push_back(*server);
    }
    return servers;
}

std::string formatUsbipPath(const UsbipPath &path) {
    const bool v6 = path.server.host.find(':') != std::string::npos;
    return "usbip://" + (v6 ? "[" + path.server.host + "]" : path.server.host) + ":" +
           std::to_string(path.server.port) + "/" + path.busId;
}

std::optional<UsbipPath> parseUsbipPath(std::string_view text) {
    constexpr std::string_view kScheme = "usbip://";
    if (!text.starts_with(kScheme))
        return std::nullopt;
    text.remove_prefix(kScheme.size());
    const size_t slash = text.find('/');
    if (slash == std::string_view::npos)
        return std::nullopt;
    auto server = parseServer(text.substr(0, slash));
    std::string busId(text.substr(slash + 1));
    if (!server || !plausibleBusId(busId))
        return std::nullopt;
    return UsbipPath{*server, busId};
}

std::optional<PlayerEndpoints> findPlayerEndpoints(std::span<const uint8_t> config) {
    std::optional<PlayerEndpoints> current;
    bool inPlayerInterface = false;
    size_t pos = 0;
    // Walk the descriptors by their own length bytes; a length that is 0 or runs past the end
    // stops the walk.
    while (pos + 2 <= config.size()) {
        const size_t len = config[pos];
        if (len < 2 || pos + len > config.size())
            break;
        const uint8_t type = config[pos + 1];
        if (type == kDescInterface && len >= 9) {
            if (current && current->bulkIn && current->bulkOut)
                return current;
            inPlayerInterface = config[pos + 5] == kVendorSpecificClass;
            current = inPlayerInterface
                          ? std::optional<PlayerEndpoints>(PlayerEndpoints{config[pos + 2], 0, 0})
                          : std::nullopt;
        } else if (type == kDescEndpoint && len >= 7 && inPlayerInterface && current) {
            const uint8_t address = config[pos + 2];
            if ((config[pos + 3] & kTransferTypeMask) == kTransferBulk) {
                if ((address & kEndpointDirIn) && !current->bulkIn)
                    current->bulkIn = address;
                else if (!(address & kEndpointDirIn) && !current->bulkOut)
                    current->bulkOut = address;
            }
        }
        pos += len;
    }
    if (current && current->bulkIn && current->bulkOut)
        return current;
    return std::nullopt;
}

std::vector<UsbipServer> UsbipBackend::servers() const {
    if (m_fixed)
        return *m_fixed;
    const char *env = std::getenv("KESTOUSB_USBIP");
    return env ? parseUsbipServers(env) : std::vector<UsbipServer>{};
}

std::vector<std::string> UsbipBackend::enumerate() {
    std::vector<std::string> paths;
    for (const UsbipServer &server : servers()) {
        Socket socket;
        if (!connectTo(socket, server))
            continue;
        const Clock::time_point deadline = Clock::now() + usbipLimits().control;
        if (!operation(socket, usbip::encodeOpRequest(usbip::kOpReqDevlist), usbip::kOpRepDevlist,
                       deadline))
            continue;
        uint8_t countBytes[4] = {};
        if (!socket.recvAll(countBytes, sizeof countBytes, deadline))
            continue;
        const uint32_t count = std::min(usbip::getBe32(countBytes), usbip::kMaxDevices);
        bool complete = true;
        for (uint32_t i = 0; i < count && complete; ++i) {
            std::array<uint8_t, usbip::kDeviceRecordSize> record{};
            if (!socket.recvAll(record.data(), record.size(), deadline))
                break; // the list is cut short: keep the devices that came whole
            usbip::DeviceRecord device = usbip::decodeDeviceRecord(record);
            bool vendorInterface = false;
            for (uint8_t k = 0; k < device.numInterfaces; ++k) {
                uint8_t iface[usbip::kInterfaceRecordSize] = {};
                if (!socket.recvAll(iface, sizeof iface, deadline)) {
                    complete = false;
                    break;
                }
                vendorInterface = vendorInterface || iface[0] == kVendorSpecificClass;
            }
            if (complete && vendorInterface && isPlayerId(device.idVendor, device.idProduct) &&
                plausibleBusId(device.busId))
                paths.push_back(formatUsbipPath({server, device.busId}));
        }
    }
    return paths;
}

std::unique_ptr<DeviceConnection> UsbipBackend::open(const std::string &path, bool &inUse) {
    const auto where = parseUsbipPath(path);
    if (!where)
        return nullptr;
    // A server notices the close of our previous connection a moment after we made it, and
    // until then it refuses the import as "device busy". A reconnect right after a failed
    // transfer runs straight into that window, so a refused import is tried again for a short
    // while: three control limits, so that one slow answer of a loaded server (each import
    // waits up to one control limit) still leaves room for another try. A server that cannot
    // be reached still fails at once.
    const Clock::time_point retryUntil = Clock::now() + 3 * usbipLimits().control;
    for (;;) {
        bool reachable = false;
        bool refused = false;
        if (auto conn = importDevice(*where, path, reachable, refused))
            return conn;
        if (!reachable)
            return nullptr;
        if (Clock::now() >= retryUntil) {
            // The server lists the device (that is how its path was found) yet still refuses
            // to hand it over: another client has imported it.
            if (refused)
                inUse = true;
            return nullptr;
        }
        std::this_thread::sleep_for(kImportRetryPause);
    }
}

std::unique_ptr<DeviceConnection> UsbipBackend::importDevice(const UsbipPath &where,
                                                             const std::string &path,
                                                             bool &reachable, bool &refused) {
    Socket socket;
    if (!connectTo(socket, where.server))
        return nullptr;
    reachable = true;
    const Clock::time_point deadline = Clock::now() + usbipLimits().control;
    if (!operation(socket, usbip::encodeOpRequest(usbip::kOpReqImport, where.busId),
                   usbip::kOpRepImport, deadline, &refused))
        return nullptr;
    std::array<uint8_t, usbip::kDeviceRecordSize> record{};
    if (!socket.recvAll(record.data(), record.size(), deadline))
        return nullptr;
    const usbip::DeviceRecord device = usbip::decodeDeviceRecord(record);
    if (device.busId != where.busId || !isPlayerId(device.idVendor, device.idProduct))
        return nullptr;
    const uint32_t devid = device.busnum << 16 | (device.devnum & 0xFFFF);
    return openUsbipConnection(std::move(socket), devid, path);
}

} // namespace kestousb
