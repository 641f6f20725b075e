// kesto rm M|S NAME: deletes a file of the player by its long name.
#include "memory_arg.h"
#include "player_names.h"
#include "verb.h"

#include "KestoUSB.h"

#include <cstdio>

namespace kesto {
namespace {

constexpr std::string_view kUsage = help::command("rm").usage;

int rm(std::span<const std::string> args) {
    std::string unknown;
    const auto parsed = parseArgs(args, {}, unknown);
    if (!parsed)
        return usageError("rm", "unknown option " + unknown, kUsage);
    if (parsed->operands.size() != 2)
        return usageError("rm", "expected a memory and a file name", kUsage);
    const auto mem = memoryOperand(parsed->operands[0]);
    if (!mem)
        return usageError("rm", "the memory is M (flash) or S (card)", kUsage);
    std::string name = parsed->operands[1];

    // The library finds the file's 8.3 name in its cached table, so read the table first.
    if (!refreshTable("rm", *mem, false) || !resolvePlayerName("rm", *mem, name))
        return kExitFailed;
    if (KSUSB_DeleteFileInMemory(*mem, name.c_str()) == 0)
        return failOnPlayerName("rm", *mem, name);
    std::printf("deleted %c:%s\n", *mem, name.c_str());
    return kExitOk;
}

const Verb registration(help::command("rm"), rm);

} // namespace
} // namespace kesto
