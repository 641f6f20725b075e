// KSUSB_PhysicalBlockAccess: raw reads of a memory's flash below the file system, 64 data bytes
// or one 16-byte spare area at a time, and spare-area writes.
#include "transfer_state.h"
#include "transport.h"

#include <cstring>

namespace kestousb {

namespace {

// The length byte is 0x12 for every operation, whatever the packet really carries.
constexpr uint8_t kBlockAccessLength = 0x12;
constexpr size_t kOpOffset = 5;
constexpr size_t kAddressOffset = 6;
constexpr size_t kDataOffset = 10;
constexpr size_t kDataBytes = 64;  // 'r' and 'w' move 64 bytes
constexpr size_t kSpareBytes = 16; // 's' and 'x' move one spare area

enum Op : unsigned char {
    kReadData = 'r',
    kReadSpare = 's',
    kWriteSpare = 'x',
    kWriteData = 'w',
};

// Reads one 64-byte reply into `reply`; a reply that arrives short is a failure, not data. A
// failed transfer ends the exchange at once, like a failed command exchange.
bool readReply(uint8_t (&reply)[kBlock]) {
    waitReady(Phase::Reply);
    size_t got = 0;
    if (!pipeRead(reply, kBlock, &got) || got != kBlock)
        return false;
    waitDone();
    return true;
}

bool access(unsigned char mem, uint32_t address, unsigned char op, unsigned char *buffer) {
    const bool carriesData =
        op == kReadData || op == kReadSpare || op == kWriteSpare || op == kWriteData;
    if (carriesData && buffer == nullptr)
        return failWith(KSUSB_ERR_SEND);
    if (!KSUSB_CheckConnect() || !KSUSB_CheckMemory(mem))
        return false;

    // 'w' carries 64 bytes after the address and its '.' at offset 74, so it takes two blocks;
    // every other operation is one block.
    uint8_t packet[2 * kBlock] = {'#', 0x00, kBlockAccessLength, ':', mem, op};
    putBe32(packet + kAddressOffset, address);
    size_t end = kDataOffset;
    if (op == kWriteSpare) {
        std::memcpy(packet + kDataOffset, buffer, kSpareBytes);
        end += kSpareBytes;
    } else if (op == kWriteData) {
        std::memcpy(packet + kDataOffset, buffer, kDataBytes);
        end += kDataBytes;
    }
    packet[end] = '.';
    const size_t length = blockAligned(end + 1);

    waitReady(Phase::Command);
    size_t sent = 0;
    if (!pipeWrite(packet, length, &sent) || sent != length)
        return failWith(KSUSB_ERR_SEND);
    waitDone();

    uint8_t reply[kBlock] = {};
    switch (op) {
    case kWriteData:
    case kWriteSpare: // the acknowledgement is read but not examined
        return readReply(reply) || failWith(KSUSB_ERR_SEND);
    case kReadData:
    case kReadSpare:
        if (!readReply(reply))
            return failWith(KSUSB_ERR_SEND); // the caller's buffer stays as it was
        std::memcpy(buffer, reply, op == kReadData ? kDataBytes : kSpareBytes);
        return true;
    default:
        return true;
    }
}

} // namespace

} // namespace kestousb

extern "C" int KSUSB_PhysicalBlockAccess(unsigned char mem, uint32_t address, unsigned char op,
                                         unsigned char *buffer) {
    return kestousb::access(mem, address, op, buffer) ? 1 : 0;
}
