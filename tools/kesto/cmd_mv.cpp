// kesto mv M|S OLD NEW [--83]: gives a file of the player a new long name (and a new 8.3 name).
#include "memory_arg.h"
#include "player_names.h"
#include "verb.h"

#include "KestoUSB.h"

#include <cstdio>
#include <vector>

namespace kesto {
namespace {

constexpr std::string_view kUsage = help::command("mv").usage;

int mv(std::span<const std::string> args) {
    std::string unknown;
    const auto parsed = parseArgs(args, {"--83"}, unknown);
    if (!parsed)
        return usageError("mv", "unknown option " + unknown, kUsage);
    if (parsed->operands.size() != 3)
        return usageError("mv", "expected a memory, the current name and the new name", kUsage);
    const auto mem = memoryOperand(parsed->operands[0]);
    if (!mem)
        return usageError("mv", "the memory is M (flash) or S (card)", kUsage);
    std::string oldName = parsed->operands[1];
    // The library takes the new name as a writable buffer.
    std::vector<char> newName(parsed->operands[2].begin(), parsed->operands[2].end());
    newName.push_back('\0');

    if (!refreshTable("mv", *mem, false) || !resolvePlayerName("mv", *mem, oldName))
        return kExitFailed;
    const int ok = parsed->has("--83")
                       ? KSUSB_RenameInMemory83(*mem, oldName.c_str(), newName.data())
                       : KSUSB_RenameInMemory(*mem, oldName.c_str(), newName.data());
    if (ok == 0)
        return failOnPlayerName("mv", *mem, oldName);
    std::printf("renamed %c:%s -> %s\n", *mem, oldName.c_str(), newName.data());
    return kExitOk;
}

const Verb registration(help::command("mv"), mv);

} // namespace
} // namespace kesto
