// kesto format M|S [--yes]: formats a memory of the player, erasing every file on it.
#include "memory_arg.h"
#include "verb.h"

#include "KestoUSB.h"

#include <cstdio>
#include <memory>
#include <string>

#include <unistd.h>

namespace kesto {
namespace {

constexpr std::string_view kUsage = help::command("format").usage;

// Asks on the terminal; only "y" or "yes" goes ahead.
bool confirmed(unsigned char mem) {
    std::fprintf(stderr, "Format the %s memory (%c)? Every file on it is erased. [y/N] ",
                 memoryLabel(mem), mem);
    std::fflush(stderr);
    std::string answer;
    for (int c = std::getchar(); c != EOF && c != '\n'; c = std::getchar())
        answer += static_cast<char>(c);
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "YES" || answer == "Yes";
}

int format(std::span<const std::string> args) {
    std::string unknown;
    const auto parsed = parseArgs(args, {"--yes"}, unknown);
    if (!parsed)
        return usageError("format", "unknown option " + unknown, kUsage);
    if (parsed->operands.size() != 1)
        return usageError("format", "expected one memory, M or S", kUsage);
    const auto mem = memoryOperand(parsed->operands[0]);
    if (!mem)
        return usageError("format", "the memory is M (flash) or S (card)", kUsage);

    if (!parsed->has("--yes")) {
        // Never erase a memory on a script's behalf without it saying so.
        if (isatty(STDIN_FILENO) == 0)
            return usageError("format", "not asking without a terminal: give --yes", kUsage);
        if (!confirmed(*mem)) {
            std::fprintf(stderr, "kesto format: not formatted\n");
            return kExitFailed;
        }
    }

    if (KSUSB_FormatMemory(*mem) == 0)
        return failWithLastError("format", *mem);
    auto table = std::make_unique<KSUSB_TOpenTable>();
    if (!refreshTable("format", *mem, false))
        return kExitFailed;
    GetFileInfo(*mem, table.get());
    std::printf("formatted %c (%s): total %u bytes, free %u bytes\n", *mem, memoryLabel(*mem),
                table->total, table->free);
    return kExitOk;
}

const Verb registration(help::command("format"), format);

} // namespace
} // namespace kesto
