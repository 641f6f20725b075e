// Packet framing and the request/reply choreography every command shares.
#include "transport.h"
#include "KestoUSB.h"

#include <algorithm>
#include <cstring>

namespace kestousb {

namespace {

constexpr uint8_t kStartMark = '#';
constexpr uint8_t kLengthMark = ':';
constexpr uint8_t kClosingMark = '.';
constexpr size_t kHeaderSize = 3; // '#', 0x00, L; L counts from the ':' on
constexpr size_t kMaxL = 255;

// A short transfer on the command path leaves the pipes out of step with the player, so it is
// handled like a failed one: reconnect, then the caller's code.
bool writeWhole(const uint8_t *data, size_t count) {
    return pipeWrite(data, count, nullptr, Transfer::Whole);
}

bool readWhole(uint8_t *data, size_t count) {
    return pipeRead(data, count, nullptr, Transfer::Whole);
}

} // namespace

size_t buildPacket(std::span<uint8_t> out, std::span<const uint8_t> body) {
    const size_t l = 1 + body.size() + 1; // ':' body '.'
    const size_t total = kHeaderSize + l;
    if (l > kMaxL || blockAligned(total) > out.size())
        return 0;
    std::fill(out.begin(), out.begin() + blockAligned(total), uint8_t{0});
    out[0] = kStartMark;
    out[1] = 0x00;
    out[2] = static_cast<uint8_t>(l);
    out[3] = kLengthMark;
    std::copy(body.begin(), body.end(), out.begin() + 4);
    out[4 + body.size()] = kClosingMark;
    return total;
}

bool commandExchange(const uint8_t *packet, size_t length, uint8_t *reply, size_t replyLength,
                     int sendError, int receiveError) {
    waitReady(Phase::Command);
    if (!writeWhole(packet, length)) {
        setLastErrorCode(sendError);
        return false;
    }
    waitDone();
    waitReady(Phase::Reply);
    if (!readWhole(reply, replyLength)) {
        setLastErrorCode(receiveError);
        return false;
    }
    waitDone();
    return true;
}

bool requestResult() {
    waitReady(Phase::Command);
    if (!KSUSB_CheckConnect())
        return false;
    uint8_t packet[kBlock];
    const uint8_t body[] = {'F'};
    buildPacket(packet, body);
    return writeWhole(packet, sizeof packet);
}

bool fetchResult(uint8_t (&reply)[kBlock]) {
    if (!requestResult()) {
        setLastErrorCode(KSUSB_ERR_RESULT_REQUEST);
        return false;
    }
    waitDone();
    waitReady(Phase::Reply);
    std::memset(reply, 0, sizeof reply);
    if (!readWhole(reply, sizeof reply)) {
        setLastErrorCode(KSUSB_ERR_RESULT_REPLY);
        return false;
    }
    waitDone();
    return true;
}

} // namespace kestousb
