// Shared pieces of the file verbs (ls, rm, mv, order, format): the memory operand and how a
// failure of the library reaches the user.
#pragma once

#include "playerformat.h"

#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kesto {

// "M" (flash) or "S" (card), either case; nullopt for anything else.
std::optional<unsigned char> memoryOperand(std::string_view text);

// "flash" / "card".
const char *memoryLabel(unsigned char mem);

// Prints the library's last error on stderr as every verb does ("kesto VERB: error CODE (NAME):
// MESSAGE", the program's message for the code) and returns kExitFailed. For the card it first
// asks the player whether a card is in: without one the library fails with no code of its own,
// and "kesto VERB: no memory card in the player" is printed instead.
int failWithLastError(std::string_view verb, unsigned char mem);

// Reads the memory's table into the library's cache: RefreshMemory (version, status, table)
// when `withStatus`, else KSUSB_RefreshMemory. On failure prints why (as failWithLastError) and
// returns false. A table of 256 or more files fails in the library without a code of its own;
// that is reported in words.
bool refreshTable(std::string_view verb, unsigned char mem, bool withStatus);

using tunara::media::validUtf8Length;

// A JSON string: valid UTF-8 is kept; a byte that is not part of valid UTF-8 (a short name the
// player made in its own code page) is written as the character of that byte value, \u00XX.
std::string jsonString(std::string_view s);

// Prints "kesto VERB: PROBLEM" and the verb's usage line on stderr; returns kExitUsage.
int usageError(std::string_view verb, std::string_view problem, std::string_view usage);

// Splits `args` into operands and the flags in `known` (e.g. "--json"); an unknown "--x" is a
// usage problem: nullopt, with `unknown` set to it.
struct ParsedArgs {
    std::vector<std::string> operands;
    std::vector<std::string> flags;
    bool has(std::string_view flag) const;
};
std::optional<ParsedArgs> parseArgs(std::span<const std::string> args,
                                    std::initializer_list<std::string_view> known,
                                    std::string &unknown);

} // namespace kesto
