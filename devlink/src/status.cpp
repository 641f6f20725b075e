// Connection upkeep and the player's status: the "Connection and status" part of KestoUSB.h.
#include "status.h"

#include "backend.h"
#include "library_state.h"
#include "transport.h"

#include <algorithm>
#include <cstring>

namespace kestousb {

namespace {

constexpr uint8_t kFlagsCommand = 'I';
constexpr uint8_t kVersionCommand = 'Y';
constexpr uint8_t kStatusPrefix = 0x90;
constexpr uint8_t kStatusCommand = 'S';
constexpr uint8_t kClosingMark = '.';
constexpr size_t kFlagsByte = 4;
constexpr size_t kFlagsClose = 5;
constexpr std::chrono::milliseconds kStopPause{1000};
constexpr size_t kDevicePathBytes = 256; // GetDevicePID's caller provides at least this much

// Where each field of the cache comes from: offset and length in a reply.
struct TextSource {
    size_t offset;
    size_t length;
};
// The 'Y' reply: version, date, model.
constexpr TextSource kYVersion{4, 11}, kYDate{15, 8}, kYModel{23, 13};
// The 192-byte status reply.
constexpr size_t kReply6 = 6, kReply7 = 7, kReply8 = 8, kReply9 = 9, kReply10 = 10;
constexpr TextSource kSText11{11, 12}, kSText23{23, 54}, kSVersion{77, 11}, kSDate{88, 8},
    kSModel{96, 13}, kSText109{109, 20}, kSText129{129, 11};

// Filled by the caller's thread only; the worker never reads it.
KSPlayerStatus &statusCache() {
    return library().statusCache;
}

// Copies the raw bytes and puts a zero after them; every field is longer than its text.
template <size_t N>
void copyText(char (&field)[N], const uint8_t *reply, TextSource src) {
    static_assert(N > 1);
    const size_t n = std::min(src.length, N - 1);
    std::memcpy(field, reply + src.offset, n);
    field[n] = '\0';
}

bool sendCommand(std::initializer_list<uint8_t> body, uint8_t *reply, size_t replyLength,
                 int receiveError) {
    uint8_t packet[kBlock];
    const size_t length = buildPacket(packet, std::span<const uint8_t>(body.begin(), body.size()));
    return commandExchange(packet, blockAligned(length), reply, replyLength, KSUSB_ERR_SEND,
                           receiveError);
}

} // namespace

bool readStatusFlags(uint8_t &flags) {
    flags = 0;
    uint8_t reply[kBlock] = {};
    if (!KSUSB_CheckConnect())
        return false;
    if (!sendCommand({kFlagsCommand}, reply, sizeof reply, KSUSB_ERR_RESULT_REPLY))
        return false;
    flags = reply[kFlagsByte];
    if (flags & KSUSB_FLAG_NOT_CONNECTED) {
        setLastErrorCode(KSUSB_ERR_PLAYER_NOT_READY);
        return true;
    }
    if (flags & KSUSB_FLAG_CARD_CHANGED)
        setLastErrorCode(KSUSB_ERR_CARD_CHANGED);
    if (reply[kFlagsClose] != kClosingMark) {
        setLastErrorCode(KSUSB_ERR_NO_CLOSING_MARK);
        return false;
    }
    return true;
}

} // namespace kestousb

using namespace kestousb;

extern "C" int KSUSB_CheckConnect(void) {
    const std::shared_ptr<DeviceConnection> probed = currentConnection();
    if (probeLink())
        return 1;
    return reconnectAfterFailure(probed) ? 1 : 0;
}

extern "C" int KSUSB_Reconnect(void) {
    return reconnect() ? 1 : 0;
}

extern "C" int KSUSB_PlayerInUse(void) {
    return playerInUse() ? 1 : 0;
}

extern "C" int KSUSB_CheckMemory(unsigned char mem) {
    if (!KSUSB_CheckConnect())
        return 0;
    if (mem != KSUSB_MEM_CARD)
        return 1;
    // A failed exchange says nothing about the card; it must not pass as "card present".
    uint8_t flags = 0;
    if (!readStatusFlags(flags))
        return 0;
    return (flags & KSUSB_FLAG_NO_CARD) ? 0 : 1;
}

extern "C" unsigned char InvokePlayer(void) {
    uint8_t flags = 0;
    readStatusFlags(flags);
    return flags;
}

extern "C" int GetPlayerVersion(void) {
    if (!KSUSB_CheckConnect())
        return 0;
    uint8_t reply[kBlock] = {};
    if (!sendCommand({kVersionCommand}, reply, sizeof reply, KSUSB_ERR_RESULT_REPLY))
        return 0;
    if (reply[kVersionReplyClose] != kClosingMark) {
        setLastErrorCode(KSUSB_ERR_NO_CLOSING_MARK);
        return 0;
    }
    KSPlayerStatus &cache = statusCache();
    copyText(cache.version, reply, kYVersion);
    copyText(cache.date, reply, kYDate);
    copyText(cache.model, reply, kYModel);
    return 1;
}

extern "C" int KSUSB_GetPlayerStatus(void) {
    if (!KSUSB_CheckConnect())
        return 0;
    uint8_t reply[kFullStatusReplySize] = {};
    if (!sendCommand({kStatusPrefix, kStatusCommand}, reply, sizeof reply, KSUSB_ERR_RECEIVE))
        return 0;
    KSPlayerStatus &cache = statusCache();
    cache.reply6 = reply[kReply6];
    cache.reply7 = reply[kReply7];
    cache.reply9 = reply[kReply9];
    cache.reply8 = reply[kReply8];
    cache.reply10 = reply[kReply10];
    copyText(cache.text11, reply, kSText11);
    copyText(cache.text23, reply, kSText23);
    copyText(cache.version, reply, kSVersion);
    copyText(cache.model, reply, kSModel);
    copyText(cache.date, reply, kSDate);
    copyText(cache.text109, reply, kSText109);
    copyText(cache.text129, reply, kSText129);
    return 1;
}

extern "C" int GetPlayerInfo(KSPlayerStatus *out) {
    if (!out)
        return 0;
    // Whole fields: the cache holds zeros after each text, so this clears and copies in one go.
    // The alignment byte and `spare` stay as the caller had them.
    const KSPlayerStatus &cache = statusCache();
    out->reply6 = cache.reply6;
    out->reply7 = cache.reply7;
    out->reply9 = cache.reply9;
    out->reply8 = cache.reply8;
    out->reply10 = cache.reply10;
    std::memcpy(out->text11, cache.text11, sizeof out->text11);
    std::memcpy(out->text23, cache.text23, sizeof out->text23);
    std::memcpy(out->version, cache.version, sizeof out->version);
    std::memcpy(out->model, cache.model, sizeof out->model);
    std::memcpy(out->date, cache.date, sizeof out->date);
    std::memcpy(out->text109, cache.text109, sizeof out->text109);
    std::memcpy(out->text129, cache.text129, sizeof out->text129);
    return 1;
}

extern "C" int GetDevicePID(char *out) {
    if (!out)
        return 0;
    std::memset(out, 0, kDevicePathBytes);
    std::strncpy(out, devicePath().c_str(), kDevicePathBytes - 1);
    return 1;
}

extern "C" int KSUSB_Stop(void) {
    if (!stopEventExists()) {
        setLastErrorCode(KSUSB_ERR_STOP_EVENT);
        return 0;
    }
    signalStopEvent();
    pauseFor(kStopPause);
    KSUSB_Reconnect();
    return waitAbortDone() ? 1 : 0;
}

extern "C" int KSUSB_PlayerPresent(void) {
    for (Backend *backend : defaultBackends())
        if (!backend->enumerate().empty())
            return 1;
    return 0;
}
