#include "music.h"

#include "player_names.h"
#include "playerformat.h"
#include "progress.h"

#include "KestoUSB.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

namespace kesto {

using namespace tunara::media;

namespace {
constexpr size_t kMaxBitRateDigits = 4; // leading zeros aside, no bit rate has more
} // namespace

std::optional<std::string> takeConvertOption(std::span<const std::string> args, size_t &i,
                                             ConvertChoice &choice) {
    const std::string &a = args[i];
    if (a == "--no-convert") {
        choice.convert = false;
    } else if (a == "--vbr") {
        choice.settings.vbr = true;
    } else if (a == "--no-cover") {
        choice.settings.cover = false;
    } else if (a == "--use-tags") {
        choice.settings.useStoredGain = true;
    } else if (a == "--level") {
        const auto mode = i + 1 < args.size() ? parseLevelMode(args[i + 1]) : std::nullopt;
        if (!mode)
            return "--level takes off, track or album" +
                   (i + 1 < args.size() ? ", not '" + args[i + 1] + "'" : std::string());
        choice.settings.level = *mode;
        ++i;
    } else if (a == "--bitrate") {
        if (i + 1 >= args.size())
            return std::string("--bitrate takes a bit rate in kbit/s");
        const std::string &value = args[++i];
        // Digits only, and a number checked before it is narrowed: 4294967488 is no 192.
        const bool digits = !value.empty() && value.size() <= kMaxBitRateDigits &&
                            value.find_first_not_of("0123456789") == std::string::npos;
        const long kbps = digits ? std::strtol(value.c_str(), nullptr, 10) : 0;
        if (!digits || !isLayer3BitRate(int(kbps)))
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

std::optional<ConversionResult> awaitConversion(ConversionQueue &queue, std::size_t index,
                                                const std::string &source) {
    std::error_code sizeError;
    const auto size = std::filesystem::file_size(source, sizeError);
    ConversionBars &bars = terminalConversionBars();
    bars.await(index, source, sizeError ? 0 : size);
    std::optional<ConversionResult> result;
    {
        InterruptGuard guard;
        while (!(result = queue.poll(index))) {
            if (guard.interrupted()) {
                queue.stop();
                break;
            }
            std::this_thread::sleep_for(kInterruptPoll);
        }
    }
    bars.finish();
    return result;
}

} // namespace kesto
