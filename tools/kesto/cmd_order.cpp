// kesto order M|S NAME POSITION: moves a file to another place in the play order.
#include "memory_arg.h"
#include "player_names.h"
#include "verb.h"

#include "KestoUSB.h"

#include <charconv>
#include <cstdio>

namespace kesto {
namespace {

constexpr std::string_view kUsage = help::command("order").usage;
constexpr unsigned kMaxPosition = 255; // one byte on the wire, counted from 1

int order(std::span<const std::string> args) {
    std::string unknown;
    const auto parsed = parseArgs(args, {}, unknown);
    if (!parsed)
        return usageError("order", "unknown option " + unknown, kUsage);
    if (parsed->operands.size() != 3)
        return usageError("order", "expected a memory, a file name and a position", kUsage);
    const auto mem = memoryOperand(parsed->operands[0]);
    if (!mem)
        return usageError("order", "the memory is M (flash) or S (card)", kUsage);
    std::string name = parsed->operands[1];
    const std::string &posText = parsed->operands[2];
    unsigned position = 0;
    const auto [end, ec] =
        std::from_chars(posText.data(), posText.data() + posText.size(), position);
    if (ec != std::errc{} || end != posText.data() + posText.size() || position < 1 ||
        position > kMaxPosition)
        return usageError("order", "the position is a number from 1 to 255", kUsage);

    if (!refreshTable("order", *mem, false) || !resolvePlayerName("order", *mem, name))
        return kExitFailed;
    if (KSUSB_ReplaceInMemory(*mem, name.c_str(), static_cast<unsigned char>(position)) == 0)
        return failOnPlayerName("order", *mem, name);
    std::printf("moved %c:%s to position %u\n", *mem, name.c_str(), position);
    return kExitOk;
}

const Verb registration(help::command("order"), order);

} // namespace
} // namespace kesto
