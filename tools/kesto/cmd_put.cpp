// kesto put [-m M|S] FILE...: downloads PC files into a memory of the player.
#include "memory_arg.h"
#include "progress.h"
#include "verb.h"

#include "KestoUSB.h"

#include <cstdio>
#include <string>
#include <vector>

namespace kesto {
namespace {

// The step the program uses too: the first progress post after 10,000 bytes.
constexpr uint32_t kProgressStep = 10000;

int put(std::span<const std::string> args) {
    unsigned char mem = KSUSB_MEM_FLASH;
    std::vector<std::string> files;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "-m") {
            const auto parsed = i + 1 < args.size() ? memoryOperand(args[i + 1]) : std::nullopt;
            if (!parsed) {
                std::fprintf(stderr, "kesto put: -m takes M or S\n");
                return kExitUsage;
            }
            mem = *parsed;
            ++i;
        } else {
            files.push_back(args[i]);
        }
    }
    if (files.empty()) {
        std::fprintf(stderr, "Usage: kesto put [-m M|S] FILE...\n");
        return kExitUsage;
    }

    // The library checks names against its cached table, so it must be fresh, and fresh again
    // after each file: the next file's short name must not collide with the one just sent.
    if (!refreshTable("put", mem, false))
        return kExitFailed;
    int result = kExitOk;
    for (const std::string &file : files) {
        ProgressBar bar = terminalBar(file);
        const int code = followTransfer(
            [&](KSNotifyTarget *window) {
                return KSUSB_Download(mem, file.c_str(), window, kProgressStep);
            },
            bar);
        if (code != 0) {
            reportFailure("put", code, file);
            result = kExitFailed;
            if (code == KSUSB_ERR_STOPPED)
                break;
            continue;
        }
        std::printf("%s -> %c\n", file.c_str(), mem);
        if (!refreshTable("put", mem, false))
            return kExitFailed;
    }
    return result;
}

const Verb registration(help::command("put"), put);

} // namespace
} // namespace kesto
