// The five operations that change a memory: delete, rename (compact and padded short name),
// play position and format. Each is one command exchange followed by the result request. The
// caller names files by their long name; the cached table turns it into the 8.3 name the
// player's commands carry. None of them updates the cache: callers refresh afterwards.
#include "byteorder.h"
#include "filetable.h"
#include "transport.h"

#include <array>
#include <cstring>
#include <string>
#include <vector>

using namespace kestousb;

namespace {

constexpr size_t kEchoOffset = 6;  // the player echoes the 8.3 name at reply offset 6
constexpr size_t kFlagsOffset = 4; // result reply: the status flags
constexpr size_t kMarkOffset = 5;  // result reply: the closing '.'
constexpr char kUnknownEcho = '?'; // the player does not know the file
constexpr char kNoRoomEcho = '*';  // rename: no room for the new name's records
constexpr uint8_t kClosingMark = '.';
constexpr size_t kMaxNameArg = 255; // names and paths the interface accepts, in bytes
constexpr size_t kMaxNameUnits = 160;

enum Command : uint8_t {
    kDelete = 'E',
    kRename = 'N',
    kPosition = 'P',
    kFormat = 'F',
};

// Write protection counts for delete and format only while a card is present (a missing card
// reports both flags); rename and play position take the flag as it stands.
enum class ProtectRule { UnlessNoCard, Always };

bool memoryReady(unsigned char mem) {
    return KSUSB_CheckConnect() && KSUSB_CheckMemory(mem);
}

std::string_view shortNameOf(unsigned char mem, uint16_t index) {
    const KSUSB_TFileEntry &e = cachedTable(mem).entries[index];
    return {e.name83, strnlen(e.name83, sizeof e.name83 - 1)};
}

// The echoed name (o bytes at offset 6) consists of `mark` only.
bool echoIs(std::span<const uint8_t> reply, size_t o, char mark) {
    if (o == 0 || kEchoOffset + o > reply.size())
        return false;
    for (size_t k = 0; k < o; ++k)
        if (reply[kEchoOffset + k] != static_cast<uint8_t>(mark))
            return false;
    return true;
}

// Looks the long name up in the cached table: its index, or -11 stored and kEntryNotFound.
uint16_t lookUp(unsigned char mem, const char *name) {
    if (name == nullptr || strnlen(name, kMaxNameArg + 1) > kMaxNameArg) {
        setLastErrorCode(KSUSB_ERR_NOT_FOUND);
        return kEntryNotFound;
    }
    const uint16_t index = findEntry(mem, name);
    if (index == kEntryNotFound)
        setLastErrorCode(KSUSB_ERR_NOT_FOUND);
    return index;
}

// Frames `body` and runs the command exchange; the first reply is read in as many 64-byte
// blocks as the command took.
bool exchange(std::span<const uint8_t> body, std::vector<uint8_t> &reply) {
    std::vector<uint8_t> packet(blockAligned(body.size() + 5), 0);
    const size_t length = buildPacket(packet, body);
    if (length == 0)
        return failWith(KSUSB_ERR_SEND); // cannot happen for names within the limits above
    reply.assign(blockAligned(length), 0);
    return commandExchange(packet.data(), blockAligned(length), reply.data(), reply.size(),
                           KSUSB_ERR_SEND, KSUSB_ERR_RECEIVE);
}

// The result request and the checks of the result reply shared by all five operations.
int finishChange(unsigned char mem, bool notReadyFails, ProtectRule rule) {
    uint8_t result[kBlock]{};
    if (!fetchResult(result))
        return 0;
    const uint8_t flags = result[kFlagsOffset];
    if (notReadyFails && (flags & KSUSB_FLAG_NOT_CONNECTED))
        return failWith(KSUSB_ERR_PLAYER_NOT_READY);
    if (mem == KSUSB_MEM_CARD && (flags & KSUSB_FLAG_CARD_PROTECTED) &&
        (rule == ProtectRule::Always || !(flags & KSUSB_FLAG_NO_CARD)))
        return failWith(KSUSB_ERR_WRITE_PROTECTED);
    if (result[kMarkOffset] != kClosingMark)
        return failWith(KSUSB_ERR_NO_CLOSING_MARK);
    return 1;
}

void appendBigEndian16(std::vector<uint8_t> &out, size_t value) {
    uint8_t two[2];
    putBe16(two, static_cast<uint16_t>(value));
    out.insert(out.end(), two, two + 2);
}

void appendBytes(std::vector<uint8_t> &out, std::string_view bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
}

int rename(unsigned char mem, const char *oldName, const char *newName, ShortNameMaker maker) {
    if (!memoryReady(mem))
        return 0;
    // A new name must be a name: empty or longer than the interface allows is refused.
    if (newName == nullptr || newName[0] == '\0' || strnlen(newName, kMaxNameArg + 1) > kMaxNameArg)
        return failWith(KSUSB_ERR_NOT_FOUND);
    const std::string_view wanted = newName;
    const std::string fitted = fitLongName(wanted);
    // The cut name is what the player will store, so it must not collide either.
    if (findEntry(mem, wanted) != kEntryNotFound || findEntry(mem, fitted) != kEntryNotFound)
        return failWith(KSUSB_ERR_EXISTS);
    const uint16_t index = lookUp(mem, oldName);
    if (index == kEntryNotFound)
        return 0;

    const std::string_view oldShort = shortNameOf(mem, index);
    const std::string newShort = chooseShortName(mem, fitted, maker);
    if (newShort.empty())
        return failWith(KSUSB_ERR_NAME_AREA_FULL);
    const std::string wide = toUtf16le(fitted, kMaxNameUnits);

    std::vector<uint8_t> body = {mem, kRename};
    appendBigEndian16(body, oldShort.size());
    appendBytes(body, oldShort);
    appendBigEndian16(body, newShort.size());
    appendBytes(body, newShort);
    appendBigEndian16(body, wide.size());
    appendBytes(body, wide);

    std::vector<uint8_t> reply;
    if (!exchange(body, reply))
        return 0;
    if (echoIs(reply, oldShort.size(), kUnknownEcho))
        return failWith(KSUSB_ERR_NOT_FOUND);
    if (echoIs(reply, oldShort.size(), kNoRoomEcho))
        return failWith(KSUSB_ERR_NO_NAME_ROOM);
    return finishChange(mem, false, ProtectRule::Always);
}

} // namespace

extern "C" {

KSUSB_API int KSUSB_DeleteFileInMemory(unsigned char mem, const char *name) {
    if (!memoryReady(mem))
        return 0;
    const uint16_t index = lookUp(mem, name);
    if (index == kEntryNotFound)
        return 0;
    const std::string_view shortName = shortNameOf(mem, index);
    std::vector<uint8_t> body = {mem, kDelete};
    appendBytes(body, shortName);
    std::vector<uint8_t> reply;
    if (!exchange(body, reply))
        return 0;
    if (echoIs(reply, shortName.size(), kUnknownEcho))
        return failWith(KSUSB_ERR_NOT_FOUND);
    return finishChange(mem, false, ProtectRule::UnlessNoCard);
}

KSUSB_API int KSUSB_RenameInMemory(unsigned char mem, const char *oldName, char *newName) {
    return rename(mem, oldName, newName, makeShortName);
}

KSUSB_API int KSUSB_RenameInMemory83(unsigned char mem, const char *oldName, char *newName) {
    return rename(mem, oldName, newName, makeShortName83);
}

KSUSB_API int KSUSB_ReplaceInMemory(unsigned char mem, const char *name, unsigned char position) {
    if (!memoryReady(mem))
        return 0;
    const uint16_t index = lookUp(mem, name);
    if (index == kEntryNotFound)
        return 0;
    const std::string_view shortName = shortNameOf(mem, index);
    std::vector<uint8_t> body = {mem, kPosition};
    appendBytes(body, shortName);
    body.push_back(static_cast<uint8_t>(position - 1)); // the player counts from 0
    std::vector<uint8_t> reply;
    if (!exchange(body, reply))
        return 0;
    if (echoIs(reply, shortName.size(), kUnknownEcho))
        return failWith(KSUSB_ERR_NOT_FOUND);
    return finishChange(mem, false, ProtectRule::Always);
}

KSUSB_API int KSUSB_FormatMemory(unsigned char mem) {
    if (!memoryReady(mem))
        return 0;
    const std::array<uint8_t, 2> body = {mem, kFormat};
    std::vector<uint8_t> reply;
    if (!exchange(body, reply))
        return 0; // the format's first reply says nothing we look at
    return finishChange(mem, true, ProtectRule::UnlessNoCard);
}

} // extern "C"
