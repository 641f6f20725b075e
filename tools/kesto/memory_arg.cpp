#include "memory_arg.h"

#include "messages.h"
#include "verb.h"

#include "KestoUSB.h"

#include <algorithm>
#include <cstdio>

namespace kesto {

std::optional<unsigned char> memoryOperand(std::string_view text) {
    if (text == "M" || text == "m")
        return KSUSB_MEM_FLASH;
    if (text == "S" || text == "s")
        return KSUSB_MEM_CARD;
    return std::nullopt;
}

const char *memoryLabel(unsigned char mem) {
    return mem == KSUSB_MEM_FLASH ? "flash" : "card";
}

int failWithLastError(unsigned char mem) {
    const int code = KSUSB_GetLastError();
    // The library refuses the card without a code of its own when none is in; say so instead
    // of showing whatever code an earlier step left behind.
    if (mem == KSUSB_MEM_CARD && (InvokePlayer() & KSUSB_FLAG_NO_CARD) != 0) {
        std::fprintf(stderr, "kesto: no memory card in the player\n");
        return kExitFailed;
    }
    std::fprintf(stderr, "%s\n", describeError(code).c_str());
    return kExitFailed;
}

int usageError(std::string_view verb, std::string_view problem, std::string_view usage) {
    std::fprintf(stderr, "kesto %.*s: %.*s\nUsage: kesto %.*s %.*s\n", int(verb.size()),
                 verb.data(), int(problem.size()), problem.data(), int(verb.size()), verb.data(),
                 int(usage.size()), usage.data());
    return kExitUsage;
}

bool ParsedArgs::has(std::string_view flag) const {
    return std::find(flags.begin(), flags.end(), flag) != flags.end();
}

std::optional<ParsedArgs> parseArgs(std::span<const std::string> args,
                                    std::initializer_list<std::string_view> known,
                                    std::string &unknown) {
    ParsedArgs parsed;
    bool operandsOnly = false; // after "--" everything is an operand (names may start with '-')
    for (const std::string &a : args) {
        if (!operandsOnly && a == "--") {
            operandsOnly = true;
        } else if (!operandsOnly && a.size() > 1 && a[0] == '-') {
            if (std::find(known.begin(), known.end(), a) == known.end()) {
                unknown = a;
                return std::nullopt;
            }
            parsed.flags.push_back(a);
        } else {
            parsed.operands.push_back(a);
        }
    }
    return parsed;
}

} // namespace kesto
