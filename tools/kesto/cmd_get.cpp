// kesto get [-m M|S] NAME DEST: uploads a file of the player to the PC.
#include "memory_arg.h"
#include "player_names.h"
#include "progress.h"
#include "verb.h"

#include "KestoUSB.h"
#include "safefilename.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace kesto {
namespace {

constexpr uint32_t kProgressStep = 10000;

// What `dest` (after its links) is when the library refuses to write it, or nullptr when it
// is not one of the kinds refused.
const char *refusedKind(const std::string &dest) {
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(dest, ec);
    if (ec == std::errc::too_many_symbolic_link_levels)
        return "a loop of links";
    switch (status.type()) {
    case std::filesystem::file_type::directory:
        return "a folder";
    case std::filesystem::file_type::socket:
        return "a socket";
    case std::filesystem::file_type::block:
        return "a block device";
    default:
        return nullptr;
    }
}

int get(std::span<const std::string> args) {
    unsigned char mem = KSUSB_MEM_FLASH;
    std::vector<std::string> operands;
    bool operandsOnly = false; // after "--" a name may start with '-'
    for (size_t i = 0; i < args.size(); ++i) {
        if (operandsOnly) {
            operands.push_back(args[i]);
        } else if (args[i] == "--") {
            operandsOnly = true;
        } else if (args[i] == "-m") {
            const auto parsed = i + 1 < args.size() ? memoryOperand(args[i + 1]) : std::nullopt;
            if (!parsed) {
                std::fprintf(stderr, "kesto get: -m takes M or S\n");
                return kExitUsage;
            }
            mem = *parsed;
            ++i;
        } else if (args[i].size() > 1 && args[i][0] == '-') {
            return usageError("get", "unknown option " + args[i], help::command("get").usage);
        } else {
            operands.push_back(args[i]);
        }
    }
    if (operands.size() != 2) {
        std::fprintf(stderr, "Usage: kesto get [-m M|S] NAME DEST\n");
        return kExitUsage;
    }
    // The player-side name goes to the library exactly as given; only the PC file named after
    // it is made safe, since the player's table may hold names such as "../../x".
    std::string name = operands[0];
    if (!refreshTable("get", mem, false) || !resolvePlayerName("get", mem, name))
        return kExitFailed;
    std::string dest = operands[1];
    std::error_code ec;
    if (std::filesystem::is_directory(dest, ec))
        dest = (std::filesystem::path(dest) / tunara::media::SafeFileName(name)).string();

    ProgressBar bar = terminalBar(name);
    const int code = followTransfer(
        [&](KSNotifyTarget *window) {
            return KSUSB_Upload(mem, name.c_str(), dest.c_str(), window, kProgressStep);
        },
        bar);
    if (code == KSUSB_ERR_NOT_FOUND)
        return failOnPlayerName("get", mem, name);
    if (code == KSUSB_ERR_OPEN_FILE) {
        reportFailure("get", code, dest);
        if (const char *kind = refusedKind(dest))
            std::fprintf(stderr,
                         "kesto get: %s is %s; only a file, a character device or a pipe can "
                         "take the upload\n",
                         dest.c_str(), kind);
        return kExitFailed;
    }
    if (code != 0)
        return reportFailure("get", code);
    std::printf("%c:%s -> %s\n", mem, name.c_str(), dest.c_str());
    return kExitOk;
}

const Verb registration(help::command("get"), get);

} // namespace
} // namespace kesto
