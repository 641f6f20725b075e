// kesto info: connects the way the program does and shows who the player is.
#include "messages.h"
#include "verb.h"

#include "KestoUSB.h"

#include <cstdio>
#include <string>

namespace {

// Text fields hold raw bytes from the player; the model arrives space-padded.
std::string shown(const char *field) {
    std::string s(field);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0'))
        s.pop_back();
    return s;
}

int fail(int code) {
    std::fprintf(stderr, "kesto info: %s\n", kesto::describeError(code).c_str());
    return kesto::kExitFailed;
}

int runInfo(std::span<const std::string> args) {
    if (!args.empty()) {
        std::fprintf(stderr, "kesto info: takes no arguments (see 'kesto help info')\n");
        return kesto::kExitUsage;
    }
    if (!KSUSB_CheckConnect())
        return fail(KSUSB_GetLastError());

    // InvokePlayer returns 0 both for "no flag set" and for a failed exchange; a fresh exchange
    // code tells them apart.
    const int before = KSUSB_GetLastError();
    const unsigned flags = InvokePlayer();
    const int after = KSUSB_GetLastError();
    if (flags == 0 && after != before &&
        (after == KSUSB_ERR_SEND || after == KSUSB_ERR_RESULT_REPLY ||
         after == KSUSB_ERR_NOT_CONNECTED))
        return fail(after);

    // As the program: a card change (-59) is news, not a failure.
    if (!GetPlayerVersion() || !KSUSB_GetPlayerStatus()) {
        const int code = KSUSB_GetLastError();
        if (code != KSUSB_ERR_CARD_CHANGED)
            return fail(code);
    }

    KSPlayerStatus status{};
    GetPlayerInfo(&status);
    char path[256] = {};
    GetDevicePID(path);

    std::printf("device:  %s\n", path);
    std::printf("flags:   0x%02X (%s)\n", flags, kesto::flagNames(flags).c_str());
    std::printf("version: %s\n", shown(status.version).c_str());
    std::printf("date:    %s\n", shown(status.date).c_str());
    std::printf("model:   %s\n", shown(status.model).c_str());
    for (const kesto::Message &m : kesto::flagMessages(flags))
        std::printf("notice:  %.*s\n", static_cast<int>(m.text.size()), m.text.data());
    return kesto::kExitOk;
}

const kesto::Verb info(kesto::help::command("info"), runInfo);

} // namespace
