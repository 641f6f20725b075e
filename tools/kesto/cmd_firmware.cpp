// kesto firmware FILE: sends a firmware upgrade to the player.
#include "progress.h"
#include "verb.h"

#include "KestoUSB.h"

#include <cstdio>

namespace kesto {
namespace {

// The step the program's service tools use for images.
constexpr uint32_t kImageStep = 1000;

int firmware(std::span<const std::string> args) {
    if (args.size() != 1) {
        std::fprintf(stderr, "Usage: kesto firmware FILE\n");
        return kExitUsage;
    }
    ProgressBar bar = terminalBar(args[0]);
    const int code = followTransfer(
        [&](KSNotifyTarget *window) {
            return KSUSB_SystemUpdateFirmware(args[0].c_str(), window, kImageStep);
        },
        bar);
    if (code != 0)
        return reportFailure("firmware", code);
    std::printf("%s -> firmware\n", args[0].c_str());
    return kExitOk;
}

const Verb registration(help::command("firmware"), firmware);

} // namespace
} // namespace kesto
