#include "messages.h"

#include "KestoUSB.h"
#include "texts/english.h"

namespace kesto {

namespace {

using tunara::res::StrId;

struct ErrorText {
    int code;
    Message message;
};

consteval Message msg(StrId id) {
    return {static_cast<int>(id), tunara::texts::english(id)};
}

// The program's text for -40 advises reinstalling a driver, which a Linux system does not have:
// the player is reached over its cable, with the access a udev rule gives, and `kesto info`
// shows whether it answers.
constexpr Message kNotConnectedHere = {
    kOwnText, "Device is Not connected. Check the USB cable and the udev rule that gives you "
              "access to the player, then try 'kesto info'."};

// The codes the program maps to a message of their own; all others get the generic one.
constexpr ErrorText kErrorTexts[] = {
    {KSUSB_ERR_EXISTS, msg(StrId::AlreadyFileExist)},
    {KSUSB_ERR_NOT_FOUND, msg(StrId::FileNotFound)},
    {KSUSB_ERR_MEMORY_FULL, msg(StrId::MemoryIsFull)},
    {KSUSB_ERR_NAME_AREA_FULL, msg(StrId::NameAreaFull)},
    {KSUSB_ERR_NOT_CONNECTED, kNotConnectedHere},
    {KSUSB_ERR_OPEN_FILE, msg(StrId::CantOpenFile)},
    {KSUSB_ERR_REFUSED, msg(StrId::DownloadFailed)},
    {KSUSB_ERR_PLAYER_NOT_READY, msg(StrId::CantConnect)},
    {KSUSB_ERR_WRITE_PROTECTED, msg(StrId::ExternalProtected)},
};
constexpr Message kGeneric = msg(StrId::FailedDataTransmitted);
// A -40 while the player is attached but held by another program (the program itself, while
// it runs): no cable advice.
constexpr Message kPlayerInUse = msg(StrId::PlayerInUse);

struct FlagText {
    unsigned flag;
    std::string_view name;
    Message message;
};

// In the order the program shows its notices.
constexpr FlagText kFlagTexts[] = {
    {KSUSB_FLAG_NOT_CONNECTED, "not connected", msg(StrId::PlayerNotConnected)},
    {KSUSB_FLAG_BUSY, "busy", msg(StrId::PlayerBusy)},
    {KSUSB_FLAG_CARD_CHANGED, "card changed", msg(StrId::CardUpdated)},
    {KSUSB_FLAG_CARD_PROTECTED, "card write-protected", msg(StrId::WriteProtectTab)},
    {KSUSB_FLAG_FLASH_FULL, "internal memory full", msg(StrId::InternalFull)},
    {KSUSB_FLAG_CARD_FULL, "external memory full", msg(StrId::ExternalFull)},
};
constexpr unsigned kNoCardFlag = KSUSB_FLAG_NO_CARD; // shown as a name only: the program adds or
                                                     // removes the card pane instead

} // namespace

Message messageForError(int code) {
    if (code == KSUSB_ERR_NOT_CONNECTED && KSUSB_PlayerInUse())
        return kPlayerInUse;
    for (const ErrorText &e : kErrorTexts)
        if (e.code == code)
            return e.message;
    return kGeneric;
}

std::string errorMessage(int code) {
    return std::string(messageForError(code).text);
}

std::string describeError(int code) {
    const Message m = messageForError(code);
    return "error " + std::to_string(code) + " (" + KSUSB_ErrorName(code) +
           "): " + std::string(m.text);
}

std::vector<Message> flagMessages(unsigned flags) {
    std::vector<Message> out;
    for (const FlagText &f : kFlagTexts)
        if (flags & f.flag)
            out.push_back(f.message);
    return out;
}

std::string flagNames(unsigned flags) {
    std::string out;
    auto add = [&out](std::string_view name) {
        if (!out.empty())
            out += ", ";
        out += name;
    };
    for (const FlagText &f : kFlagTexts)
        if (flags & f.flag)
            add(f.name);
    if (flags & kNoCardFlag)
        add("no card");
    if (flags & 0x01u)
        add("0x01");
    return out.empty() ? "none" : out;
}

} // namespace kesto
