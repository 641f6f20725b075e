#include "music.h"

#include "player_names.h"
#include "playerformat.h"

#include "KestoUSB.h"

#include <cstdlib>
#include <cstring>

namespace kesto {

using namespace tunara::media;

std::optional<std::string> takeConvertOption(std::span<const std::string> args, size_t &i,
                                             ConvertChoice &choice) {
    const std::string &a = args[i];
    if (a == "--no-convert") {
        choice.convert = false;
    } else if (a == "--vbr") {
        choice.settings.vbr = true;
    } else if (a == "--no-cover") {
        choice.settings.cover = false;
    } else if (a == "--bitrate") {
        if (i + 1 >= args.size())
            return std::string("--bitrate takes a bit rate in kbit/s");
        const std::string &value = args[++i];
        char *end = nullptr;
        const long kbps = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || !isLayer3BitRate(int(kbps)))
            return "--bitrate takes an MP3 bit rate in kbit/s (32, 40, 48, 56, 64, 80, 96, "
                   "112, 128, 160, 192, 224, 256 or 320), not '" +
                   value + "'";
        choice.settings.bitRateKbps = int(kbps);
    } else {
        return std::nullopt;
    }
    return std::string();
}

int connectedModel() {
    if (!KSUSB_GetPlayerStatus())
        return ModelUnknown;
    KSPlayerStatus status{};
    if (!GetPlayerInfo(&status))
        return ModelUnknown;
    return playerModelFor(
        std::string_view(status.model, strnlen(status.model, sizeof status.model)));
}

std::string settingsProblem(const ConvertChoice &choice, int model, unsigned char mem) {
    if (!choice.convert)
        return {};
    const int most = maxBitRateKbps(model, mem);
    if (choice.settings.bitRateKbps > most)
        return "this player plays at most " + std::to_string(most) + " kbit/s from its " +
               (mem == kMemoryCard ? "card" : "flash memory") + "; --bitrate " +
               std::to_string(choice.settings.bitRateKbps) + " is too high";
    if (choice.settings.vbr && !vbrPlayable(model, mem))
        return "this player cannot play variable bit rates from its card; leave out --vbr";
    return {};
}

} // namespace kesto
