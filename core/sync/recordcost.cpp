#include "recordcost.h"

#include "playerformat.h"

namespace tunara::sync {

namespace {

constexpr std::size_t kShortBase = 8;
constexpr std::size_t kShortExtension = 3;

// The characters an 8.3 name may hold besides upper-case letters and digits.
constexpr std::string_view kShortPunctuation = "!#$%&'()-@^_`{}~";

bool shortChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           kShortPunctuation.find(c) != std::string_view::npos;
}

bool shortPart(std::string_view part, std::size_t most) {
    if (part.size() > most)
        return false;
    for (const char c : part)
        if (!shortChar(c))
            return false;
    return true;
}

} // namespace

bool isPlainShortName(std::string_view name) {
    const std::size_t dot = name.find('.');
    const std::string_view base = name.substr(0, dot);
    if (base.empty() || !shortPart(base, kShortBase))
        return false;
    if (dot == std::string_view::npos)
        return true;
    const std::string_view extension = name.substr(dot + 1);
    // "NAME." is stored with a long name: the trailing dot is not part of an 8.3 name.
    return !extension.empty() && shortPart(extension, kShortExtension);
}

std::size_t utf16Length(std::string_view name) {
    std::size_t units = 0;
    for (std::size_t i = 0; i < name.size();) {
        const std::size_t len = media::validUtf8Length(name, i);
        if (len == 0) {
            ++units;
            ++i;
            continue;
        }
        units += len == 4 ? 2 : 1;
        i += len;
    }
    return units;
}

unsigned recordCost(std::string_view name) {
    if (isPlainShortName(name))
        return 1;
    const std::size_t units = utf16Length(name);
    return unsigned((units + kLongNameUnitsPerRecord - 1) / kLongNameUnitsPerRecord) + 1;
}

} // namespace tunara::sync
