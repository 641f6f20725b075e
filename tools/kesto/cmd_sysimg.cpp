// kesto sysimg KIND FILE: writes a system image (boot code, font, icon, logo) into its slot.
#include "progress.h"
#include "verb.h"

#include "KestoUSB.h"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <optional>
#include <string_view>

namespace kesto {
namespace {

constexpr uint32_t kImageStep = 1000; // the step the service tools use for images

struct Slot {
    unsigned char kind;
    std::string_view name;
};

// The slots by the names the service dialog shows; 0xFF sends firmware.
constexpr Slot kSlots[] = {
    {0xFF, "[Firmware Upgrade]"}, {0x00, "Booting code"},   {0x01, "FONT-KOR"},
    {0x02, "FONT-ENG"},           {0x03, "FONT-CHN(SMPL)"}, {0x04, "FONT-CHN(TRAD)"},
    {0x05, "FONT-JPN"},           {0x06, "FONT-LATIN1"},    {0x07, "FONT-CYRILLIC"},
    {0xE0, "ICON-ICON"},          {0xE1, "LOGO-LOGOSYS"},   {0xE2, "LOGO-LOGOUSER"},
    {0xE3, "FONT-ASCII"},
};

bool sameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// A slot number (decimal, or hexadecimal with "0x") from 0 to 255, or a slot name.
std::optional<unsigned char> parseKind(std::string_view text) {
    for (const Slot &slot : kSlots)
        if (sameName(text, slot.name))
            return slot.kind;
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty() || value > 0xFF)
        return std::nullopt;
    return static_cast<unsigned char>(value);
}

int sysimg(std::span<const std::string> args) {
    if (args.size() != 2) {
        std::fprintf(stderr, "Usage: kesto sysimg KIND FILE\n");
        return kExitUsage;
    }
    const auto kind = parseKind(args[0]);
    if (!kind) {
        std::fprintf(stderr,
                     "kesto sysimg: unknown KIND '%s'; use 0-255 or one of:", args[0].c_str());
        for (const Slot &slot : kSlots)
            std::fprintf(stderr, " \"%.*s\"", int(slot.name.size()), slot.name.data());
        std::fprintf(stderr, "\n");
        return kExitUsage;
    }
    ProgressBar bar = terminalBar(args[1]);
    const int code = followTransfer(
        [&](KSNotifyTarget *window) {
            return KSUSB_SystemReg(*kind, args[1].c_str(), window, kImageStep);
        },
        bar);
    if (code != 0)
        return reportFailure("sysimg", code);
    std::printf("%s -> slot 0x%02X\n", args[1].c_str(), *kind);
    return kExitOk;
}

const Verb registration(help::command("sysimg"), sysimg);

} // namespace
} // namespace kesto
