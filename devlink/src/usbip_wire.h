// The USB/IP wire format (protocol version 0x0111, all numbers big-endian): the operation
// messages that list and import devices, and the URB headers that carry transfers. Decoding
// treats every byte from the server as untrusted.
#pragma once

#include "byteorder.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kestousb::usbip {

constexpr uint16_t kVersion = 0x0111;
constexpr uint16_t kOpReqDevlist = 0x8005;
constexpr uint16_t kOpRepDevlist = 0x0005;
constexpr uint16_t kOpReqImport = 0x8003;
constexpr uint16_t kOpRepImport = 0x0003;

constexpr uint32_t kCmdSubmit = 1;
constexpr uint32_t kCmdUnlink = 2;
constexpr uint32_t kRetSubmit = 3;
constexpr uint32_t kRetUnlink = 4;
constexpr uint32_t kDirOut = 0;
constexpr uint32_t kDirIn = 1;

constexpr size_t kOpHeaderSize = 8; // version, code, status
constexpr size_t kBusIdSize = 32;
constexpr size_t kPathSize = 256;
constexpr size_t kDeviceRecordSize = 312; // usbip_usb_device
constexpr size_t kInterfaceRecordSize = 4;
constexpr size_t kUrbHeaderSize = 48;

// Largest device count we accept from a devlist reply: far more than any server exports, and
// small enough that a lying count cannot make us read for ever.
constexpr uint32_t kMaxDevices = 1024;

struct OpHeader {
    uint16_t version = 0;
    uint16_t code = 0;
    uint32_t status = 0;
};

struct DeviceRecord {
    std::string path;
    std::string busId;
    uint32_t busnum = 0, devnum = 0, speed = 0;
    uint16_t idVendor = 0, idProduct = 0, bcdDevice = 0;
    uint8_t deviceClass = 0, deviceSubClass = 0, deviceProtocol = 0;
    uint8_t configurationValue = 0, numConfigurations = 0, numInterfaces = 0;
    std::vector<uint8_t> interfaceClasses; // from the devlist's interface records
};

struct UrbHeader {
    uint32_t command = 0, seqnum = 0, devid = 0, direction = 0, ep = 0;
    // CMD_SUBMIT: transfer_flags, transfer_buffer_length, start_frame, number_of_packets,
    // interval. RET_SUBMIT: status, actual_length, start_frame, number_of_packets, error_count.
    // CMD_UNLINK: word[0] is unlink_seqnum; RET_UNLINK: word[0] is the status.
    std::array<uint32_t, 5> word{};
    std::array<uint8_t, 8> setup{};
};

// ---- encoding
std::vector<uint8_t> encodeOpRequest(uint16_t code, const std::string &busId = {});
std::array<uint8_t, kUrbHeaderSize> encodeUrb(const UrbHeader &header);

// ---- decoding: fixed-size inputs, so no field can reach past the bytes received
OpHeader decodeOpHeader(std::span<const uint8_t, kOpHeaderSize> bytes);
DeviceRecord decodeDeviceRecord(std::span<const uint8_t, kDeviceRecordSize> bytes);
UrbHeader decodeUrb(std::span<const uint8_t, kUrbHeaderSize> bytes);

// A fixed-size text field: up to the first zero, never past the field.
std::string fixedText(std::span<const uint8_t> field);

using kestousb::getBe16;
using kestousb::getBe32;
using kestousb::putBe16;
using kestousb::putBe32;

} // namespace kestousb::usbip
