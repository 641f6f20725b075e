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

int failWithLastError(std::string_view verb, unsigned char mem) {
    const int code = KSUSB_GetLastError();
    // The library refuses the card without a code of its own when none is in; say so instead
    // of showing whatever code an earlier step left behind.
    if (mem == KSUSB_MEM_CARD && (InvokePlayer() & KSUSB_FLAG_NO_CARD) != 0) {
        std::fprintf(stderr, "kesto %.*s: no memory card in the player\n", int(verb.size()),
                     verb.data());
        return kExitFailed;
    }
    std::fprintf(stderr, "kesto %.*s: %s\n", int(verb.size()), verb.data(),
                 describeError(code).c_str());
    return kExitFailed;
}

namespace {

// The codes a failing refresh stores itself. Anything else in the last error after a failed
// refresh was left by a step that succeeded (a probe that failed before a reopen that worked
// leaves -45, a card change -59), so the refresh failed without a code of its own.
bool storedByRefresh(int code) {
    switch (code) {
    case KSUSB_ERR_SEND:
    case KSUSB_ERR_RECEIVE:
    case KSUSB_ERR_RESULT_REQUEST:
    case KSUSB_ERR_RESULT_REPLY:
    case KSUSB_ERR_NO_CLOSING_MARK:
    case KSUSB_ERR_NOT_CONNECTED:
        return true;
    default:
        return false;
    }
}

} // namespace

bool refreshTable(std::string_view verb, unsigned char mem, bool withStatus) {
    const int ok = withStatus ? RefreshMemory(mem) : KSUSB_RefreshMemory(mem);
    if (ok != 0)
        return true;
    if (!storedByRefresh(KSUSB_GetLastError()) &&
        !(mem == KSUSB_MEM_CARD && (InvokePlayer() & KSUSB_FLAG_NO_CARD) != 0)) {
        // With the card in, the only failure without a code is a table of 256 files or more.
        std::fprintf(stderr,
                     "kesto %.*s: the %s memory holds more files than a table can list (at most "
                     "255)\n",
                     int(verb.size()), verb.data(), memoryLabel(mem));
        return false;
    }
    failWithLastError(verb, mem);
    return false;
}

std::string jsonString(std::string_view s) {
    std::string out = "\"";
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const size_t len = validUtf8Length(s, i);
        if (len > 1) {
            out.append(s.substr(i, len));
            i += len;
            continue;
        }
        char esc[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x80) {
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
        ++i;
    }
    return out + "\"";
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
