#include "messages.h"

#include "KestoUSB.h"

namespace kesto {

namespace {

struct ErrorText {
    int code;
    Message message;
};

// The codes the program maps to a message of their own; all others get the generic one.
constexpr ErrorText kErrorTexts[] = {
    {KSUSB_ERR_EXISTS, {10009, "Already file exist."}},
    {KSUSB_ERR_NOT_FOUND, {10012, "File not found!"}},
    {KSUSB_ERR_MEMORY_FULL, {10010, "Memory is full!"}},
    {KSUSB_ERR_NAME_AREA_FULL,
     {10021, "Filename storage area is full. Try to shorten the existing filenames"}},
    {KSUSB_ERR_NOT_CONNECTED,
     {10015, "Device is Not connected. Try to reconnect USB cable when the driver is installed "
             "properly."}},
    {KSUSB_ERR_OPEN_FILE, {10014, "Can't open a file"}},
    {KSUSB_ERR_REFUSED, {10013, "Download failed"}},
    {KSUSB_ERR_PLAYER_NOT_READY, {10099, "Can't connect to player"}},
    {KSUSB_ERR_WRITE_PROTECTED, {10094, "External Memory is protected from writing."}},
};
constexpr Message kGeneric{10022, "Failed data transmitted"};

struct FlagText {
    unsigned flag;
    std::string_view name;
    Message message;
};

// In the order the program shows its notices.
constexpr FlagText kFlagTexts[] = {
    {KSUSB_FLAG_NOT_CONNECTED, "not connected", {10082, "Player is not connected"}},
    {KSUSB_FLAG_BUSY, "busy", {10073, "Player is busy."}},
    {KSUSB_FLAG_CARD_CHANGED, "card changed", {10078, "External memory card is updated"}},
    {KSUSB_FLAG_CARD_PROTECTED,
     "card write-protected",
     {10092, "Write protection tab is detected"}},
    {KSUSB_FLAG_FLASH_FULL, "internal memory full", {10079, "Internal memory is full"}},
    {KSUSB_FLAG_CARD_FULL, "external memory full", {10077, "External memory is full"}},
};
constexpr unsigned kNoCardFlag = KSUSB_FLAG_NO_CARD; // shown as a name only: the program adds or
                                                     // removes the card pane instead

} // namespace

Message messageForError(int code) {
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
