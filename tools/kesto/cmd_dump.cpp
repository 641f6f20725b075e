// kesto dump M|S START END [...]: reads a memory's raw flash into a binary dump and/or the hex
// listing the service dialog writes.
#include "dump/dump_listing.h"
#include "memory_arg.h"
#include "progress.h"
#include "verb.h"

#include "KestoUSB.h"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>

namespace kesto {
namespace {

constexpr size_t kMaxHexDigits = 8;

// A hexadecimal address with an optional "0x"; the dialog's own parser then reads it.
std::optional<uint32_t> parseHex(std::string_view text) {
    std::string_view digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits.remove_prefix(2);
    if (digits.empty() || digits.size() > kMaxHexDigits)
        return std::nullopt;
    for (char c : digits)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return std::nullopt;
    return dumplisting::parseAddress(digits);
}

std::optional<uint32_t> parsePositive(std::string_view text) {
    uint32_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value == 0)
        return std::nullopt;
    return value;
}

int usage(const char *why) {
    std::fprintf(stderr,
                 "kesto dump: %s\nUsage: kesto dump M|S START END [--bin FILE] "
                 "[--text FILE] [--spare] [--sector N] [--cluster N]\n",
                 why);
    return kExitUsage;
}

int dump(std::span<const std::string> args) {
    if (args.size() < 3)
        return usage("memory, start and end address needed");
    const auto mem = memoryOperand(args[0]);
    if (!mem)
        return usage("the memory is M or S");
    const auto start = parseHex(args[1]);
    const auto end = parseHex(args[2]);
    if (!start || !end)
        return usage("addresses are hexadecimal (e.g. 0x200)");
    if (*end <= *start)
        return usage("the end address (exclusive) must lie above the start address");

    dumplisting::DumpRequest request;
    request.start = *start;
    request.end = *end;
    request.spare = false;
    std::string binPath, textPath;
    for (size_t i = 3; i < args.size(); ++i) {
        const std::string &opt = args[i];
        if (opt == "--spare") {
            request.spare = true;
            continue;
        }
        if (i + 1 >= args.size())
            return usage(("missing value after " + opt).c_str());
        const std::string &value = args[++i];
        if (opt == "--bin") {
            binPath = value;
        } else if (opt == "--text") {
            textPath = value;
        } else if (opt == "--sector" || opt == "--cluster") {
            const auto n = parsePositive(value);
            if (!n)
                return usage((opt + " takes a positive number").c_str());
            (opt == "--sector" ? request.sectorSize : request.clusterSize) = *n;
        } else {
            return usage(("unknown option " + opt).c_str());
        }
    }

    std::ofstream binFile, textFile;
    if (!binPath.empty()) {
        binFile.open(binPath, std::ios::binary | std::ios::trunc);
        if (!binFile)
            return reportFailure("dump", KSUSB_ERR_OPEN_FILE);
    }
    // The listing carries its own "\r\n" line ends; written untranslated.
    if (!textPath.empty()) {
        textFile.open(textPath, std::ios::binary | std::ios::trunc);
        if (!textFile)
            return reportFailure("dump", KSUSB_ERR_OPEN_FILE);
    }
    std::ostream *text = textFile.is_open() ? &textFile : nullptr;
    if (!binFile.is_open() && text == nullptr)
        text = &std::cout; // nothing named: the listing goes to the terminal

    ProgressBar bar = terminalBar("dump");
    bar.start(uint64_t(*end) - *start);
    const auto result = dumplisting::runDump(
        request,
        [m = *mem](uint32_t address, unsigned char op, uint8_t *out) {
            return KSUSB_PhysicalBlockAccess(m, address, op, out) != 0;
        },
        binFile.is_open() ? &binFile : nullptr, text,
        [&](uint32_t address, int) { bar.update(uint64_t(address) - *start); });
    bar.finish();
    if (text == &std::cout)
        std::cout << "\r\n" << std::flush;
    if (!result.ok) {
        std::fprintf(stderr, "kesto dump: Can't send command (at 0x%08X)\n", result.failedAt);
        return reportFailure("dump", KSUSB_GetLastError());
    }
    if ((binFile.is_open() && !binFile.flush()) || (textFile.is_open() && !textFile.flush()))
        return reportFailure("dump", KSUSB_ERR_OPEN_FILE);
    std::fprintf(stderr, "kesto dump: %zu chunk(s), %zu spare area(s) read\n", result.chunks,
                 result.spareReads);
    return kExitOk;
}

const Verb registration(help::command("dump"), dump);

} // namespace
} // namespace kesto
