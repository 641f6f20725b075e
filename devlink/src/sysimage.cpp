// KSUSB_SystemReg and KSUSB_SystemUpdateFirmware: system images (boot code, fonts, icons,
// logos) into their slots, and firmware upgrades. Both stream in 512-byte blocks like a download.
#include "transfer_state.h"
#include "transport.h"

#include <span>

namespace kestousb {

namespace {

constexpr unsigned char kFirmwareKind = 0xFF; // the slot number that means a firmware upgrade
constexpr uint8_t kSystemImagePrefix = 0x92;
constexpr uint8_t kSystemImageCommand = 0x12;
constexpr uint8_t kFirmwareCommand[] = {'U', 'P'};
constexpr size_t kFirmwareUnit = 64;           // the firmware size is announced in 64-byte units
constexpr uint32_t kMaxFirmwareUnits = 0xFFFF; // the count field has 16 bits
constexpr size_t kSystemImageVerdict = 4;      // reply byte that must be 0 for a system image
constexpr size_t kFirmwareVerdict = 6;         // and for firmware

// Announces the image, checks the verdict and starts the worker. The body is the announcement
// without its framing.
int announceImage(TransferJob &job, std::span<const uint8_t> body, size_t verdictOffset,
                  KSNotifyTarget *window, uint32_t step) {
    uint8_t packet[kBlock] = {};
    const size_t length = buildPacket(packet, body);
    uint8_t reply[kBlock] = {};
    if (length == 0 || !commandExchange(packet, blockAligned(length), reply, sizeof reply,
                                        KSUSB_ERR_SEND, KSUSB_ERR_RECEIVE))
        return 0;
    if (reply[verdictOffset] != 0) {
        setLastErrorCode(KSUSB_ERR_REFUSED);
        return 0;
    }
    job.window = window;
    job.step = step;
    job.mode = 0;
    return startTransfer(job) ? 1 : 0;
}

// The checks both image calls make before announcing: path, connection, the file itself.
bool prepareImage(TransferJob &job, const char *path) {
    if (!copyPath(path, job.path)) {
        setLastErrorCode(path == nullptr ? KSUSB_ERR_NOT_FOUND : kPathTooLongError);
        return false;
    }
    if (!KSUSB_CheckConnect())
        return false;
    PcFile pc;
    if (const int code = lookUpPcFile(job.path, pc); code != 0) {
        setLastErrorCode(code);
        return false;
    }
    job.size = pc.size;
    return true;
}

} // namespace

int runImage(const TransferJob &job) {
    // A system image is written like a command, firmware like a download stream.
    const Phase phase = job.kind == TransferKind::Firmware ? Phase::Stream : Phase::Command;
    return streamToPlayer(job, kImageBlock, phase);
}

} // namespace kestousb

using namespace kestousb;

extern "C" int KSUSB_SystemUpdateFirmware(const char *path, KSNotifyTarget *window, uint32_t step) {
    TransferJob job;
    job.kind = TransferKind::Firmware;
    if (!prepareImage(job, path))
        return 0;
    const uint32_t units = uint32_t((uint64_t(job.size) + kFirmwareUnit - 1) / kFirmwareUnit);
    // A larger image would be announced with a count cut to 16 bits: the player would take
    // part of it for the whole. Refused before anything is sent.
    if (units > kMaxFirmwareUnits) {
        setLastErrorCode(KSUSB_ERR_REFUSED);
        return 0;
    }
    uint8_t body[4] = {kFirmwareCommand[0], kFirmwareCommand[1]};
    putBe16(body + 2, uint16_t(units));
    return announceImage(job, body, kFirmwareVerdict, window, step);
}

extern "C" int KSUSB_SystemReg(unsigned char kind, const char *path, KSNotifyTarget *window,
                               uint32_t step) {
    if (kind == kFirmwareKind)
        return KSUSB_SystemUpdateFirmware(path, window, step);
    TransferJob job;
    job.kind = TransferKind::SystemImage;
    if (!prepareImage(job, path))
        return 0;
    uint8_t body[7] = {kSystemImagePrefix, kSystemImageCommand, kind};
    putBe32(body + 3, job.size);
    return announceImage(job, body, kSystemImageVerdict, window, step);
}
